// A running app writes only its project (not a repository in it) and a private /tmp,
// sees no replaced agent settings, and reaches no bus, display or socket of
// the session: tried by a hostile app that Nerim (a program playing it, see
// helper/RunnerHostMain.cpp) starts as it starts development servers, as root
// and as a normal user. Ordinary servers still start and answer.
#include "ProgramCopies.h"
#include "RunnerFixture.h"

#include <QDirIterator>
#include <QLocalServer>
#include <QTcpSocket>
#include <QUrl>
#include <grp.h>
#include <iostream>
#include <optional>
#include <pwd.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using nerim::test::readFile;
using nerim::test::writeFile;

struct AppUser {
    uid_t uid = 0;
    gid_t gid = 0;
};

bool becomes(const AppUser &user)
{
    return user.uid == ::geteuid() || (::setgroups(0, nullptr) == 0 && ::setgid(user.gid) == 0 && ::setuid(user.uid) == 0);
}

// Whether the kernel gives `user` a PID namespace (and so a mount namespace).
bool namespacesFor(const AppUser &user)
{
    const pid_t probe = ::fork();
    if (probe == 0)
        ::_exit(becomes(user) && (::unshare(CLONE_NEWPID) == 0 || ::unshare(CLONE_NEWUSER | CLONE_NEWPID) == 0) ? 0 : 1);
    int status = 0;
    return probe > 0 && ::waitpid(probe, &status, 0) == probe && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The program playing Nerim, as `user` starts it: the build's own for the
// test's user, a copy another user can reach for anyone else (the checkout
// may lie in a folder only its owner enters); empty when there is none.
QString runnerHostFor(const AppUser &user, nerim::test::ProgramCopies &copies)
{
    const QString host = QStringLiteral(NERIM_LAUNCHER_TEST_RUNNER_HOST);
    if (user.uid == ::geteuid())
        return host;
    const QString copy = copies.copyOf(host);
    return !copy.isEmpty() && nerim::test::runnableBy(copy, user.uid, user.gid) ? copy : QString();
}

// Root (when the tests run as root) and a normal user: the test's own, or
// `tester` or `nobody` switched to; each with whether it can be tried.
std::vector<std::pair<AppUser, std::string>> appUsers(nerim::test::ProgramCopies &copies)
{
    std::vector<std::pair<AppUser, std::string>> users;
    if (::geteuid() != 0) {
        std::cout << "[ NOTE     ] not run as root: the app is not tried as root\n";
        users.push_back({AppUser{::geteuid(), ::getegid()}, "the test's own user"});
    } else {
        users.push_back({AppUser{0, 0}, "root"});
        for (const char *name : {"tester", "nobody"}) {
            if (const passwd *entry = ::getpwnam(name); entry && entry->pw_uid != 0) {
                users.push_back({AppUser{entry->pw_uid, entry->pw_gid}, name});
                break;
            }
        }
        if (users.size() == 1)
            std::cout << "[ NOTE     ] no user other than root to switch to: the app is tried as root only\n";
    }
    std::erase_if(users, [&copies](const auto &user) {
        if (runnerHostFor(user.first, copies).isEmpty()) {
            std::cout << "[ NOTE     ] " << user.second << " cannot run a copy of the program in /tmp: not tried\n";
            return true;
        }
        const bool can = namespacesFor(user.first);
        if (!can)
            std::cout << "[ NOTE     ] this kernel gives " << user.second << " no namespace: not tried\n";
        return !can;
    });
    return users;
}

// A socket of the session at an abstract address (the bus, the display, Nerim's channel).
std::unique_ptr<QLocalServer> abstractListener(const QString &name)
{
    auto server = std::make_unique<QLocalServer>();
    server->setSocketOptions(QLocalServer::AbstractNamespaceOption);
    EXPECT_TRUE(server->listen(name)) << name.toStdString();
    return server;
}

// A home folder, a session runtime folder and a project, owned by the user
// the app runs as, with what a hostile app goes for.
struct Workspace {
    QString root, home, project;

    static Workspace make(const AppUser &user, const std::vector<std::pair<const char *, QByteArray>> &projectFiles)
    {
        // The test's own folders are root's alone; the user passes through them.
        for (QString folder = nerim::test::tempRoot(); folder.startsWith(QDir::tempPath() + QLatin1Char('/'));
             folder = QFileInfo(folder).path())
            ::chmod(QFile::encodeName(folder).constData(), 0711);
        Workspace w;
        w.root = nerim::test::makeTempDir(QStringLiteral("app"));
        ::chmod(QFile::encodeName(QFileInfo(w.root).path()).constData(), 0711);
        w.home = w.root + QStringLiteral("/home");
        w.project = w.root + QStringLiteral("/project");
        std::vector<std::pair<QString, QByteArray>> files{
            {w.home + QStringLiteral("/.bash_profile"),
             "export PATH=/usr/local/bin:/usr/bin:/bin npm_config_offline=true npm_config_update_notifier=false\n"},
            {w.home + QStringLiteral("/.bashrc"), "# the user's own\n"},
            {w.home + QStringLiteral("/.config/git/config"), "[user]\n\tname = You\n"},
            {w.home + QStringLiteral("/.local/share/com.vercel.cli/config.json"), "{}\n"},
            {w.home + QStringLiteral("/.local/share/Nerim/api-keys.json"), "{\"anthropic\":\"sk-ant-key-file\"}"},
            {w.home + QStringLiteral("/.claude.json"), "first-secret"},
            {w.home + QStringLiteral("/.claude.json.backup"), "backup-secret"},
            {w.home + QStringLiteral("/.npm/_logs/earlier.log"), "the user's own log\n"},
            {w.root + QStringLiteral("/runtime/wayland-0"), ""},
            {w.project + QStringLiteral("/.git/config"), "[core]\n\tbare = false\n"},
            // Repositories inside the project: a nested one, a checkout whose
            // `.git` file names its git folder elsewhere in the project, and a
            // bare one.
            {w.project + QStringLiteral("/vendor/lib/.git/hooks/README.sample"), "the repository's own\n"},
            {w.project + QStringLiteral("/checkout/.git"), "gitdir: ../.modules/checkout\n"},
            {w.project + QStringLiteral("/.modules/checkout/HEAD"), "ref: refs/heads/main\n"},
            {w.project + QStringLiteral("/.modules/checkout/hooks/README.sample"), "the repository's own\n"},
            {w.project + QStringLiteral("/.modules/checkout/objects/info/packs"), ""},
            {w.project + QStringLiteral("/data/store.git/HEAD"), "ref: refs/heads/main\n"},
            {w.project + QStringLiteral("/data/store.git/objects/info/packs"), ""},
            {w.project + QStringLiteral("/data/store.git/refs/heads/main"), ""},
            {w.project + QStringLiteral("/data/store.git/hooks/README.sample"), "the repository's own\n"}};
        for (const auto &[file, contents] : projectFiles)
            files.emplace_back(w.project + QLatin1Char('/') + QLatin1String(file), contents);
        for (const auto &[path, contents] : files)
            EXPECT_TRUE(writeFile(path, contents)) << path.toStdString();
        ::chmod(QFile::encodeName(w.root + QStringLiteral("/runtime")).constData(), 0700);
        QDirIterator it(w.root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        ::lchown(QFile::encodeName(w.root).constData(), user.uid, user.gid);
        while (it.hasNext())
            ::lchown(QFile::encodeName(it.next()).constData(), user.uid, user.gid);
        return w;
    }
};

class DevServerConfinementTest : public nerim::test::RunnerFixture {
protected:
    // Starts the program playing Nerim as `user`, with a session whose bus,
    // display and Wayland socket it names, running `command` in the project.
    void startNerim(QProcess &nerim, const AppUser &user, const Workspace &w, const QString &command)
    {
        m_log = w.root + QStringLiteral("/app.log");
        QProcessEnvironment environment;
        for (const auto &[name, value] :
             {std::pair{"HOME", w.home}, {"XDG_DATA_HOME", w.home + QStringLiteral("/.local/share")},
              {"XDG_CONFIG_HOME", w.home + QStringLiteral("/.config")}, {"XDG_CACHE_HOME", w.home + QStringLiteral("/.cache")},
              {"XDG_RUNTIME_DIR", w.root + QStringLiteral("/runtime")}, {"PATH", QStringLiteral("/usr/local/bin:/usr/bin:/bin")},
              {"DBUS_SESSION_BUS_ADDRESS", QStringLiteral("unix:abstract=") + m_bus->serverName()},
              {"DISPLAY", m_display->serverName().section(QLatin1Char('X'), -1).prepend(QLatin1Char(':'))},
              {"XAUTHORITY", w.home + QStringLiteral("/.Xauthority")}, {"WAYLAND_DISPLAY", QStringLiteral("wayland-0")},
              {"ASAN_OPTIONS", qEnvironmentVariable("ASAN_OPTIONS")}, {"NERIM_TEST_APP_COMMAND", command}})
            environment.insert(QLatin1String(name), value);
        nerim.setProcessEnvironment(environment);
        nerim.setWorkingDirectory(w.root);
        nerim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        nerim.setChildProcessModifier([user] {
            if (!becomes(user))
                ::_exit(126);
        });
        nerim.start(runnerHostFor(user, m_copies), {QStringLiteral("--app"), w.project, m_log});
        ASSERT_TRUE(nerim.waitForStarted());
    }

    QString log() const { return QString::fromUtf8(readFile(m_log)); }

    bool logHas(const QString &text) { return waitUntil([&] { return log().contains(text); }, 60000); }

    static void endNerim(QProcess &nerim)
    {
        if (nerim.state() != QProcess::NotRunning)
            nerim.terminate();
        // (It may end by itself meanwhile, which waitForFinished would take for a failure.)
        EXPECT_TRUE(waitUntil([&] { return nerim.state() == QProcess::NotRunning; }));
    }

    QString m_log;
    nerim::test::ProgramCopies m_copies;
    const QString m_id = QString::number(::getpid());
    std::unique_ptr<QLocalServer> m_bus = abstractListener(QStringLiteral("nerim-test-session-bus-") + m_id);
    std::unique_ptr<QLocalServer> m_display = abstractListener(QStringLiteral("/tmp/.X11-unix/X9") + m_id);
    std::unique_ptr<QLocalServer> m_nerimChannel = abstractListener(QStringLiteral("nerim-test-instance-") + m_id);
};

// What a hostile app tries once it runs, each attempt leaving a line only
// when it got through (but for its own places, which it may write).
const char *const hostileScript = R"sh(echo ready
while [ ! -s go ]; do sleep 0.05; done
for f in "$HOME/.bashrc" "$HOME/.config/git/config" "$HOME/.local/share/com.vercel.cli/config.json" .git/config \
    vendor/lib/.git/hooks/pre-commit .modules/checkout/hooks/pre-commit data/store.git/hooks/pre-commit checkout/.git; do
  echo planted >> "$f" && echo "wrote $f"
done
echo planted > "$HOME/.profile" && echo "wrote a new file in the home folder"
mv "$HOME/.bashrc" "$HOME/.bashrc.moved" && echo "moved .bashrc away"
mv .git .git-moved && echo "moved .git away"
setting=$(cat /proc/sys/kernel/core_uses_pid) && echo "$setting" > /proc/sys/kernel/core_uses_pid && echo "wrote a system setting"
for device in /dev/*; do [ -b "$device" ] && echo "visible: block device $device"; done
cat "$HOME/.claude.json" "$HOME/.claude.json.backup" "$HOME/.local/share/Nerim/api-keys.json"
ls -A "$HOME" | grep -q claude.json && echo "listed claude.json"
echo "display=$DISPLAY$XAUTHORITY$WAYLAND_DISPLAY bus=$DBUS_SESSION_BUS_ADDRESS"
ls -A /tmp/.X11-unix 2>/dev/null | sed 's/^/visible: /'
# Of the runtime folder it sees only the folder its own git comes through, which it cannot change.
find "$XDG_RUNTIME_DIR" -mindepth 1 ! -path "$XDG_RUNTIME_DIR/nerim" ! -path "$XDG_RUNTIME_DIR/nerim/nerim-git-*" 2>/dev/null | sed 's/^/visible: /'
for git in "$XDG_RUNTIME_DIR"/nerim/nerim-git-*/bin/git; do ln -sf /bin/true "$git" && echo "wrote $git"; done
"$CONNECT" --connect "$BUS" "$X" "$CHANNEL"
kill -0 "$(cat go)" 2>/dev/null && echo "signalled Nerim"
mkdir -p "$HOME/.npm/_logs" && echo private-log > "$HOME/.npm/_logs/run.log" && cat "$HOME/.npm/_logs/run.log"
echo private-tmp > /tmp/app-tmp && cat /tmp/app-tmp
echo made > made-by-the-app.txt
echo done
)sh";

TEST_F(DevServerConfinementTest, AHostileAppAsRootAndAsANormalUserWritesOnlyItsProjectAndReachesNothingOfTheSession)
{
    const long landlockAbi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U);
    if (landlockAbi < 6)
        std::cout << "[ NOTE     ] Landlock ABI " << landlockAbi << ": this kernel cannot keep the app from abstract sockets\n";
    for (const auto &[user, who] : appUsers(m_copies)) {
        SCOPED_TRACE(who);
        const Workspace w = Workspace::make(user, {{"probe.sh", hostileScript}});
        // The program that tries the sockets goes into the project: the build
        // folder may lie under /tmp, which the app sees as a private folder.
        const QString connect = w.project + QStringLiteral("/connect-probe");
        ASSERT_TRUE(QFile::copy(QStringLiteral(NERIM_LAUNCHER_TEST_RUNNER_HOST), connect));
        ASSERT_TRUE(QFile::setPermissions(connect, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                       QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                       QFileDevice::ExeOther));
        ASSERT_EQ(::lchown(QFile::encodeName(connect).constData(), user.uid, user.gid), 0);
        QProcess nerim;
        startNerim(nerim, user, w,
                   QStringLiteral("CONNECT='%1' BUS='%2' X='%3' CHANNEL='%4' bash probe.sh")
                       .arg(QStringLiteral("./connect-probe"), m_bus->serverName(),
                            m_display->serverName(), m_nerimChannel->serverName()));
        ASSERT_TRUE(logHas(QStringLiteral("\nready"))) << log().toStdString();
        // The agent program replaces its settings while the app runs.
        const QByteArray settings = QFile::encodeName(w.home + QStringLiteral("/.claude.json"));
        ASSERT_TRUE(writeFile(QString::fromLocal8Bit(settings + ".tmp"), "renamed-secret"));
        ::lchown(settings + ".tmp", user.uid, user.gid);
        ASSERT_EQ(::rename(settings + ".tmp", settings), 0);
        ASSERT_TRUE(writeFile(w.project + QStringLiteral("/go"), QByteArray::number(nerim.processId())));
        EXPECT_TRUE(logHas(QStringLiteral("[ended]"))) << log().toStdString();
        endNerim(nerim);
        const QString output = log();

        for (const char *through : {"wrote ", "moved ", "first-secret", "renamed-secret", "backup-secret",
                                    "sk-ant-key-file", "listed claude.json", "visible: ", "signalled Nerim"})
            EXPECT_FALSE(output.contains(QLatin1String(through))) << through << "\n" << output.toStdString();
        EXPECT_TRUE(output.contains(QStringLiteral("display= bus=\n"))) << output.toStdString();
        if (landlockAbi >= 6) {
            EXPECT_EQ(output.count(QStringLiteral("refused ")), 3) << output.toStdString();
        }
        // Its own places work: the project, a private /tmp, a private copy of npm's folder.
        for (const char *works : {"private-log", "private-tmp", "done"})
            EXPECT_TRUE(output.contains(QLatin1String(works))) << works << "\n" << output.toStdString();
        EXPECT_EQ(readFile(w.project + QStringLiteral("/made-by-the-app.txt")), "made\n");
        // Outside the project nothing changed.
        EXPECT_EQ(readFile(w.home + QStringLiteral("/.bashrc")), "# the user's own\n");
        EXPECT_EQ(readFile(w.home + QStringLiteral("/.config/git/config")), "[user]\n\tname = You\n");
        EXPECT_EQ(readFile(w.home + QStringLiteral("/.local/share/com.vercel.cli/config.json")), "{}\n");
        EXPECT_EQ(readFile(w.project + QStringLiteral("/.git/config")), "[core]\n\tbare = false\n");
        EXPECT_EQ(readFile(w.project + QStringLiteral("/checkout/.git")), "gitdir: ../.modules/checkout\n");
        for (const char *hooks : {"/vendor/lib/.git/hooks", "/.modules/checkout/hooks", "/data/store.git/hooks"})
            EXPECT_FALSE(QFileInfo::exists(w.project + QLatin1String(hooks) + QStringLiteral("/pre-commit"))) << hooks;
        EXPECT_FALSE(QFileInfo::exists(w.home + QStringLiteral("/.profile")));
        EXPECT_FALSE(QFileInfo::exists(w.home + QStringLiteral("/.npm/_logs/run.log")));
    }
}

