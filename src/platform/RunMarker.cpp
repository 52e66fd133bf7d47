#include "platform/RunMarker.h"

#include "platform/guard/ProcessTree.h"

#include <QFile>
#include <QLockFile>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <map>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace nerim::platform {

namespace {

using Clock = std::chrono::steady_clock;

struct Marked {
    pid_t pid = 0;
    unsigned long long startTime = 0;
    QByteArray mark;
};

struct Marks {
    QByteArray run; // NERIM_RUN
};

// Nerim's private runtime folder, made when missing; empty when there is
// none, or when what is there is not a folder of this user's alone.
QString privateFolder()
{
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty())
        return {};
    const QString folder = runtime + QStringLiteral("/nerim");
    const QByteArray encoded = QFile::encodeName(folder);
    ::mkdir(encoded.constData(), 0700);
    struct stat info {};
    if (::lstat(encoded.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 077) != 0)
        return {};
    return folder;
}

bool isOwner(const QByteArray &text)
{
    const QList<QByteArray> parts = text.split('.');
    if (parts.size() != 2)
        return false;
    for (const QByteArray &part : parts) {
        bool number = false;
        part.toULongLong(&number);
        if (!number)
            return false;
    }
    return true;
}

QList<QByteArray> readOwners(const QString &file)
{
    QList<QByteArray> owners;
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return owners;
    for (const QByteArray &line : in.read(1024 * 1024).split('\n')) {
        if (isOwner(line) && !owners.contains(line))
            owners.append(line);
    }
    return owners;
}

bool writeOwners(const QString &file, const QList<QByteArray> &owners)
{
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    for (const QByteArray &owner : owners)
        out.write(owner + '\n');
    return out.commit();
}

// Runs `change` on the recorded owners under the file's lock and saves what it returns.
bool changeOwners(const std::function<QList<QByteArray>(QList<QByteArray>)> &change)
{
    const QString file = RunMarker::ownersFile();
    if (file.isEmpty())
        return false;
    QLockFile lock(file + QStringLiteral(".lock"));
    if (!lock.tryLock(5000))
        return false;
    const QList<QByteArray> before = readOwners(file);
    const QList<QByteArray> after = change(before);
    return after == before || writeOwners(file, after);
}

// The value of `name` in an environment block ("NAME=value\0..."), if it is there.
std::optional<QByteArray> valueIn(const QByteArray &block, const QByteArray &name)
{
    const QByteArray prefix = name + '=';
    qsizetype at = block.startsWith(prefix) ? 0 : block.indexOf('\0' + prefix);
    if (at < 0)
        return std::nullopt;
    if (at > 0)
        ++at;
    const qsizetype end = block.indexOf('\0', at);
    return block.mid(at + prefix.size(), end < 0 ? -1 : end - at - prefix.size());
}

// The marks in a process's environment, if it has a run mark and this
// process may read it (only processes of the same user).
std::optional<Marks> marksOf(pid_t pid)
{
    const QByteArray path = "/proc/" + QByteArray::number(pid) + "/environ";
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    QByteArray text;
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, got);
            if (text.size() < 4 * 1024 * 1024)
                continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        break;
    }
    ::close(fd);
    const auto run = valueIn(text, RunMarker::variable);
    if (!run)
        return std::nullopt;
    return Marks{*run};
}

// The live processes of this user that carry a mark `wanted` accepts.
std::vector<Marked> markedProcesses(const std::function<bool(const Marks &)> &wanted)
{
    std::vector<Marked> found;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return found;
    const uid_t user = ::geteuid();
    const pid_t self = ::getpid();
    const guard::ProcProcessTable table;
    while (const dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        const long number = std::strtol(entry->d_name, &end, 10);
        if (!end || *end != '\0' || number <= 0 || number == self)
            continue;
        const pid_t pid = static_cast<pid_t>(number);
        struct stat info;
        const QByteArray folder = "/proc/" + QByteArray::number(pid);
        if (::stat(folder.constData(), &info) != 0 || info.st_uid != user)
            continue;
        const auto marks = marksOf(pid);
        if (!marks || !wanted(*marks))
            continue;
        const auto process = table.read(pid);
        if (process && process->alive())
            found.push_back(Marked{pid, process->startTime, marks->run});
    }
    ::closedir(proc);
    return found;
}

bool signalIfSame(pid_t pid, unsigned long long startTime, int signal)
{
    return guard::sendThroughPidfd(pid, signal, [pid, startTime] {
        const auto now = guard::ProcProcessTable().read(pid);
        return now && now->startTime == startTime && now->alive();
    });
}

