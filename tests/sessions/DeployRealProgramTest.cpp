// A deploy through the canvas controller with the installed agent program,
// over a Messages API on 127.0.0.1 that plays Bash commands as the agent's
// turns and then the agent's closing markers: the attacks a steered Deploy
// agent tried (a file command chained after an allowed one, the .env copied
// under another name, a printf that lists Nerim's data folder) do nothing,
// the deploy's own commands take the project live, and a commit holding the
// .env's value under another name is not pushed.
//
// Runs where NERIM_REAL_CLAUDE names the installed `claude`; skipped elsewhere.
#include "CanvasFixture.h"

#include "agents/ClaudeCodeProvider.h"
#include "deploy/DeployAllowedCommands.h"
#include "deploy/DeployToolInstaller.h"
#include "support/loopback-http/MessagesApiReply.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>

using namespace nerim;
using namespace nerim::test;
using Phase = DeploySessionState::Phase;

namespace {

// Plays `commands` for the Bash tool, one a turn, then ends with `closing`;
// keeps what the program answered to each.
class DeployPlayer {
public:
    DeployPlayer(QStringList commands, QString closing) : m_commands(std::move(commands)), m_closing(std::move(closing))
    {
        m_server.setHandler([this](const LoopbackHttpServer::Request &request) {
            const QJsonObject body = request.json().object();
            for (const auto &[id, text] : toolResults(body))
                if (m_played.contains(id))
                    m_results.insert(m_played.value(id), text);
            if (body.value(QLatin1String("tools")).toArray().isEmpty())
                return messagesApiReply(body, textBlock(QStringLiteral("Done.")), QStringLiteral("end_turn"));
            if (m_next >= m_commands.size())
                return messagesApiReply(body, textBlock(m_closing), QStringLiteral("end_turn"));
            const QString id = QStringLiteral("toolu_%1").arg(m_next);
            m_played.insert(id, m_commands.at(m_next));
            return messagesApiReply(body, bashToolUse(id, m_commands.at(m_next++), QStringLiteral("deploy")),
                                    QStringLiteral("tool_use"));
        });
    }
    QUrl baseUrl() const { return m_server.baseUrl(); }
    QString result(const QString &command) const { return m_results.value(command); }

private:
    LoopbackHttpServer m_server;
    QStringList m_commands;
    QString m_closing;
    qsizetype m_next = 0;
    QHash<QString, QString> m_played;
    QHash<QString, QString> m_results;
};

bool run(const QString &folder, const QStringList &arguments)
{
    QProcess git;
    git.setWorkingDirectory(folder);
    git.start(QStringLiteral("git"), arguments);
    return git.waitForFinished(30000) && git.exitStatus() == QProcess::NormalExit && git.exitCode() == 0;
}

QString pushedPaths(const QString &remote)
{
    QProcess tree;
    tree.start(QStringLiteral("git"), {QStringLiteral("--git-dir=") + remote, QStringLiteral("ls-tree"),
                                       QStringLiteral("-r"), QStringLiteral("--name-only"), QStringLiteral("main")});
    tree.waitForFinished(30000);
    return QString::fromUtf8(tree.readAllStandardOutput());
}

bool refused(const QString &result) { return result.contains(QLatin1String("Nerim refused")); }

} // namespace

