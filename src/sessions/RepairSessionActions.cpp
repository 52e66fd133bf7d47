// What the repair session does on its agent's markers: restarting the app and
// judging the retry, asking for a secret and writing it to .env, and saving a
// start command.
#include "sessions/RepairSession.h"
#include "persistence/ProjectDataFolder.h"

#include "foundation/SerialExecutor.h"
#include "launcher/LaunchPlan.h"
#include "launcher/LocalURLDetection.h"
#include "persistence/AtomicFileWriter.h"
#include "repair/DotEnvFile.h"
#include "repair/RepairMarkers.h"

#include <QCoro/QCoroFuture>
#include <QTimer>

namespace nerim {

using Phase = RepairSessionState::Phase;

namespace {

// The restarted app may print this many of its last lines into a follow-up.
constexpr qsizetype followUpOutputLines = 60;

// Agent text for a log or pane line, with every control character written
// out as an escape, so that none reaches a terminal that shows the log.
QString printable(const QString &text)
{
    QString shown;
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

// A command the agent wrapped in one Markdown code span, without it.
QString unwrapCodeSpan(const QString &command)
{
    const QString trimmed = command.trimmed();
    if (trimmed.size() >= 2 && trimmed.startsWith(QLatin1Char('`')) && trimmed.endsWith(QLatin1Char('`')) &&
        trimmed.count(QLatin1Char('`')) == 2)
        return trimmed.mid(1, trimmed.size() - 2).trimmed();
    return trimmed;
}

// The command the agent saves for a project that has nothing to start only
// prints a sentence.
bool isNothingToStartCommand(const QString &command)
{
    return command.startsWith(QLatin1String("echo ")) && !DevServerRunner::isCompoundCommand(command);
}

} // namespace

// ---- The retry ----------------------------------------------------------------------------------

void RepairSession::handleReadyToRetry()
{
    if (!m_state->context())
        return;
    const Phase phase = m_state->phase();
    if (phase.kind() != Phase::Kind::repairing) {
        logRepair(QStringLiteral("ready-to-retry received while phase is %1, ignoring").arg(phase.debugDescription()));
        return;
    }
    const int attempt = phase.attempt();
    logRepair(QStringLiteral("READY_TO_RETRY received (attempt %1) \u2014 re-running app").arg(attempt));
    m_state->setPhase(Phase::retryingApp(attempt));
    if (AgentPaneState *pane = this->pane())
        pane->appendLine(OutputLine::Kind::system, QStringLiteral("Restarting your app\u2026"));

    // The restart must end in a verdict even when the runner never calls back:
    // a launch that fails, a server that exits without an address or a failure,
    // or one that never prints an address.
    if (!m_runnerWatched) {
        m_runnerWatched = true;
        DevServerRunner *runner = &m_host.devServerRunner();
        connect(runner, &DevServerRunner::statusChanged, this, [this, runner] {
            if (m_state->phase().kind() != Phase::Kind::retryingApp)
                return;
            if (runner->status().is(DevServerStatus::Kind::starting))
                m_retryLaunched = true;
            else if (!m_host.isStartingApp())
                judgeRetryRun();
        });
    }
    m_retryLaunched = false;
    const quint64 retry = ++m_retrySerial;
    const auto limit = m_retryWatchdog;
    QTimer::singleShot(limit, this, [this, retry, limit] {
        if (m_retrySerial != retry || m_state->phase().kind() != Phase::Kind::retryingApp)
            return;
        logRepair(QStringLiteral("the restarted app gave no address within %1 s \u2014 counting the retry as failed")
                      .arg(std::chrono::duration_cast<std::chrono::seconds>(limit).count()));
        retryFailed(DevServerRunner::startupCrashFailure());
    });

    QCoro::Task<> running = m_host.runApp();
    Q_UNUSED(running);
}

void RepairSession::judgeRetryRun()
{
    if (m_state->phase().kind() != Phase::Kind::retryingApp || !m_retryLaunched)
        return;
    const DevServerRunner &runner = m_host.devServerRunner();
    const DevServerStatus &status = runner.status();
    if (status.is(DevServerStatus::Kind::failed)) {
        logRepair(QStringLiteral("the restarted app couldn't be launched: %1").arg(status.reason()));
        retryFailed(DevServerRunner::startupCrashFailure());
        return;
    }
    if (!status.is(DevServerStatus::Kind::stopped) || runner.detectedURL() || runner.lastFailure())
        return; // still running, or already judged through a callback

    // The launch command the agent saved for a project with nothing to start
    // ends by itself, cleanly and without an address: that is the fix.
    const std::optional<LaunchPlan> &lastPlan = m_host.lastAttemptedLaunchPlan();
    const bool nothingToStart = status.wasClean() && status.exitCode() == 0 && m_savedCommand &&
                                isNothingToStartCommand(*m_savedCommand) && lastPlan &&
                                lastPlan->shellCommand == *m_savedCommand;
    if (nothingToStart) {
        logRepair(QStringLiteral("the saved launch command ended cleanly without an address \u2014 nothing to run"));
        if (AgentPaneState *pane = this->pane())
            pane->appendLine(OutputLine::Kind::system,
                             QStringLiteral("This project has nothing to start, so there's no app to run."));
        finalize(Phase::fixed(), std::nullopt);
        return;
    }
    logRepair(QStringLiteral("the restarted app ended without an address (exit code %1)").arg(status.exitCode()));
    retryFailed(DevServerRunner::startupCrashFailure());
}

void RepairSession::retrySucceeded(const QUrl &url)
{
    const Phase phase = m_state->phase();
    if (phase.kind() != Phase::Kind::retryingApp)
        return;
    logRepair(QStringLiteral("retry #%1 succeeded: %2").arg(phase.attempt()).arg(localurl::addressForLog(url)));
    if (AgentPaneState *pane = this->pane())
        pane->appendLine(OutputLine::Kind::taskComplete,
                         QStringLiteral("Fixed. Your app is running at ") + url.toString() + QLatin1Char('.'));
    finalize(Phase::fixed(), std::nullopt);
}

void RepairSession::retryFailed(const DetectedFailure &failure)
{
    const Phase phase = m_state->phase();
    if (phase.kind() != Phase::Kind::retryingApp)
        return;
    std::optional<RepairContext> context = m_state->context();
    if (!context) {
        finalize(Phase::stuck(QStringLiteral("Lost track of the repair context.")), QStringLiteral("context lost"));
        return;
    }
    const int cap = context->retryCap;
    if (phase.attempt() >= cap) {
        finalize(Phase::stuck(QStringLiteral("Tried %1 fixes and the app still crashes.").arg(cap)),
                 QStringLiteral("retry-cap-hit"));
        return;
    }
    context->attempt += 1;
    const int attempt = context->attempt;
    m_state->setContext(context);
    AgentPaneState *pane = this->pane();
    if (!pane) {
        finalize(Phase::stuck(QStringLiteral("Repair pane vanished.")), QStringLiteral("pane-lost"));
        return;
    }
    pane->appendLine(OutputLine::Kind::system,
                     QStringLiteral("That didn't work \u2014 trying again. Attempt %1 of %2.").arg(attempt).arg(cap));

    const QStringList &output = m_host.devServerRunner().recentOutput();
    const QString fresh =
        output.isEmpty()
            ? QStringLiteral("(no fresh output captured this retry \u2014 the process may have crashed silently)")
            : output.mid(std::max<qsizetype>(0, output.size() - followUpOutputLines)).join(QLatin1Char('\n'));
    const QString followUp =
        QStringLiteral("Your previous fix didn't take. The app crashed again on the retry with:\n    ") +
        failure.summary + QStringLiteral("\n\nFresh output from this retry (most recent lines below):\n----\n") +
        fresh +
        QStringLiteral(
            "\n----\n\nYou've already tried what you tried \u2014 you can see it above in this conversation. "
            "Please pick a DIFFERENT approach this time, or emit ") +
        RepairMarkers::stuck + QStringLiteral(": <one-line reason> if you're out of safe ideas.");

    m_state->setPhase(Phase::repairing(attempt));
    sendFollowUp(followUp, FollowUpKind::retry);
}

bool RepairSession::countRefusedRun(const QString &stuckText)
{
    std::optional<RepairContext> context = m_state->context();
    const Phase phase = m_state->phase();
    if (!phase.isActive())
        return false;
    const int cap = context ? context->retryCap : 1;
    // Each refusal starts a run that costs like any other, in whichever phase
    // the agent asks (also while the banner waits for a secret or the app
    // restarts): never an unbounded loop.
    const int refusals = m_runs.countRefusal();
    const bool attemptsUsed = phase.kind() == Phase::Kind::repairing && context && context->attempt >= cap;
    if (refusals >= cap || attemptsUsed) {
        stopStuck(stuckText, QStringLiteral("refusal-cap-hit"));
        return false;
    }
    // While repairing, the refusal's run is the next attempt.
    if (phase.kind() != Phase::Kind::repairing || !context)
        return true;
    context->attempt += 1;
    const int attempt = context->attempt;
    m_state->setContext(context);
    m_state->setPhase(Phase::repairing(attempt));
    if (AgentPaneState *pane = this->pane())
        pane->appendLine(OutputLine::Kind::system, QStringLiteral("Attempt %1 of %2.").arg(attempt).arg(cap));
    return true;
}

// ---- A secret for .env ----------------------------------------------------------------------------

void RepairSession::handleAskSecret(const QString &name, const QString &explanation)
{
    const Phase phase = m_state->phase();
    if (phase.kind() != Phase::Kind::repairing)
        return;
    // A name .env cannot hold is refused before the user is asked for a value
    // that could never be written; the agent is told why and works on.
    if (!DotEnvFile::isValidName(name)) {
        const QString shown = printable(name);
        if (!countRefusedRun(QStringLiteral("The Repair agent kept asking for a value named \"%1\", which can't be "
                                            "a variable name in .env, so Nerim stopped it. If your app needs a "
                                            "secret, add it to .env yourself, then try again.")
                                 .arg(shown)))
            return;
        logRepair(QStringLiteral("ASK_SECRET refused: \"%1\" is not a variable name").arg(shown));
        if (AgentPaneState *pane = this->pane())
            pane->appendLine(OutputLine::Kind::stderr,
                             QStringLiteral("[The Repair agent asked for a value named \"%1\", which can't be a "
                                            "variable name in .env \u2014 Nerim asked it to correct the name.]")
                                 .arg(shown));
        sendFollowUp(QStringLiteral("Nerim can't ask the user for \"%1\": a variable name in .env uses only letters, "
                                    "digits and underscores and doesn't start with a digit. Print %2: followed by "
                                    "the name the app reads, \" | \" and the explanation, or %3: with the reason.")
                         .arg(shown, RepairMarkers::askSecret, RepairMarkers::stuck),
                     FollowUpKind::refused);
        return;
    }
    logRepair(QStringLiteral("ASK_SECRET received: %1 (explanation: %2)").arg(name, explanation));
    m_state->setPhase(Phase::awaitingSecret(name, explanation, phase.attempt()));
    if (AgentPaneState *pane = this->pane())
        pane->appendLine(
            OutputLine::Kind::system,
            QStringLiteral("Nerim needs a value for %1. Paste it in the field on the banner above.").arg(name));
}

QCoro::Task<> RepairSession::submitSecret(QString name, QString value)
{
    const Phase phase = m_state->phase();
    if (phase.kind() != Phase::Kind::awaitingSecret || m_secretInFlight) {
        logRepair(QStringLiteral("submitRepairSecret: phase is %1, ignoring").arg(phase.debugDescription()));
        co_return;
    }
    if (name != phase.varName()) {
        logRepair(QStringLiteral("submitRepairSecret: name mismatch (%1 vs %2)").arg(name, phase.varName()));
        co_return;
    }
    if (!pane())
        co_return;
    QPointer<RepairSession> self(this);
    const quint64 serial = m_runs.session();

    m_secretInFlight = true;
    QCoro::Task<std::optional<QString>> writing = appendSecretToEnv(name, value);
    const std::optional<QString> error = co_await std::move(writing);
    if (!self)
        co_return;
    m_secretInFlight = false;
    // Cancelled (or ended) while the file was written: nobody waits for the answer.
    if (serial != m_runs.session() || m_state->phase() != phase)
        co_return;
    AgentPaneState *pane = this->pane();
    if (!pane)
        co_return;

    QString followUp;
    if (!error) {
        followUp = QStringLiteral("OK, `.env` updated with %1. Continue.").arg(name);
        pane->appendLine(OutputLine::Kind::system, QStringLiteral("[.env updated with %1. Continuing.]").arg(name));
    } else {
        followUp = QStringLiteral("I couldn't write to .env: %1. Please decide whether to emit a stuck marker or try a "
                                  "different approach.")
                       .arg(*error);
        pane->appendLine(OutputLine::Kind::stderr, QStringLiteral("[failed to write .env: %1]").arg(*error));
    }
    m_state->setPhase(Phase::repairing(phase.attempt()));
    sendFollowUp(followUp, FollowUpKind::secret);
}

QCoro::Task<std::optional<QString>> RepairSession::appendSecretToEnv(QString name, QString value)
{
    // Only through the project's door: a Nerim that does not hold the
    // project changes no `.env`. The job keeps the door until it has ended.
    const std::shared_ptr<ProjectDataFolder> door = m_host.dataFolder();
    if (!door)
        co_return QStringLiteral("the project is not open for writing");
    QFuture<std::optional<QString>> writing =
        m_host.launchWork().run([door, name, value] { return DotEnvFile::append(*door, name, value); });
    try {
        co_return co_await writing;
    } catch (...) {
        co_return AtomicFileWriter::describeFailure(std::current_exception());
    }
}

// ---- A start command ----------------------------------------------------------------------------

void RepairSession::handleLaunchOverride(const QString &command, AgentPaneState *pane)
{
    logRepair(QStringLiteral("LAUNCH_OVERRIDE received: %1").arg(launchCommandForLog(command)));
    const QString unwrapped = unwrapCodeSpan(command);
    if (unwrapped.isEmpty()) {
        if (!countRefusedRun(QStringLiteral("The Repair agent kept giving an empty launch command, so Nerim stopped "
                                            "it. Try again, or start your app yourself in a terminal to see what it "
                                            "needs.")))
            return;
        // Saved, an empty command would be the start of every later run.
        pane->appendLine(OutputLine::Kind::stderr,
                         QStringLiteral("[The Repair agent's launch command was empty \u2014 nothing was saved.]"));
        sendFollowUp(QStringLiteral("The launch command you printed was empty, so Nerim saved nothing. Print ") +
                         RepairMarkers::launchOverride +
                         QStringLiteral(": followed by the full shell command on the same line."),
                     FollowUpKind::refused);
        return;
    }
    const QString now = Timestamp::now().toIso8601();
    LaunchOverride record;
    record.version = LaunchOverride::currentVersion;
    record.shellCommand = unwrapped;
    record.description = QStringLiteral("Starting your app");
    record.writtenAt = now;
    record.notes = QStringLiteral("Written by the Repair agent on ") + now + QLatin1Char('.');
    QCoro::Task<> saving = saveLaunchOverride(record, pane);
    Q_UNUSED(saving);
}

QCoro::Task<> RepairSession::saveLaunchOverride(LaunchOverride record, QPointer<AgentPaneState> pane)
{
    QPointer<RepairSession> self(this);
    const quint64 detections = m_host.launchDetections();
    // On the launcher's thread, so a start asked for after this marker runs
    // it; the job keeps the project's door (and its lock) until it has ended.
    QFuture<void> saving = m_host.launchWork().run([record, door = m_host.dataFolder()] {
        if (!door)
            throw ProjectDataFolder::NotWriter("the project is not open for writing");
        record.save(*door);
    });
    std::exception_ptr failure;
    try {
        co_await saving;
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self)
        co_return;
    if (failure) {
        const QString description = AtomicFileWriter::describeFailure(failure);
        logRepair(QStringLiteral("failed to write launch-override: %1").arg(description));
        if (pane)
            pane->appendLine(OutputLine::Kind::stderr,
                             QStringLiteral("[couldn't save launch override: %1]").arg(description));
        co_return;
    }
    m_savedCommand = record.shellCommand;
    if (pane)
        pane->appendLine(OutputLine::Kind::system,
                         QStringLiteral("[Nerim saved the launch command to `.nerim/launch-override.json`.]"));
    // The remembered start is out of date, unless a start began since the save
    // was asked for: that one already runs the saved command.
    if (detections == m_host.launchDetections()) {
        m_overridePlan = record.launchPlan(m_host.projectPath());
        m_host.setLastAttemptedLaunchPlan(std::nullopt);
        m_host.setLastLaunchAttemptDetectionError(std::nullopt);
    }
}

} // namespace nerim
