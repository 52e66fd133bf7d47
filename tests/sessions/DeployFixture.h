#pragma once

// A canvas set up for the deploy flow: a fake agent provider, the providers'
// tools in a tools folder of the test's own (or not, to make them install),
// the log captured.

#include "CanvasFixture.h"

#include "deploy/DeployToolInstaller.h"
#include "foundation/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace nerim::test {

inline AgentOutput out(const QString &line) { return AgentOutput::stdoutLine(line); }

class DeployCanvasTest : public CanvasTest {
protected:
    using Phase = DeploySessionState::Phase;

    void SetUp() override
    {
        CanvasTest::SetUp();
        toolsFolder = makeTempDir(QStringLiteral("deploy-tools"));
        previousSink = setLogSink([this](const QString &line) { logged.append(line); });
    }
    void TearDown() override
    {
        CanvasTest::TearDown();
        setLogSink(previousSink);
    }

    // Tools already in place, so no run installs anything.
    void provideTools()
    {
        const QString bin = DeployToolInstaller::binFolder(toolsFolder);
        QDir().mkpath(bin);
        for (const char *tool : {"vercel", "railway", "supabase"}) {
            const QString path = bin + QLatin1Char('/') + QLatin1String(tool);
            writeFile(path, "#!/bin/sh\nexit 0\n");
            QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        }
    }

    ProjectCanvasViewModel &openDeploy(const QString &npm = QStringLiteral("npm"))
    {
        canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("project-id"), project, QStringLiteral("Shop"),
                                                          provider, nullptr, deployServices(npm));
        await(canvas->bootstrap());
        return *canvas;
    }

    CanvasServices deployServices(const QString &npm)
    {
        CanvasServices s = services();
        s.deployToolsFolder = toolsFolder;
        s.npmProgram = npm;
        return s;
    }

    Phase phase() const { return canvas->deploySession().state().phase(); }
    QUuid lastSession() const { return provider->sessionIds().last(); }
    QString log() const { return logged.join(QLatin1Char('\n')); }

    // Every byte Nerim wrote under the project.
    QByteArray everythingUnderProject()
    {
        SerialFileWriter::shared().flush();
        QByteArray all;
        QStringList pending{project};
        while (!pending.isEmpty()) {
            QDir dir(pending.takeFirst());
            for (const QFileInfo &info : dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
                if (info.isDir())
                    pending.append(info.filePath());
                else
                    all += readFile(info.filePath());
            }
        }
        return all;
    }

    QString toolsFolder;
    QStringList logged;
    LogSink previousSink;
};

} // namespace nerim::test
