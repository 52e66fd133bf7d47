#pragma once

#include "platform/ChildProcess.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <chrono>
#include <QCoro/QCoroTask>

namespace nerim::platform {

// How a program run to its end went (see runToEnd).
struct ChildRun {
    // Set when the program never started: why.
    QString startFailure;
    // Its end was seen: on its own (not by a signal) or not, with this code.
    bool exited = false;
    bool exitedNormally = false;
    int exitCode = -1;
    // It was stopped when its time was up, or because its stopper went away.
    bool timedOut = false;
    bool stopped = false;
    // What it wrote, line by line.
    QStringList outputLines;
    QStringList errorLines;

    bool succeeded() const { return startFailure.isEmpty() && !timedOut && !stopped && exitedNormally && exitCode == 0; }
};

// Runs a program through ChildProcess and waits, without blocking the thread,
// until its whole tree has ended. A program still running after `timeLimit`
// is stopped (with its tree); so is one whose `stopper` is destroyed, when one
// is given. For short helper runs (a git query, an install): the output is
// kept whole.
QCoro::Task<ChildRun> runToEnd(ChildProcess::Options options, std::chrono::milliseconds timeLimit,
                               QPointer<QObject> stopper = {});

} // namespace nerim::platform
