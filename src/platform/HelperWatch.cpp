#include "platform/HelperWatch.h"

#include "platform/OrphanReaper.h"
#include "platform/RunMarker.h"

#include "foundation/BackgroundWork.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFuture>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <cerrno>
#include <sys/wait.h>
#include <unistd.h>
// glibc 2.36's header lacks the C linkage block.
extern "C" {
#include <sys/pidfd.h>
}

namespace nerim::platform {

HelperWatch::HelperWatch(pid_t pid, QObject *parent) : QObject(parent), m_pid(pid)
{
    // Reaped here, never by the orphan reaper.
    OrphanReaper::claim(pid);
    m_pidfd = ::pidfd_open(pid, 0);
    if (m_pidfd >= 0) {
        auto *notifier = new QSocketNotifier(m_pidfd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] { check(); });
    } else {
        // Kernels without pidfds: look now and then.
        auto *timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [this] { check(); });
        timer->start(50);
    }
}

HelperWatch::~HelperWatch()
{
    if (!m_ended)
        OrphanReaper::release(m_pid); // (reaped by nobody now: the reaper takes it)
    if (m_pidfd >= 0)
        ::close(m_pidfd);
    // An empty group goes now; one still in use is ended by the next Nerim.
    if (m_cgroup)
        m_cgroup->remove();
}

void HelperWatch::orphan()
{
    onEnded = nullptr;
    QCoreApplication *app = QCoreApplication::instance();
    if (m_finished || !app || app->thread() != thread()) {
        deleteLater();
        return;
    }
    setParent(app);
    onEnded = [this](int) { deleteLater(); };
}

void HelperWatch::check()
{
    if (m_ended)
        return;
    int status = 0;
    const pid_t got = ::waitpid(m_pid, &status, WNOHANG);
    if (got == 0 || (got < 0 && errno == EINTR))
        return;
    m_ended = true;
    // Nothing more to watch. (Deleted later: this may run inside its signal.)
    for (QObject *child : children())
        child->deleteLater();
    if (m_pidfd >= 0) {
        for (auto *notifier : findChildren<QSocketNotifier *>())
            notifier->setEnabled(false);
    }
    OrphanReaper::release(m_pid);
    const int waitStatus = got == m_pid ? status : -1;
    // A guard that exited by itself ended its tree first.
    const bool endedItsTree = waitStatus != -1 && WIFEXITED(waitStatus);
    if (!m_cgroup && !endedItsTree && !m_mark.isEmpty()) {
        // Killed outright, with no cgroup to hold the tree: whatever it
        // left (now this subreaper's, or init's) is found by its mark.
        QFuture<int> ending = runInBackground(
            [mark = m_mark, grace = m_grace] { return RunMarker::endRun(mark, grace); });
        ending.then(this, [this, waitStatus](int) { finish(waitStatus); });
        return;
    }
    if (!m_cgroup || !m_cgroup->isPopulated()) {
        finish(waitStatus);
        return;
    }
    // The guard went without ending its tree (it was killed outright):
    // the cgroup ends what is left, and the tree counts as ended once the
    // group is empty.
    m_cgroup->killAll();
    auto *timer = new QTimer(this);
    const QDeadlineTimer deadline(5000);
    connect(timer, &QTimer::timeout, this, [this, timer, deadline, waitStatus] {
        if (m_cgroup->isPopulated() && !deadline.hasExpired())
            return;
        timer->stop();
        timer->deleteLater();
        finish(waitStatus);
    });
    timer->start(10);
}

void HelperWatch::finish(int waitStatus)
{
    m_finished = true;
    if (m_cgroup && m_cgroup->remove())
        m_cgroup.reset();
    if (auto callback = std::exchange(onEnded, nullptr))
        callback(waitStatus);
}

} // namespace nerim::platform
