#pragma once

// A canvas whose development servers are real: small projects written into the
// test's project folder, started through a login bash whose profile fixes PATH
// (Debian's python3, node and npm) and keeps npm offline.

#include "CanvasFixture.h"
#include "launcher/LaunchOverride.h"
#include "launcher/ProjectTypeDetector.h"
#include "repair/RepairHistoryEntry.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <QProcess>

namespace nerim::test {

class RunAppTest : public CanvasTest {
protected:
    void SetUp() override
    {
        CanvasTest::SetUp();
        ASSERT_TRUE(writeFile(homeDir() + QStringLiteral("/.bash_profile"),
                              "export PATH=/usr/local/bin:/usr/bin:/bin\n"
                              "export npm_config_offline=true npm_config_audit=false npm_config_fund=false\n"
                              "export npm_config_update_notifier=false npm_config_loglevel=error\n"));
    }

    static bool loginShellHas(const char *tool)
    {
        QProcess probe;
        probe.start(QStringLiteral("/bin/bash"), {QStringLiteral("-l"), QStringLiteral("-c"),
                                                  QStringLiteral("command -v %1").arg(QString::fromLatin1(tool))});
        return probe.waitForFinished(20000) && probe.exitCode() == 0;
    }

    // A node project started with "npm run start" whose server needs a file of
    // its own that is missing (lib/greeting.js); writeMissingModule() adds it.
    void writeNodeProjectMissingAModule()
    {
        writeFile(project + QStringLiteral("/package.json"),
                  R"({"name":"fixture","version":"1.0.0","private":true,"scripts":{"start":"node server.js"}})");
        writeFile(project + QStringLiteral("/node_modules/.keep"), "");
        writeFile(project + QStringLiteral("/server.js"), R"(const greeting = require('./lib/greeting');
const http = require('http');
const server = http.createServer((req, res) => res.end(greeting()));
server.listen(0, '127.0.0.1', () => {
  console.log('Server listening on http://127.0.0.1:' + server.address().port);
});
)");
    }

    void writeMissingModule()
    {
        writeFile(project + QStringLiteral("/lib/greeting.js"), "module.exports = () => 'hello';\n");
    }

    bool waitForAddress(int timeoutMs = 30000)
    {
        return waitUntil([&] { return canvas->devServerRunner().detectedURL().has_value(); }, timeoutMs);
    }

    std::string runnerOutput() const { return canvas->devServerRunner().recentOutput().join('\n').toStdString(); }

    // The repair loop's timers, short; a test may change them before open().
    std::chrono::milliseconds fixedToIdleDelay{150};
    std::chrono::milliseconds retryWatchdog{60000};
    std::optional<DevServerRunner::Options> devServerOptions;

    ProjectCanvasViewModel &openWithRepairTimers(std::shared_ptr<AgentProvider> agents = {})
    {
        CanvasServices s = services();
        s.repairFixedToIdleDelay = fixedToIdleDelay;
        s.repairRetryWatchdog = retryWatchdog;
        s.devServerOptions = devServerOptions;
        canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("project-id"), project,
                                                          QStringLiteral("Project"),
                                                          agents ? std::move(agents) : provider, nullptr, s);
        await(canvas->bootstrap());
        return *canvas;
    }
};

using RepairTest = RunAppTest;

using Phase = RepairSessionState::Phase;

inline void PrintTo(const Phase &phase, std::ostream *os) { *os << phase.debugDescription().toStdString(); }

// The lines of the project's repair history.
inline QStringList historyLines(const QString &project)
{
    SerialFileWriter::shared().flush();
    return QString::fromUtf8(readFile(RepairHistoryEntry::historyPath(project)))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

inline QJsonObject historyEntry(const QString &line)
{
    return QJsonDocument::fromJson(line.toUtf8()).object();
}

// Output of a Repair agent run.
inline AgentOutput out(const QString &line) { return AgentOutput::stdoutLine(line); }

} // namespace nerim::test