// The whole reply to a GET of `url`.
QByteArray fetch(const QUrl &url)
{
    QTcpSocket socket;
    socket.connectToHost(url.host(), static_cast<quint16>(url.port()));
    if (!socket.waitForConnected(10000))
        return {};
    socket.write("GET / HTTP/1.0\r\nHost: " + url.host().toUtf8() + "\r\n\r\n");
    QByteArray reply;
    while (socket.waitForReadyRead(10000))
        reply += socket.readAll();
    return reply + socket.readAll();
}

// Servers that also write into the project and into /tmp before they answer.
const char *const pythonServer = R"(import http.server, tempfile
with tempfile.NamedTemporaryFile() as scratch:
    scratch.write(b"works")
open("written.txt", "w").write("ok")
class Answer(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.end_headers()
        self.wfile.write(b"python-answer")
server = http.server.HTTPServer(("127.0.0.1", 0), Answer)
print("Running on http://127.0.0.1:%d/" % server.server_port, flush=True)
server.serve_forever()
)";

const char *const nodeServer = R"(const fs = require('fs'), os = require('os'), http = require('http');
fs.writeFileSync(os.tmpdir() + '/node-scratch', 'works');
fs.writeFileSync('written.txt', 'ok');
const server = http.createServer((req, res) => res.end('node-answer'));
server.listen(0, '127.0.0.1', () => console.log('Server listening on http://127.0.0.1:' + server.address().port));
)";

