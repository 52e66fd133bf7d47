// A running app writes only its project (not its .git) and a private /tmp,
// sees no replaced agent settings, and reaches no bus, display or socket of
// the session: tried by a hostile app that Nerim (a program playing it, see
// helper/RunnerHostMain.cpp) starts as it starts development servers, as root
// and as a normal user. Ordinary servers still start and answer.
#include "RunnerFixture.h"

#include <QDirIterator>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <optional>
#include <QTcpSocket>
#include <QUrl>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using nerim::test::readFile;
using nerim::test::writeFile;

// The Landlock ABI of this kernel, 0 without Landlock.
int landlockAbi()
{
    const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U);
    return abi < 0 ? 0 : static_cast<int>(abi);
}

// Who the app runs as.
struct AppUser {
    uid_t uid = 0;
    gid_t gid = 0;
};

// A normal user: the test's own when it is not root, else `tester` or
// `nobody`, switched to. None (with why) where there is no such user.
std::optional<AppUser> normalUser(std::string &why)
{
    if (::geteuid() != 0)
        return AppUser{::geteuid(), ::getegid()};
    for (const char *name : {"tester", "nobody"}) {
        if (const passwd *entry = ::getpwnam(name); entry && entry->pw_uid != 0)
            return AppUser{entry->pw_uid, entry->pw_gid};
    }
    why = "no user other than root to switch to";
    return std::nullopt;
}

bool becomes(const AppUser &user)
{
    if (user.uid == ::geteuid())
        return true;
    return ::setgroups(0, nullptr) == 0 && ::setgid(user.gid) == 0 && ::setuid(user.uid) == 0;
}

// Whether the kernel gives `user` a PID namespace (and so a mount namespace).
bool namespacesFor(const AppUser &user)
{
    const pid_t probe = ::fork();
    if (probe == 0) {
        const bool made = becomes(user) && (::unshare(CLONE_NEWPID) == 0 || ::unshare(CLONE_NEWUSER | CLONE_NEWPID) == 0);
        ::_exit(made ? 0 : 1);
    }
    int status = 0;
    return probe > 0 && ::waitpid(probe, &status, 0) == probe && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A socket of the session at an abstract address (the bus, the display, Nerim's channel).
class AbstractListener {
public:
    explicit AbstractListener(const QByteArray &name) : m_name(name)
    {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, name.constData(), static_cast<size_t>(name.size()));
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        if (m_fd >= 0 && (::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), length) != 0 || ::listen(m_fd, 8) != 0)) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~AbstractListener()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool listening() const { return m_fd >= 0; }
    QString name() const { return QString::fromUtf8(m_name); }

private:
    QByteArray m_name;
    int m_fd = -1;
};

// A home folder, a session runtime folder and a project, owned by the user
// the app runs as, with what a hostile app goes for.
struct Workspace {
    QString root, home, runtime, project;

    static Workspace make(const AppUser &user)
    {
        Workspace w;
        // The test's own folders are root's alone; the user passes through them.
        for (QString folder = nerim::test::tempRoot(); folder.startsWith(QDir::tempPath() + QLatin1Char('/'));
             folder = QFileInfo(folder).path())
            ::chmod(QFile::encodeName(folder).constData(), 0711);
        w.root = nerim::test::makeTempDir(QStringLiteral("app"));
        ::chmod(QFile::encodeName(QFileInfo(w.root).path()).constData(), 0711);
        w.home = w.root + QStringLiteral("/home");
        w.runtime = w.root + QStringLiteral("/runtime");
        w.project = w.root + QStringLiteral("/project");
        for (const auto &[path, contents] : std::initializer_list<std::pair<QString, QByteArray>>{
                 {w.home + QStringLiteral("/.bash_profile"),
                  "export PATH=/usr/local/bin:/usr/bin:/bin\n"
                  "export npm_config_offline=true npm_config_audit=false npm_config_fund=false\n"
                  "export npm_config_update_notifier=false npm_config_loglevel=error\n"},
                 {w.home + QStringLiteral("/.bashrc"), "# the user's own\n"},
                 {w.home + QStringLiteral("/.config/git/config"), "[user]\n\tname = You\n"},
                 {w.home + QStringLiteral("/.local/share/com.vercel.cli/config.json"), "{}\n"},
                 {w.home + QStringLiteral("/.local/share/Nerim/api-keys.json"), "{\"anthropic\":\"sk-ant-key-file\"}"},
                 {w.home + QStringLiteral("/.claude.json"), "first-secret"},
                 {w.home + QStringLiteral("/.claude.json.backup"), "backup-secret"},
                 {w.home + QStringLiteral("/.npm/_logs/earlier.log"), "the user's own log\n"},
                 {w.runtime + QStringLiteral("/wayland-0"), ""},
                 {w.project + QStringLiteral("/.git/config"), "[core]\n\tbare = false\n"},
             })
            EXPECT_TRUE(writeFile(path, contents)) << path.toStdString();
        ::chmod(QFile::encodeName(w.runtime).constData(), 0700);
        w.chown(user);
        return w;
    }