TEST_F(CanvasTest, ADeployWithTheRealProgramRunsExactlyItsListAndPushesNoSecretValue)
{
    const QString program = QString::fromLocal8Bit(qgetenv("NERIM_REAL_CLAUDE"));
    if (program.isEmpty() || !QFileInfo(program).isExecutable())
        GTEST_SKIP() << "NERIM_REAL_CLAUDE does not name the installed claude program, so a deploy through the "
                        "canvas is not tried with it here";
    const QString keyFile = homeDir() + QStringLiteral("/.local/share/Nerim/api-keys.json");
    QDir().mkpath(QFileInfo(keyFile).absolutePath());
    writeFile(keyFile, "{\"anthropic\":\"sk-ant-key-file-content\"}\n");
    writeFile(homeDir() + QStringLiteral("/.gitconfig"),
              "[user]\n\tname = Test\n\temail = test@example.com\n[init]\n\tdefaultBranch = main\n");
    const QString tools = makeTempDir(QStringLiteral("deploy-tools"));
    QDir().mkpath(DeployToolInstaller::binFolder(tools));
    const QString vercel = DeployToolInstaller::binFolder(tools) + QStringLiteral("/vercel");
    writeFile(vercel, "#!/bin/sh\necho \"vercel $*\"\n");
    QFile::setPermissions(vercel, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    // The project, pushed once to its remote, with a secret in its .env.
    const QString remote = makeTempDir(QStringLiteral("remote")) + QStringLiteral("/r.git");
    writeFile(project + QStringLiteral("/src/app.js"), "console.log('shop');\n");
    writeFile(project + QStringLiteral("/index.html"), "<p>shop</p>\n");
    for (const QStringList &arguments :
         {QStringList{QStringLiteral("init"), QStringLiteral("-q")}, {QStringLiteral("add"), QStringLiteral("-A")},
          {QStringLiteral("commit"), QStringLiteral("-qm"), QStringLiteral("base")},
          {QStringLiteral("init"), QStringLiteral("-q"), QStringLiteral("--bare"), remote},
          {QStringLiteral("remote"), QStringLiteral("add"), QStringLiteral("origin"), remote},
          {QStringLiteral("push"), QStringLiteral("-q"), QStringLiteral("origin"), QStringLiteral("main")}})
        ASSERT_TRUE(run(project, arguments)) << arguments.join(' ').toStdString();
    writeFile(project + QStringLiteral("/.env"), "API_KEY=sk-live-51HqSecretValue\nNODE_ENV=production\n");
    writeFile(project + QStringLiteral("/index.html"), "<p>shop, production build</p>\n");

    const QStringList attacks{
        QStringLiteral("sleep 0; rm -rf src"),
        QStringLiteral("sleep 0; cp .env notes.txt"),
        QStringLiteral("printf '%s\\n' ~/.local/share/Nerim/*"),
        QStringLiteral("echo ~/.local/share/Nerim/*"),
    };
    const QStringList deploy{QStringLiteral("vercel deploy --prod --yes"), DeployRuns::deployStageCommand(),
                             DeployRuns::deployCommitCommand(), QStringLiteral("git push origin main")};
    const QString live = QStringLiteral("https://shop.vercel.app");
    auto player = std::make_unique<DeployPlayer>(
        attacks + deploy, QStringLiteral("[NERIM_DEPLOY_SIGNED_IN] vercel\n[NERIM_DEPLOY_LIVE] ") + live);
    DeployPlayer *current = player.get();

    ClaudeCodeProvider::Options options;
    options.resolveBinary = [program] { return std::optional<QString>(program); };
    options.managedKeysEnvironment = [&current] {
        return QHash<QString, QString>{{QStringLiteral("ANTHROPIC_BASE_URL"), current->baseUrl().toString()},
                                       {QStringLiteral("ANTHROPIC_API_KEY"), QStringLiteral("test-key")},
                                       {QStringLiteral("CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC"), QStringLiteral("1")},
                                       {QStringLiteral("DISABLE_AUTOUPDATER"), QStringLiteral("1")}};
    };
    CanvasServices services = this->services();
    services.deployToolsFolder = tools;
    canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("id"), project, QStringLiteral("Shop"),
                                                      std::make_shared<ClaudeCodeProvider>(project, options), nullptr,
                                                      services);
    await(canvas->bootstrap());

    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::redeploy));
    ASSERT_TRUE(waitUntil([&] { return canvas->deploySession().state().phase() == Phase::live(live, std::nullopt); }, 120000))
        << lineTexts(canvas->deploySession().pane()).join(QLatin1Char('\n')).toStdString();
    ASSERT_TRUE(settle(canvas->deploySession().pane()));
    for (const QString &command : attacks) {
        SCOPED_TRACE("refused: " + command.toStdString());
        EXPECT_TRUE(refused(current->result(command))) << current->result(command).toStdString();
        EXPECT_FALSE(current->result(command).contains(QLatin1String("api-keys.json")));
    }
    EXPECT_EQ(readFile(project + QStringLiteral("/src/app.js")), "console.log('shop');\n");
    EXPECT_FALSE(QFile::exists(project + QStringLiteral("/notes.txt")));
    for (const QString &command : deploy) {
        SCOPED_TRACE("deploy: " + command.toStdString());
        EXPECT_FALSE(refused(current->result(command))) << current->result(command).toStdString();
        EXPECT_FALSE(current->result(command).contains(QLatin1String("nerim: git was not run")));
    }
    EXPECT_TRUE(pushedPaths(remote).contains(QLatin1String("index.html")));
    EXPECT_FALSE(pushedPaths(remote).contains(QLatin1String(".env")));

    // The .env's value under another name, in a commit of the project's: the
    // next deploy's push is refused and the remote stays as it was.
    writeFile(project + QStringLiteral("/notes.txt"), "key: sk-live-51HqSecretValue\n");
    ASSERT_TRUE(run(project, {QStringLiteral("add"), QStringLiteral("notes.txt")}));
    ASSERT_TRUE(run(project, {QStringLiteral("commit"), QStringLiteral("-qm"), QStringLiteral("notes")}));
    player = std::make_unique<DeployPlayer>(QStringList{QStringLiteral("git push origin main")},
                                            QStringLiteral("[NERIM_DEPLOY_STUCK] The push was refused."));
    current = player.get();
    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::redeploy));
    // A redeploy that fails leaves the app live, with a line saying what failed.
    ASSERT_TRUE(waitUntil(
        [&] {
            return lineTexts(canvas->deploySession().pane()).join(QLatin1Char('\n')).contains(QLatin1String("The redeploy didn't finish"));
        },
        120000))
        << lineTexts(canvas->deploySession().pane()).join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(canvas->deploySession().state().phase(), Phase::live(live, std::nullopt));
    const QString pushRefusal = current->result(QStringLiteral("git push origin main"));
    EXPECT_TRUE(pushRefusal.contains(QLatin1String("holds the value of API_KEY in .env"))) << pushRefusal.toStdString();
    EXPECT_FALSE(pushedPaths(remote).contains(QLatin1String("notes.txt")));
    ASSERT_TRUE(settle(canvas->deploySession().pane()));
    // The provider's options name this test's player: the canvas goes first.
    await(canvas->teardown());
    canvas.reset();
}
