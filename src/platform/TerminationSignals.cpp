#include "platform/TerminationSignals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace nerim::platform {

namespace {

constexpr int handledSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The pipe's ends; written by the handler, so plain globals.
int g_readEnd = -1;
int g_writeEnd = -1;

void restoreDefaults()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    for (const int signal : handledSignals)
        ::sigaction(signal, &action, nullptr);
}

extern "C" void onTerminationSignal(int signal)
{
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    (void)!::write(g_writeEnd, &number, 1);
    // The orderly quit is under way; the next such signal ends the process.
    restoreDefaults();
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent) : QObject(parent)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    g_readEnd = ends[0];
    g_writeEnd = ends[1];
    m_notifier = new QSocketNotifier(g_readEnd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readPipe);

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = &onTerminationSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : handledSignals)
        sigaddset(&action.sa_mask, signal);
    action.sa_flags = SA_RESTART;
    for (const int signal : handledSignals)
        ::sigaction(signal, &action, nullptr);
}

TerminationSignals::~TerminationSignals()
{
    if (g_readEnd < 0)
        return;
    restoreDefaults();
    delete m_notifier;
    ::close(g_readEnd);
    ::close(g_writeEnd);
    g_readEnd = g_writeEnd = -1;
}

void TerminationSignals::readPipe()
{
    unsigned char numbers[16];
    const ssize_t got = ::read(g_readEnd, numbers, sizeof numbers);
    for (ssize_t i = 0; i < got; ++i)
        emit received(numbers[i]);
}

} // namespace nerim::platform