    void chown(const AppUser &user) const
    {
        ::lchown(QFile::encodeName(root).constData(), user.uid, user.gid);
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            ::lchown(QFile::encodeName(it.next()).constData(), user.uid, user.gid);
    }

    // Writes `contents` by a new file renamed over `path`, as the agent
    // program replaces its settings.
    void replaceByRename(const QString &path, const QByteArray &contents, const AppUser &user) const
    {
        const QString fresh = path + QStringLiteral(".tmp.1");
        ASSERT_TRUE(writeFile(fresh, contents));
        ::lchown(QFile::encodeName(fresh).constData(), user.uid, user.gid);
        ASSERT_EQ(::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(path).constData()), 0);
    }

    QProcessEnvironment environment(const QString &busName, const QString &display) const
    {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("HOME"), home);
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/local/bin:/usr/bin:/bin"));
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:abstract=") + busName);
        environment.insert(QStringLiteral("DISPLAY"), display);
        environment.insert(QStringLiteral("XAUTHORITY"), home + QStringLiteral("/.Xauthority"));
        environment.insert(QStringLiteral("WAYLAND_DISPLAY"), QStringLiteral("wayland-0"));
        for (const char *kept : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LANG"}) {
            if (qEnvironmentVariableIsSet(kept))
                environment.insert(QLatin1String(kept), qEnvironmentVariable(kept));
        }
        return environment;
    }
};

class DevServerConfinementTest : public nerim::test::RunnerFixture {
protected:
    // Starts the program playing Nerim as `user`, running `command` in the
    // workspace's project; its log is the app's output.
    void startNerim(QProcess &nerim, const AppUser &user, const Workspace &w, const QString &command)
    {
        m_log = w.root + QStringLiteral("/app.log");
        QProcessEnvironment environment = w.environment(m_bus.name(), m_displayName);
        environment.insert(QStringLiteral("NERIM_TEST_APP_COMMAND"), command);
        nerim.setProcessEnvironment(environment);
        nerim.setWorkingDirectory(w.root);
        nerim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        nerim.setChildProcessModifier([user] {
            if (!becomes(user))
                ::_exit(126);
        });
        nerim.start(QStringLiteral(NERIM_LAUNCHER_TEST_RUNNER_HOST), {QStringLiteral("--app"), w.project, m_log});
        ASSERT_TRUE(nerim.waitForStarted());
    }

    QString log() const { return QString::fromUtf8(readFile(m_log)); }

    bool logHas(const QString &text, int timeoutMs = 60000)
    {
        return waitUntil([&] { return log().contains(text); }, timeoutMs);
    }

    static void endNerim(QProcess &nerim)
    {
        if (nerim.state() != QProcess::NotRunning)
            nerim.terminate();
        EXPECT_TRUE(nerim.waitForFinished(20000));
    }

    void hostileApp(const AppUser &user);
    void serversAnswer(const AppUser &user);

    QString m_log;
    const QString m_displayName = QStringLiteral(":%1").arg(900 + ::getpid() % 99);
    AbstractListener m_bus{"nerim-test-session-bus-" + QByteArray::number(::getpid())};
    AbstractListener m_display{"/tmp/.X11-unix/X" + QByteArray::number(900 + ::getpid() % 99)};
    AbstractListener m_nerimChannel{"nerim-test-instance-" + QByteArray::number(::getpid())};
};