// SIGTERM (and SIGCONT) to each process `wanted` accepts, SIGKILL after the
// grace period, until none is left; what became this process's child is reaped.
int endMarked(const std::function<bool(const Marks &)> &wanted, std::chrono::milliseconds grace,
              std::chrono::milliseconds limit)
{
    const auto start = Clock::now();
    std::map<pid_t, unsigned long long> seen;
    int count = 0;
    for (;;) {
        const bool killing = Clock::now() - start >= grace;
        const std::vector<Marked> live = markedProcesses(wanted);
        for (const Marked &process : live) {
            const auto known = seen.find(process.pid);
            const bool fresh = known == seen.end() || known->second != process.startTime;
            if (fresh) {
                seen[process.pid] = process.startTime;
                ++count;
            }
            if (killing) {
                signalIfSame(process.pid, process.startTime, SIGKILL);
            } else if (fresh) {
                signalIfSame(process.pid, process.startTime, SIGTERM);
                signalIfSame(process.pid, process.startTime, SIGCONT);
            }
        }
        // Those that ended: reaped when they were left to this process, forgotten otherwise.
        bool waiting = false;
        for (auto it = seen.begin(); it != seen.end();) {
            const auto process = guard::ProcProcessTable().read(it->first);
            if (!process || process->startTime != it->second) {
                it = seen.erase(it);
                continue;
            }
            if (process->alive()) {
                waiting = true;
                ++it;
                continue;
            }
            if (process->parent == ::getpid()) {
                int status = 0;
                ::waitpid(it->first, &status, WNOHANG);
            }
            it = seen.erase(it);
        }
        if ((live.empty() && !waiting) || Clock::now() - start >= limit)
            return count;
        QThread::msleep(20);
    }
}

} // namespace

const QByteArray &RunMarker::owner()
{
    static const QByteArray self = [] {
        const auto entry = guard::ProcProcessTable().read(::getpid());
        return QByteArray::number(::getpid()) + '.' + QByteArray::number(entry ? entry->startTime : 0);
    }();
    return self;
}

QByteArray RunMarker::forNewRun()
{
    recordOwner();
    static std::atomic<quint64> runs{0};
    return owner() + '.' + QByteArray::number(++runs);
}

QString RunMarker::ownersFile()
{
    const QString folder = privateFolder();
    return folder.isEmpty() ? QString() : folder + QStringLiteral("/run-owners");
}

QList<QByteArray> RunMarker::recordedOwners()
{
    const QString file = ownersFile();
    return file.isEmpty() ? QList<QByteArray>() : readOwners(file);
}

bool RunMarker::recordOwner()
{
    static const bool recorded = changeOwners([](QList<QByteArray> owners) {
        if (!owners.contains(owner()))
            owners.append(owner());
        return owners;
    });
    return recorded;
}

QByteArray RunMarker::ownerOf(const QByteArray &mark)
{
    const QList<QByteArray> parts = mark.split('.');
    if (parts.size() != 3)
        return {};
    for (const QByteArray &part : parts) {
        bool number = false;
        part.toULongLong(&number);
        if (!number)
            return {};
    }
    return parts[0] + '.' + parts[1];
}

bool RunMarker::isOwnerRunning(const QByteArray &owner)
{
    const QList<QByteArray> parts = owner.split('.');
    if (parts.size() != 2)
        return false;
    bool numbers[2] = {false, false};
    const qlonglong pid = parts[0].toLongLong(&numbers[0]);
    const qulonglong startTime = parts[1].toULongLong(&numbers[1]);
    if (!numbers[0] || !numbers[1] || pid <= 0)
        return false;
    const auto entry = guard::ProcProcessTable().read(static_cast<pid_t>(pid));
    return entry && entry->alive() && entry->startTime == startTime;
}

int RunMarker::endRun(const QByteArray &mark, std::chrono::milliseconds grace, std::chrono::milliseconds limit)
{
    if (mark.isEmpty())
        return 0;
    return endMarked([&mark](const Marks &found) { return found.run == mark; }, grace, limit);
}

int RunMarker::endAbandoned(std::chrono::milliseconds grace, std::chrono::milliseconds limit)
{
    // Only the runs of a Nerim that recorded itself here and has ended.
    std::set<QByteArray> ended;
    for (const QByteArray &recorded : recordedOwners())
        if (recorded != owner() && !isOwnerRunning(recorded))
            ended.insert(recorded);
    if (ended.empty())
        return 0;
    const auto ofEnded = [&ended](const Marks &found) { return ended.count(ownerOf(found.run)) > 0; };
    const int count = endMarked(ofEnded, grace, limit);
    // An owner is forgotten once nothing of its runs is left.
    std::set<QByteArray> left;
    for (const Marked &process : markedProcesses(ofEnded))
        left.insert(ownerOf(process.mark));
    changeOwners([&](QList<QByteArray> owners) {
        owners.removeIf([&](const QByteArray &recorded) { return ended.count(recorded) && !left.count(recorded); });
        return owners;
    });
    return count;
}

} // namespace nerim::platform
