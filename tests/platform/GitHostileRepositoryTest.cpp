// Hostile repositories against the real git: for each way a project can make
// git run a program or talk to a host of its choosing, the agents' routine git
// commands run plainly do run it (the plant is real), and run the way every
// run Nerim starts runs them (through the guard, with a shell) do not.
#include "platform/guard/GitSettings.h"

#include "GitTestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>
#include <mutex>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace nerim::platform;
using namespace nerim::test;

namespace {

bool runPlain(const QString &folder, const QString &script)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script});
    process.closeWriteChannel();
    // The event loop runs meanwhile: the test's listener takes connections.
    return waitFor([&] { return process.state() == QProcess::NotRunning; }, 120000);
}

// A project with one commit, pushed to a bare repository beside it (its
// `origin`), the user's identity in the global configuration, a planted
// program that leaves a mark and passes its input through, and a loopback
// listener that stands for a host of the project's choosing.
struct Fixture {
    QString base;
    QString project;
    QString marks;
    QString plant;
    QByteArray p; // the plant's path, for configuration text
    QTcpServer listener;
    int connections = 0;

    bool make(const QString &name)
    {
        base = makeTempDir(name);
        project = base + QStringLiteral("/project");
        marks = base + QStringLiteral("/marks");
        plant = base + QStringLiteral("/plant");
        p = plant.toUtf8();
        QDir().mkpath(project);
        QDir().mkpath(marks);
        writeUserIdentity();
        writeFile(plant, QStringLiteral("#!/bin/sh\ntouch '%1/ran'\nexec cat \"$@\"\n").arg(marks).toUtf8());
        QFile::setPermissions(plant, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        writeFile(project + QStringLiteral("/a.txt"), "a\n");
        writeFile(project + QStringLiteral("/b.md"), "b\n");
        QObject::connect(&listener, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *socket = listener.nextPendingConnection()) {
                ++connections;
                // An answer with a cookie, for a cookie jar to keep.
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                    socket->readAll();
                    socket->write("HTTP/1.1 200 OK\r\nSet-Cookie: planted=1; Path=/\r\n"
                                  "Content-Length: 0\r\nConnection: close\r\n\r\n");
                    socket->disconnectFromHost();
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        return listener.listen(QHostAddress::LocalHost) && commitAsBase(project) &&
               git(base, {QStringLiteral("init"), QStringLiteral("-q"), QStringLiteral("--bare"), QStringLiteral("remote.git")}) &&
               git(project, {QStringLiteral("remote"), QStringLiteral("add"), QStringLiteral("origin"), base + QStringLiteral("/remote.git")}) &&
               git(project, {QStringLiteral("push"), QStringLiteral("-q"), QStringLiteral("origin"), QStringLiteral("main")});
    }

    QByteArray port() const { return QByteArray::number(listener.serverPort()); }
    void config(const QByteArray &text) { appendFile(project + QStringLiteral("/.git/config"), text); }
    bool ran() const { return !QDir(marks).entryList(QDir::Files).isEmpty() || connections > 0; }

    // A repository folder (not bare) at `path` whose configuration has `text`.
    void repositoryAt(const QString &path, const QByteArray &text) const
    {
        QDir().mkpath(path + QStringLiteral("/objects"));
        QDir().mkpath(path + QStringLiteral("/refs/heads"));
        writeFile(path + QStringLiteral("/HEAD"), "ref: refs/heads/main\n");
        writeFile(path + QStringLiteral("/config"), "[core]\n\trepositoryformatversion = 0\n" + text);
    }
};

struct HostileCase {
    const char *name;
    std::function<void(Fixture &)> plant;
    const char *folder = ""; // where the commands run, below the project
    const char *before = ""; // run first (what the agent writes during the run)
    const char *more = ""; // commands of its own, after the routine ones
    // What the plant does when it works; by default a planted program ran or
    // the listener was reached.
    std::function<bool(const Fixture &)> happened = nullptr;
    // Under the guard git refuses the commands outright, so no commit is made.
    bool refusedUnderGuard = false;
    // Under the guard a push is refused (the setting cannot be set aside there).
    bool pushRefused = false;
};

// Whether the branch `work` pushed to the project's remote holds `path`.
bool pushedHolds(const Fixture &fixture, const char *path)
{
    QProcess process;
    process.start(QStringLiteral("git"), {QStringLiteral("--git-dir=") + fixture.base + QStringLiteral("/remote.git"),
                                          QStringLiteral("ls-tree"), QStringLiteral("-r"), QStringLiteral("--name-only"),
                                          QStringLiteral("refs/heads/work")});
    process.waitForFinished(30000);
    return process.readAllStandardOutput().split('\n').contains(QByteArray(path));
}

// Global options that take a value, each before an alias of the
// repository's (the value is the next word, or after "=").
const char *const valueOptions[] = {"--shallow-file x", "-C .", "--git-dir .git", "--git-dir=.git", "--work-tree .",
                                    "--work-tree=.", "--namespace x", "--namespace=x", "-c x.y=1",
                                    "--config-env x.y=HOME", "--config-env=x.y=HOME", "--exec-path=EXEC"};

// What an agent routinely does with git.
QString routine(const Fixture &fixture, const HostileCase &hostile)
{
    const QString out = QStringLiteral(" >/dev/null 2>&1; ");
    QString script = QStringLiteral("export GIT_TERMINAL_PROMPT=0 GIT_EDITOR=:; "
                                    "unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY all_proxy; ");
    if (*hostile.before)
        script += QString::fromUtf8(hostile.before) + QStringLiteral("; ");
    for (const char *command :
         {"git status", "git diff", "git log -p -2", "{ echo more >> a.txt; }", "git add -A", "git commit -qm work",
          "git archive -o ../out.tgz HEAD", "git commit --allow-empty -qm t --trailer sign=x --trailer ack=y",
          "git push -q origin HEAD:refs/heads/work", "git fetch -q origin", "git planted"})
        script += QString::fromLatin1(command) + out;
    script += QString::fromUtf8(hostile.more)
                  .replace(QStringLiteral("PORT"), QString::fromLatin1(fixture.port()))
                  .replace(QStringLiteral("EXEC"), QStringLiteral("\"$(git --exec-path)\"")) +
              out;
    return script + QStringLiteral("true");
}

QString folderOf(const Fixture &fixture, const HostileCase &hostile)
{
    return QString::fromUtf8(hostile.folder).isEmpty() ? fixture.project
                                                       : fixture.project + QLatin1Char('/') + QString::fromUtf8(hostile.folder);
}

const std::vector<HostileCase> &hostileCases()
{
    static std::vector<HostileCase> cases{
        {"a filter driver whose name is in the section header",
         [](Fixture &f) {
             f.config("[filter.evil \"x\"]\n\tclean = " + f.p + "\n\tsmudge = " + f.p + "\n");
             writeFile(f.project + QStringLiteral("/.gitattributes"), "*.txt filter=evil.x\n");
         }},
        {"form feed and vertical tab before an include path",
         [](Fixture &f) {
             f.config("[include]\n\tpath = \fevil.inc\n\tpath = \vother.inc\n");
             for (const char *name : {"\fevil.inc", "evil.inc", "\vother.inc", "other.inc"})
                 writeFile(f.project + QStringLiteral("/.git/") + QString::fromUtf8(name),
                           "[core]\n\tfsmonitor = " + f.p + "\n[alias]\n\tplanted = !" + f.p + "\n");
         }},
        {"a value continued past the end of the file",
         [](Fixture &f) { f.config("[alias]\n\tplanted = !" + f.p + "\\"); }},
        {"an include through %(prefix)",
         [](Fixture &f) {
             f.config("[include]\n\tpath = %(prefix)/.." + f.base.toUtf8() + "/prefix.inc\n");
             writeFile(f.base + QStringLiteral("/prefix.inc"), "[alias]\n\tplanted = !" + f.p + "\n");
         }},
        {"an include through the home folder",
         [](Fixture &f) {
             f.config("[include]\n\tpath = ~/home.inc\n");
             writeFile(homeDir() + QStringLiteral("/home.inc"), "[alias]\n\tplanted = !" + f.p + "\n");
         }},
        {"an include through /proc/self/cwd",
         [](Fixture &f) {
             f.config("[include]\n\tpath = /proc/self/cwd/cwd.inc\n");
             writeFile(f.project + QStringLiteral("/cwd.inc"), "[alias]\n\tplanted = !" + f.p + "\n");
         }},
        {"a key after the first MiB of the configuration",
         [](Fixture &f) {
             f.config("[padding]\n" + QByteArray("\t# nothing to see here, only padding for the reader\n").repeated(24000) +
                      "[core]\n\tfsmonitor = " + f.p + "\n[alias]\n\tplanted = !" + f.p + "\n");
         }},
        {"a key in the 129th included file",
         [](Fixture &f) {
             QByteArray includes = "[include]\n";
             for (int i = 1; i <= 130; ++i) {
                 includes += "\tpath = inc" + QByteArray::number(i) + "\n";
                 writeFile(f.project + QStringLiteral("/.git/inc%1").arg(i),
                           i >= 129 ? "[alias]\n\tplanted = !" + f.p + "\n" : "[user]\n\tnote = x\n");
             }
             f.config(includes);
         }},
        {"a .git folder holding only HEAD and commondir",
         [](Fixture &f) {
             const QString hidden = f.base + QStringLiteral("/hidden.git");
             f.repositoryAt(hidden, "[alias]\n\tplanted = !" + f.p + "\n");
             writeFile(f.project + QStringLiteral("/sub/.git/HEAD"), "ref: refs/heads/main\n");
             writeFile(f.project + QStringLiteral("/sub/.git/commondir"), hidden.toUtf8() + "\n");
         },
         "sub"},
        {"a repository whose objects is a file",
         [](Fixture &f) {
             const QString inner = f.project + QStringLiteral("/sub/.git");
             f.repositoryAt(inner, "[alias]\n\tplanted = !" + f.p + "\n");
             QDir(inner + QStringLiteral("/objects")).removeRecursively();
             writeFile(inner + QStringLiteral("/objects"), "");
             QFile::setPermissions(inner + QStringLiteral("/objects"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
         },
         "sub"},
        {"an inner .git whose HEAD git refuses",
         [](Fixture &f) {
             f.config("[alias]\n\tplanted = !" + f.p + "\n");
             const QString inner = f.project + QStringLiteral("/sub/.git");
             f.repositoryAt(inner, "");
             writeFile(inner + QStringLiteral("/HEAD"), "not a reference\n");
         },
         "sub"},
        {"a gitdir line ending in a space",
         [](Fixture &f) {
             f.repositoryAt(f.project + QStringLiteral("/sub/real "), "[alias]\n\tplanted = !" + f.p + "\n");
             writeFile(f.project + QStringLiteral("/sub/.git"), "gitdir: real \n");
         },
         "sub"},
        {"a submodule's own configuration",
         [](Fixture &f) {
             const QString source = f.base + QStringLiteral("/library");
             QDir().mkpath(source);
             writeFile(source + QStringLiteral("/lib.txt"), "lib\n");
             git(source, {QStringLiteral("init"), QStringLiteral("-q")});
             git(source, {QStringLiteral("add"), QStringLiteral("-A")});
             git(source, {QStringLiteral("commit"), QStringLiteral("-qm"), QStringLiteral("lib")});
             git(f.project, {QStringLiteral("-c"), QStringLiteral("protocol.file.allow=always"), QStringLiteral("submodule"),
                             QStringLiteral("add"), QStringLiteral("-q"), source, QStringLiteral("lib")});
             git(f.project, {QStringLiteral("commit"), QStringLiteral("-qm"), QStringLiteral("with library")});
             appendFile(f.project + QStringLiteral("/.git/modules/lib/config"),
                        "[core]\n\tfsmonitor = " + f.p + "\n[alias]\n\tplanted = !" + f.p + "\n");
             writeFile(f.project + QStringLiteral("/lib/lib.txt"), "changed\n");
         },
         "", "", "git submodule foreach --quiet git planted; git diff --submodule=diff; git -C lib status"},
        {"an alias a mistyped command is corrected to, with the user's own autocorrection",
         [](Fixture &f) {
             appendFile(homeDir() + QStringLiteral("/.gitconfig"), "[help]\n\tautocorrect = immediate\n");
             f.config("[alias]\n\tzzplanted = !" + f.p + "\n");
         },
         "", "", "git zzplante"},
        {"a tar format's command", [](Fixture &f) { f.config("[tar \"tgz\"]\n\tcommand = " + f.p + "\n"); }},
        {"a trailer's command",
         [](Fixture &f) {
             f.config("[trailer \"sign\"]\n\tcmd = " + f.p + "\n[trailer \"ack\"]\n\tcommand = " + f.p + "\n");
         }},
        {"the remote's receive-pack and upload-pack",
         [](Fixture &f) { f.config("[remote \"origin\"]\n\treceivepack = " + f.p + "\n\tuploadpack = " + f.p + "\n"); },
         "", "", "", nullptr, false, true},
        {"a bare repository in the project used as a remote, with its own hook",
         [](Fixture &f) {
             git(f.project, {QStringLiteral("init"), QStringLiteral("-q"), QStringLiteral("--bare"), QStringLiteral("inner.git")});
             for (const char *hook : {"pre-receive", "update", "post-receive"})
                 QFile::copy(f.plant, f.project + QStringLiteral("/inner.git/hooks/") + QLatin1String(hook));
             writeFile(f.project + QStringLiteral("/inner.git/config"),
                       readFile(f.project + QStringLiteral("/inner.git/config")) + "[core]\n\tfsmonitor = " + f.p + "\n");
         },
         "", "", "git push -q ./inner.git HEAD:refs/heads/x; git fetch -q ./inner.git; git ls-remote ./inner.git"},
        {"an include that appears during the run, with the attributes that use it",
         [](Fixture &f) {
             f.config("[include]\n\tpath = late.inc\n");
         },
         "", "printf '[filter \"late\"]\\n\\tclean = %PLANT%\\n' > .git/late.inc; printf '*.txt filter=late\\n' > .gitattributes"},
        {"a proxy with certificate checks off",
         [](Fixture &f) { f.config("[http]\n\tproxy = http://127.0.0.1:" + f.port() + "\n\tsslVerify = false\n"); },
         "", "", "git push -q https://127.0.0.1:1/x.git HEAD:main; git ls-remote https://127.0.0.1:1/x.git"},
        {"a proxy for one address",
         [](Fixture &f) { f.config("[http \"https://127.0.0.1:1\"]\n\tproxy = http://127.0.0.1:" + f.port() + "\n"); },
         "", "", "git push -q https://127.0.0.1:1/x.git HEAD:main", nullptr, false, true},
        {"a URL rewrite",
         [](Fixture &f) {
             f.config("[url \"http://127.0.0.1:" + f.port() + "/\"]\n\tinsteadOf = https://127.0.0.1:1/\n"
                      "\tpushInsteadOf = https://127.0.0.1:1/\n");
         },
         "", "", "git push -q https://127.0.0.1:1/x.git HEAD:main; git fetch -q https://127.0.0.1:1/x.git", nullptr,
         false, true},
        {"a work tree outside the project, holding a file of the user's",
         [](Fixture &f) {
             const QString home = f.base + QStringLiteral("/home");
             writeFile(home + QStringLiteral("/Nerim/api-keys.json"), "{\"key\": \"secret\"}\n");
             f.config("[core]\n\tworktree = ../../home\n");
         },
         "", "", "git push -q origin HEAD:refs/heads/work",
         [](const Fixture &f) { return pushedHolds(f, "Nerim/api-keys.json"); }, true},
        {"a work tree named inside the project, with a monitor",
         [](Fixture &f) { f.config("[core]\n\tworktree = " + f.project.toUtf8() + "\n\tfsmonitor = " + f.p + "\n"); }},
        {"a cookie file git overwrites",
         [](Fixture &f) {
             f.config("[http]\n\tcookieFile = " + f.marks.toUtf8() + "/cookies\n\tsaveCookies = true\n");
         },
         "", "", "git ls-remote http://127.0.0.1:PORT/x.git",
         [](const Fixture &f) { return QFile::exists(f.marks + QStringLiteral("/cookies")); }},
        {"the pager of a command git runs inside another",
         [](Fixture &f) { f.config("[pager]\n\tdiff = " + f.p + "\n"); },
         "", "", "echo stashed >> a.txt; git stash -q; script -qc 'git stash show -p' /dev/null; git stash pop -q"},
    };
    // A global option before the command is not taken for the command.
    static std::vector<QByteArray> optionTexts;
    static std::once_flag once;
    std::call_once(once, [] {
        for (const char *option : valueOptions)
            optionTexts.push_back(QByteArray("git ") + option + " optplanted");
        for (size_t i = 0; i < optionTexts.size(); ++i)
            cases.push_back({optionTexts[i].constData(),
                             [](Fixture &f) { f.config("[alias]\n\toptplanted = !" + f.p + "\n"); }, "", "",
                             optionTexts[i].constData()});
    });
    return cases;
}

bool gitInstalled()
{
    return !QStandardPaths::findExecutable(QStringLiteral("git")).isEmpty();
}

} // namespace

// One test per case (so they run side by side under CTest), named by its number in the table.
class GitHostileRepository : public testing::TestWithParam<size_t> {};

TEST_P(GitHostileRepository, NoPlantRunsUnderTheRoutineCommandsWhileTheSameCommandsRunItPlainly)
{
    if (!gitInstalled())
        GTEST_SKIP() << "git is not installed";
    const HostileCase &hostile = hostileCases().at(GetParam());
    SCOPED_TRACE(hostile.name);
    for (const bool guarded : {false, true}) {
        Fixture fixture;
        ASSERT_TRUE(fixture.make(QStringLiteral("hostile-%1").arg(guarded)));
        hostile.plant(fixture);
        HostileCase withPlant = hostile;
        const QByteArray before = QByteArray(hostile.before).replace("%PLANT%", fixture.p);
        withPlant.before = before.constData();
        const QString script = routine(fixture, withPlant);
        if (guarded) {
            const Outcome outcome = runThroughChildProcess(folderOf(fixture, hostile), script);
            ASSERT_TRUE(outcome.ended);
            EXPECT_FALSE(hostile.happened ? hostile.happened(fixture) : fixture.ran())
                << "happened under the guard (connections: " << fixture.connections << ")";
            // git itself still did its work there, or refused it outright.
            if (hostile.refusedUnderGuard) {
                const Outcome status = runThroughChildProcess(folderOf(fixture, hostile), QStringLiteral("git status"));
                EXPECT_EQ(status.exitCode, 128);
                EXPECT_TRUE(status.errorLines.join('\n').startsWith(QLatin1String("nerim: git was not run:")))
                    << status.errorLines.join('\n').toStdString();
            } else if (!*hostile.folder) {
                EXPECT_TRUE(git(fixture.project, {QStringLiteral("rev-parse"), QStringLiteral("-q"),
                                                  QStringLiteral("--verify"), QStringLiteral("HEAD^{/^work}")}));
                if (!hostile.pushRefused) {
                    EXPECT_TRUE(git(fixture.base + QStringLiteral("/remote.git"),
                                    {QStringLiteral("rev-parse"), QStringLiteral("-q"), QStringLiteral("--verify"),
                                     QStringLiteral("refs/heads/work")}))
                        << "the push did not go through";
                }
            }
            if (QDir(fixture.project + QStringLiteral("/inner.git")).exists()) {
                EXPECT_TRUE(git(fixture.project + QStringLiteral("/inner.git"),
                                {QStringLiteral("rev-parse"), QStringLiteral("-q"), QStringLiteral("--verify"),
                                 QStringLiteral("refs/heads/x")}));
            }
        } else {
            ASSERT_TRUE(runPlain(folderOf(fixture, hostile), script));
            EXPECT_TRUE(hostile.happened ? hostile.happened(fixture) : fixture.ran())
                << "the plant did not work plainly: the case tests nothing";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EachCase, GitHostileRepository, testing::Range<size_t>(0, hostileCases().size()));