// What a hostile app tries once it runs, each attempt leaving a line only
// when it got through (but for the private folders, which it may write).
const char *const hostileScript = R"(echo ready
while [ ! -s go ]; do sleep 0.05; done
nerim=$(cat go)
for f in "$HOME/.bashrc" "$HOME/.config/git/config" "$HOME/.local/share/com.vercel.cli/config.json" .git/config; do
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
ls -A /tmp/.X11-unix "$XDG_RUNTIME_DIR" 2>/dev/null | sed 's/^/visible: /'
"$CONNECT" --connect "$BUS" "$X" "$CHANNEL"
kill -0 "$nerim" 2>/dev/null && echo "signalled Nerim"
mkdir -p "$HOME/.npm/_logs" && echo private-log > "$HOME/.npm/_logs/run.log" && cat "$HOME/.npm/_logs/run.log"
echo private-tmp > /tmp/app-tmp && cat /tmp/app-tmp
echo made > made-by-the-app.txt
echo done
)";

void DevServerConfinementTest::hostileApp(const AppUser &user)
{
    ASSERT_TRUE(m_bus.listening() && m_display.listening() && m_nerimChannel.listening());
    const Workspace w = Workspace::make(user);
    ASSERT_TRUE(writeFile(w.project + QStringLiteral("/probe.sh"), hostileScript));
    w.chown(user);
    const QString command = QStringLiteral("CONNECT='%1' BUS='%2' X='%3' CHANNEL='%4' bash probe.sh")
                                .arg(QStringLiteral(NERIM_LAUNCHER_TEST_RUNNER_HOST), m_bus.name(), m_display.name(),
                                     m_nerimChannel.name());
    QProcess nerim;
    startNerim(nerim, user, w, command);
    ASSERT_TRUE(logHas(QStringLiteral("\nready"))) << log().toStdString();
    // The agent program replaces its settings while the app runs.
    w.replaceByRename(w.home + QStringLiteral("/.claude.json"), "renamed-secret", user);
    ASSERT_TRUE(writeFile(w.project + QStringLiteral("/go"), QByteArray::number(nerim.processId())));
    EXPECT_TRUE(logHas(QStringLiteral("[ended]"))) << log().toStdString();
    endNerim(nerim);
    const QString output = log();

    for (const char *through : {"wrote ", "moved ", "first-secret", "renamed-secret", "backup-secret", "sk-ant-key-file",
                                "listed claude.json", "visible: ", "signalled Nerim"})
        EXPECT_FALSE(output.contains(QLatin1String(through))) << through << "\n" << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("display= bus=\n"))) << output.toStdString();
    // Its own places work: the project, a private /tmp, a private copy of npm's folder.
    for (const char *works : {"private-log", "private-tmp", "done"})
        EXPECT_TRUE(output.contains(QLatin1String(works))) << works << "\n" << output.toStdString();
    EXPECT_EQ(readFile(w.project + QStringLiteral("/made-by-the-app.txt")), "made\n");

    // Nothing outside the project changed.
    EXPECT_EQ(readFile(w.home + QStringLiteral("/.bashrc")), "# the user's own\n");
    EXPECT_EQ(readFile(w.home + QStringLiteral("/.config/git/config")), "[user]\n\tname = You\n");
    EXPECT_EQ(readFile(w.home + QStringLiteral("/.local/share/com.vercel.cli/config.json")), "{}\n");
    EXPECT_EQ(readFile(w.project + QStringLiteral("/.git/config")), "[core]\n\tbare = false\n");
    EXPECT_FALSE(QFileInfo::exists(w.home + QStringLiteral("/.profile")));
    EXPECT_FALSE(QFileInfo::exists(w.home + QStringLiteral("/.npm/_logs/run.log")));
    EXPECT_EQ(readFile(w.home + QStringLiteral("/.npm/_logs/earlier.log")), "the user's own log\n");

    // The session's abstract sockets: out of reach where the kernel has the scopes.
    if (landlockAbi() >= 6) {
        EXPECT_FALSE(output.contains(QStringLiteral("reached "))) << output.toStdString();
        EXPECT_EQ(output.count(QStringLiteral("refused ")), 3) << output.toStdString();
    } else {
        std::cout << "[ NOTE     ] Landlock ABI " << landlockAbi()
                  << ": this kernel cannot keep the app from abstract sockets\n";
    }
}

