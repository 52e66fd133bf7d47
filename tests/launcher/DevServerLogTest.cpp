#include "RunnerFixture.h"

#include <QLoggingCategory>

using nerim::DevServerRunner;
using nerim::DevServerStatus;
using nerim::LaunchPlan;

namespace {

class DevServerLogTest : public nerim::test::RunnerFixture {
protected:
    void TearDown() override { QLoggingCategory::setFilterRules(QString()); }

    // Runs a command that carries a secret inline and prints an address with
    // credentials, a token and a fragment; returns every log line of the run.
    QStringList runAndLog()
    {
        nerim::test::LogCapture log;
        DevServerRunner runner(options());
        const LaunchPlan plan{project({}),
                              QStringLiteral("API_SECRET=hunter2 printf 'Running at "
                                             "http://jo:pw@127.0.0.1:8888/lab?token=0123abcd#frag\\n'"),
                              QStringLiteral("Starting your app")};
        nerim::test::await(runner.start(plan));
        EXPECT_TRUE(waitUntil([&] { return runner.status().is(DevServerStatus::Kind::stopped); }));
        // The preview still gets the whole address; only the log leaves parts out.
        EXPECT_EQ(runner.detectedURL(),
                  QUrl(QStringLiteral("http://jo:pw@127.0.0.1:8888/lab?token=0123abcd#frag")));
        return log.lines();
    }
};

TEST_F(DevServerLogTest, SecretsStayOutOfTheLogByDefault)
{
    const QStringList lines = runAndLog();
    const QString all = lines.join(QLatin1Char('\n'));
    EXPECT_TRUE(lines.contains(QStringLiteral("[Nerim][DevServerRunner] URL detected: http://127.0.0.1:8888/lab"))) << all.toStdString();
    EXPECT_TRUE(all.contains(QStringLiteral("[Nerim][DevServerRunner] launched (pid="))) << all.toStdString();
    for (const char *secret : {"hunter2", "0123abcd", "pw@", "frag", "printf"})
        EXPECT_FALSE(all.contains(QString::fromLatin1(secret))) << secret << "\n" << all.toStdString();
}

TEST_F(DevServerLogTest, TheServerOutputCategoryAlsoLogsTheCommandButNoAssignedValue)
{
    QLoggingCategory::setFilterRules(QStringLiteral("nerim.devserver.output.debug=true"));
    const QStringList lines = runAndLog();
    const QString all = lines.join(QLatin1Char('\n'));
    EXPECT_TRUE(all.contains(QStringLiteral("API_SECRET=\u2026 printf"))) << all.toStdString();
    EXPECT_FALSE(all.contains(QStringLiteral("hunter2"))) << all.toStdString();
    // Addresses are logged the same way whatever the category says.
    EXPECT_TRUE(lines.contains(QStringLiteral("[Nerim][DevServerRunner] URL detected: http://127.0.0.1:8888/lab"))) << all.toStdString();
}

} // namespace
