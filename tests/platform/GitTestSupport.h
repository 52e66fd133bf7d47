#pragma once

// What the tests of git in the processes Nerim starts share: a script run the
// way every run Nerim starts runs it, git run plainly, appending to a file,
// the user's identity and a first commit for a new repository.

#include "platform/ChildProcess.h"

#include "PlantedRepository.h"
#include "TaggedProcesses.h"
#include "TestEnvironment.h"

#include <QFile>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <gtest/gtest.h>

namespace nerim::test {

// How a script run through ChildProcess ended.
struct Outcome {
    bool ended = false;
    int exitCode = -1;
    QStringList errorLines;
};

// Runs `script` with /bin/sh in `folder` through ChildProcess (so through the
// guard), as every run Nerim starts.
inline Outcome runThroughChildProcess(const QString &folder, const QString &script, bool refusePushingSecrets = false,
                                      const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    Outcome outcome;
    nerim::platform::ChildProcess child;
    bool ended = false;
    QObject::connect(&child, &nerim::platform::ChildProcess::treeEnded, [&] { ended = true; });
    QObject::connect(&child, &nerim::platform::ChildProcess::exited, [&](int code, bool) { outcome.exitCode = code; });
    QObject::connect(&child, &nerim::platform::ChildProcess::outputLine, [&](const QString &line, bool standardError) {
        if (standardError)
            outcome.errorLines << line;
    });
    nerim::platform::ChildProcess::Options options;
    options.program = QStringLiteral("/bin/sh");
    options.arguments = {QStringLiteral("-c"), script};
    options.workingDirectory = folder;
    options.environment = environment;
    options.refusePushingSecrets = refusePushingSecrets;
    child.start(options);
    outcome.ended = waitFor([&] { return ended; }, 120000);
    return outcome;
}

// git run plainly in `folder`; true when it ended well.
inline bool git(const QString &folder, const QStringList &arguments)
{
    return PlantedRepository::git(folder, arguments);
}

inline void appendFile(const QString &path, const QByteArray &text)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write(text);
}

// The user's identity in the global configuration of the test's HOME, with
// `main` as a new repository's first branch.
inline void writeUserIdentity()
{
    writeFile(homeDir() + QStringLiteral("/.gitconfig"),
              "[user]\n\tname = Test\n\temail = test@example.com\n[init]\n\tdefaultBranch = main\n");
}

// Makes `folder` a repository whose first commit ("base") holds what is in it.
inline bool commitAsBase(const QString &folder)
{
    return git(folder, {QStringLiteral("init"), QStringLiteral("-q")}) &&
           git(folder, {QStringLiteral("add"), QStringLiteral("-A")}) &&
           git(folder, {QStringLiteral("commit"), QStringLiteral("-qm"), QStringLiteral("base")});
}

// What git prints in `folder` for `arguments`, trimmed.
inline QString gitOutput(const QString &folder, const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(QStringLiteral("git"), arguments);
    process.waitForFinished(30000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// A new repository named after `name` with the user's identity and one commit.
inline QString newRepository(const QString &name)
{
    const QString folder = makeTempDir(name);
    writeUserIdentity();
    writeFile(folder + QStringLiteral("/a.txt"), "a\n");
    commitAsBase(folder);
    return folder;
}

inline void appendConfig(const QString &repository, const QByteArray &text)
{
    appendFile(repository + QStringLiteral("/.git/config"), text);
}

} // namespace nerim::test