TEST_F(DevServerConfinementTest, AHostileAppAsRootWritesOnlyItsProjectAndReachesNothingOfTheSession)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "the root path needs the tests run as root";
    if (!namespacesFor(AppUser{0, 0}))
        GTEST_SKIP() << "this kernel gives root no PID namespace, so no mount namespace either";
    hostileApp(AppUser{0, 0});
}

TEST_F(DevServerConfinementTest, AHostileAppAsANormalUserWritesOnlyItsProjectAndReachesNothingOfTheSession)
{
    std::string why;
    const std::optional<AppUser> user = normalUser(why);
    if (!user)
        GTEST_SKIP() << why;
    if (!namespacesFor(*user))
        GTEST_SKIP() << "this kernel gives a normal user no user namespace, so no mount namespace either";
    hostileApp(*user);
}

// Answers a GET of `url` with the whole reply.
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

const char *const pythonServer = R"(import http.server, tempfile
with tempfile.NamedTemporaryFile() as scratch:
    scratch.write(b"works")
open("written-by-python.txt", "w").write("ok")
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
fs.writeFileSync('written-by-node.txt', 'ok');
const server = http.createServer((req, res) => res.end('node-answer'));
server.listen(0, '127.0.0.1', () => console.log('Server listening on http://127.0.0.1:' + server.address().port));
)";

void DevServerConfinementTest::serversAnswer(const AppUser &user)
{
    struct Server {
        const char *name;
        std::vector<std::pair<const char *, QByteArray>> files;
        QString command;
        QByteArray answer;
    };
    std::vector<Server> servers{
        {"static", {{"index.html", "static-answer"}}, QStringLiteral("python3 -m http.server 0 --bind 127.0.0.1"), "static-answer"},
        {"python", {{"server.py", pythonServer}}, QStringLiteral("python3 server.py"), "python-answer"},
    };
    if (loginShellHas("npm"))
        servers.push_back({"node",
                           {{"server.js", nodeServer},
                            {"package.json", R"({"name":"fixture","version":"1.0.0","private":true,"scripts":{"start":"node server.js"}})"}},
                           QStringLiteral("npm run start"),
                           "node-answer"});
    else
        std::cout << "[ NOTE     ] npm is not installed: no Node server tried\n";
    for (const Server &server : servers) {
        const Workspace w = Workspace::make(user);
        for (const auto &[file, contents] : server.files)
            ASSERT_TRUE(writeFile(w.project + QLatin1Char('/') + QLatin1String(file), contents));
        w.chown(user);
        QProcess nerim;
        startNerim(nerim, user, w, server.command);
        waitUntil([&] { return log().contains(QStringLiteral("[url] ")) || log().contains(QStringLiteral("[ended]")); }, 60000);
        const QString output = log();
        const qsizetype at = output.indexOf(QStringLiteral("[url] "));
        ASSERT_GE(at, 0) << server.name << "\n" << output.toStdString();
        const QUrl url(output.mid(at + 6).section(QLatin1Char('\n'), 0, 0));
        EXPECT_TRUE(fetch(url).contains(server.answer)) << server.name << "\n" << output.toStdString();
        endNerim(nerim);
        if (QString::fromLatin1(server.name) != QLatin1String("static")) {
            EXPECT_EQ(readFile(w.project + QStringLiteral("/written-by-%1.txt").arg(QLatin1String(server.name))), "ok");
        }
    }
}

TEST_F(DevServerConfinementTest, StaticPythonAndNodeServersStillAnswerAsRoot)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "the root path needs the tests run as root";
    serversAnswer(AppUser{0, 0});
}

TEST_F(DevServerConfinementTest, StaticPythonAndNodeServersStillAnswerAsANormalUser)
{
    std::string why;
    const std::optional<AppUser> user = normalUser(why);
    if (!user)
        GTEST_SKIP() << why;
    serversAnswer(*user);
}

} // namespace
