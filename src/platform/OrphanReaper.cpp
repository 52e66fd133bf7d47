#include "platform/OrphanReaper.h"

#include "platform/guard/ProcessTree.h"

#include <QCoreApplication>
#include <QFile>
#include <QMutex>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace nerim::platform {

namespace {

using Clock = std::chrono::steady_clock;

// How long an ended child is left to whoever started it before the reaper takes it.
constexpr auto unclaimedFor = std::chrono::seconds(2);

int wakePipe[2] = {-1, -1};
struct sigaction previousHandler;
std::atomic<bool> installed{false};

// SIGCHLD: wake the reaper, then whatever handled the signal before.
void onChildSignal(int signal, siginfo_t *info, void *context)
{
    const int saved = errno;
    if (wakePipe[1] >= 0) {
        const char byte = 1;
        (void)!::write(wakePipe[1], &byte, 1);
    }
    if (previousHandler.sa_flags & SA_SIGINFO) {
        if (previousHandler.sa_sigaction)
            previousHandler.sa_sigaction(signal, info, context);
    } else if (previousHandler.sa_handler != SIG_DFL && previousHandler.sa_handler != SIG_IGN &&
               previousHandler.sa_handler) {
        previousHandler.sa_handler(signal);
    }
    errno = saved;
}

QMutex &claimsMutex()
{
    static QMutex mutex;
    return mutex;
}

QSet<pid_t> &claims()
{
    static QSet<pid_t> pids;
    return pids;
}

bool isClaimed(pid_t pid)
{
    QMutexLocker lock(&claimsMutex());
    return claims().contains(pid);
}

// This process's children, from each thread's list (zombies included).
QList<pid_t> childProcesses()
{
    QList<pid_t> found;
    DIR *tasks = ::opendir("/proc/self/task");
    if (!tasks)
        return found;
    while (const dirent *task = ::readdir(tasks)) {
        if (task->d_name[0] == '.')
            continue;
        QFile list(QStringLiteral("/proc/self/task/%1/children").arg(QString::fromLatin1(task->d_name)));
        if (!list.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &word : list.readAll().split(' ')) {
            bool number = false;
            const int pid = word.trimmed().toInt(&number);
            if (number && pid > 0)
                found.append(pid);
        }
    }
    ::closedir(tasks);
    return found;
}

class Reaper : public QObject {
public:
    explicit Reaper(QObject *parent) : QObject(parent)
    {
        auto *notifier = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            char buffer[256];
            while (::read(wakePipe[0], buffer, sizeof buffer) > 0) {
            }
            scan();
        });
        m_recheck.setSingleShot(true);
        connect(&m_recheck, &QTimer::timeout, this, [this] { scan(); });
    }

private:
    struct Ended {
        unsigned long long startTime;
        Clock::time_point since;
    };

    void scan()
    {
        const guard::ProcProcessTable table;
        const auto now = Clock::now();
        std::map<pid_t, Ended> stillEnded;
        for (const pid_t pid : childProcesses()) {
            if (isClaimed(pid))
                continue;
            const auto entry = table.read(pid);
            if (!entry || entry->alive())
                continue;
            // The web engine reaps its own processes.
            QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
            if (comm.open(QIODevice::ReadOnly) && comm.readAll().startsWith("QtWebEngineProc"))
                continue;
            const auto known = m_ended.find(pid);
            if (known == m_ended.end() || known->second.startTime != entry->startTime) {
                stillEnded.emplace(pid, Ended{entry->startTime, now});
                continue;
            }
            if (now - known->second.since >= unclaimedFor) {
                int status = 0;
                ::waitpid(pid, &status, WNOHANG);
                continue;
            }
            stillEnded.emplace(pid, known->second);
        }
        m_ended = std::move(stillEnded);
        if (!m_ended.empty() && !m_recheck.isActive())
            m_recheck.start(std::chrono::duration_cast<std::chrono::milliseconds>(unclaimedFor) +
                            std::chrono::milliseconds(100));
    }

    std::map<pid_t, Ended> m_ended;
    QTimer m_recheck;
};

} // namespace

bool OrphanReaper::install()
{
    if (installed.load())
        return true;
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || ::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
        return false;
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    new Reaper(app);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = &onChildSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGCHLD, &action, &previousHandler);
    installed.store(true);
    return true;
}

bool OrphanReaper::isInstalled()
{
    return installed.load();
}

void OrphanReaper::claim(pid_t pid)
{
    QMutexLocker lock(&claimsMutex());
    claims().insert(pid);
}

void OrphanReaper::release(pid_t pid)
{
    QMutexLocker lock(&claimsMutex());
    claims().remove(pid);
}

} // namespace nerim::platform