TEST_F(DevServerConfinementTest, StaticPythonAndNodeServersStillAnswerAsRootAndAsANormalUser)
{
    struct Server {
        std::vector<std::pair<const char *, QByteArray>> files;
        QString command;
        QByteArray answer;
    };
    std::vector<Server> servers{
        {{{"index.html", "static-answer"}, {"written.txt", "ok"}}, QStringLiteral("python3 -m http.server 0 --bind 127.0.0.1"), "static-answer"},
        {{{"server.py", pythonServer}}, QStringLiteral("python3 server.py"), "python-answer"}};
    if (loginShellHas("npm"))
        servers.push_back({{{"server.js", nodeServer}, {"package.json", R"({"scripts":{"start":"node server.js"}})"}},
                           QStringLiteral("npm run start"), "node-answer"});
    else
        std::cout << "[ NOTE     ] npm is not installed: no Node server tried\n";
    for (const auto &[user, who] : appUsers(m_copies)) {
        for (const Server &server : servers) {
            SCOPED_TRACE(who + " " + server.command.toStdString());
            const Workspace w = Workspace::make(user, server.files);
            QProcess nerim;
            startNerim(nerim, user, w, server.command);
            waitUntil([&] { return log().contains(QStringLiteral("[url] ")) || log().contains(QStringLiteral("[ended]")); }, 60000);
            const QString output = log();
            const qsizetype at = output.indexOf(QStringLiteral("[url] "));
            ASSERT_GE(at, 0) << output.toStdString();
            EXPECT_TRUE(fetch(QUrl(output.mid(at + 6).section(QLatin1Char('\n'), 0, 0))).contains(server.answer))
                << output.toStdString();
            endNerim(nerim);
            EXPECT_EQ(readFile(w.project + QStringLiteral("/written.txt")), "ok");
        }
    }
}

} // namespace
