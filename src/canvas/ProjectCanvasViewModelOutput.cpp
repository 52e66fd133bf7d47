// What the canvas does with each event of a task agent's output: transcript,
// turn, marker lines, the address sniffer, and the run's end in the activity log.
#include "canvas/ProjectCanvasViewModel.h"

#include "sessions/PaneRuns.h"

#include "foundation/Log.h"
#include "foundation/Text.h"
#include "foundation/UuidText.h"
#include "launcher/LocalURLDetection.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/ProjectContextActor.h"

#include <QCoro/QCoroFuture>
#include <QPointer>
#include <vector>

namespace nerim {

namespace {

const QString handoffMarker = QStringLiteral("[NERIM_HANDOFF_TO_PLANS:");
const QString planStepMarker = QStringLiteral("PLAN_STEP_COMPLETE:");

// Characters an agent tends to wrap a marker's payload in.
bool isPayloadWrapper(QChar c)
{
    static const QString wrappers = QStringLiteral("[](){}\"'`.\\");
    return wrappers.contains(c);
}

QString stripWrappers(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isPayloadWrapper(text.at(begin)))
        ++begin;
    while (end > begin && isPayloadWrapper(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace

std::optional<QString> ProjectCanvasViewModel::parsePlansHandoffMarker(const QString &trimmedLine)
{
    const qsizetype at = trimmedLine.indexOf(handoffMarker);
    if (at < 0)
        return std::nullopt;
    const qsizetype start = at + handoffMarker.size();
    const qsizetype close = trimmedLine.indexOf(QLatin1Char(']'), start);
    if (close < 0)
        return std::nullopt;
    const QString payload = trimmedLine.mid(start, close - start).trimmed();
    if (payload.isEmpty())
        return std::nullopt;
    return payload;
}

std::optional<QString> ProjectCanvasViewModel::planStepMarkerPayload(const QString &trimmedLine)
{
    const qsizetype at = trimmedLine.indexOf(planStepMarker, 0, Qt::CaseInsensitive);
    if (at < 0)
        return std::nullopt;
    const QString payload = stripWrappers(trimmedLine.mid(at + planStepMarker.size()).trimmed()).trimmed();
    if (payload.isEmpty())
        return std::nullopt;
    return payload;
}

std::optional<QUuid> ProjectCanvasViewModel::planStepForMarker(const QString &trimmedLine,
                                                               const QList<PlanStep> &steps)
{
    const std::optional<QString> payload = planStepMarkerPayload(trimmedLine);
    if (!payload)
        return std::nullopt;
    if (const std::optional<QUuid> id = parseUuid(*payload))
        return id;
    // By title: letter case, inner spacing and punctuation at the ends are
    // ignored on both sides, so "Set up the database." matches its payload
    // even though a final full stop is stripped from the payload.
    const QString wanted = PlanState::normalizedTitle(*payload);
    std::optional<QUuid> lastDone;
    for (const PlanStep &step : steps) {
        if (PlanState::normalizedTitle(step.title) != wanted)
            continue;
        if (step.status != PlanStep::Status::done)
            return step.id;
        lastDone = step.id;
    }
    return lastDone;
}

void ProjectCanvasViewModel::handleAgentOutput(const AgentOutput &event, AgentPaneState *pane)
{
    if (!pane)
        return;
    switch (event.kind()) {
    case AgentOutput::Kind::stdoutLine:
        // A piece of a cut line is shown and answers the turn, but is never
        // read for a marker: what a piece seems to say, the whole line need not.
        if (event.isPieceOfLine()) {
            pane->appendLine(OutputLine::Kind::stdout, event.text());
            pane->appendStdoutToTurn(event.text());
        } else {
            handleStdoutLine(event.text(), pane);
        }
        break;
    case AgentOutput::Kind::stderrLine:
        pane->appendLine(OutputLine::Kind::stderr, event.text());
        sniffPreviewURL(event.text());
        break;
    case AgentOutput::Kind::statusLine:
        pane->appendLine(OutputLine::Kind::system, event.text());
        break;
    case AgentOutput::Kind::completion:
        pane->appendLine(OutputLine::Kind::system, QStringLiteral("[completed] ") + event.text());
        break;
    case AgentOutput::Kind::hangSignal:
        pane->appendLine(OutputLine::Kind::system,
                         QStringLiteral("[hang signal: %1]").arg(hangThresholdName(event.threshold())));
        pane->setStatus(AgentStatus::hung);
        break;
    case AgentOutput::Kind::processExited:
        handleProcessExit(event.exitCode(), pane);
        break;
    }
}

void ProjectCanvasViewModel::handleStdoutLine(const QString &line, AgentPaneState *pane)
{
    pane->appendCurrentStdout(line);
    const QString trimmed = line.trimmed();

    // The first marker that matches wins; a marker that names nothing falls
    // through to the next test and finally shows as ordinary output. Every
    // marker holds "_" and ":", which most lines lack: two quick scans spare
    // them the searches.
    const bool mayHoldMarker = trimmed.contains(QLatin1Char('_')) && trimmed.contains(QLatin1Char(':'));
    bool handled = false;
    if (!mayHoldMarker) {
        pane->appendLine(OutputLine::Kind::stdout, line);
        handled = true;
    } else if (const std::optional<QString> payload = parsePlansHandoffMarker(trimmed)) {
        m_plan->setIsVisible(true);
        // Marked as an agent's hand-off, so it can never act as a step handover.
        QCoro::Task<> handing = sendPlansMessage(*payload, PlansMessageOrigin::agentHandoff, pane);
        Q_UNUSED(handing);
        handled = true;
    } else if (const std::optional<QUuid> id = planStepForMarker(trimmed, m_plan->steps())) {
        m_plan->setStepStatus(*id, PlanStep::Status::done);
        handled = true;
    }
    if (!handled) {
        if (const qsizetype at = trimmed.indexOf(taskCompleteMarker); at >= 0) {
            const QString summary = text::trimSpacesAndTabs(trimmed.mid(at + taskCompleteMarker.size()));
            pane->appendLine(OutputLine::Kind::taskComplete, summary);
            playCue(SoundCueService::Cue::taskComplete);
            performHaptic(HapticPerformer::Pattern::levelChange);
            speak(pane->agentName() + QStringLiteral(" is done."));
        } else {
            pane->appendLine(OutputLine::Kind::stdout, line);
        }
    }

    pane->appendStdoutToTurn(line);
    sniffPreviewURL(line);
}

void ProjectCanvasViewModel::handleProcessExit(qint32 exitCode, AgentPaneState *pane)
{
    pane->appendLine(exitCode == 0 ? OutputLine::Kind::system : OutputLine::Kind::stderr,
                     QStringLiteral("[%1 exited \u00b7 code %2]").arg(pane->agentName(), QString::number(exitCode)));
    pane->closeTurn(pane->taskCompleteSummary(exitCode));
    pane->markExited(exitCode);
    savePanes();
    // The entries are queued on the memory owner now, in order; the pane's
    // stream has ended, so no later event waits for them.
    QCoro::Task<> recording = recordAgentRunEnd(pane->agentId(), pane->agentName(), pane->currentStdout(), exitCode);
    Q_UNUSED(recording);
}

QCoro::Task<> ProjectCanvasViewModel::recordAgentRunEnd(QString agentId, QString agentName, QStringList stdoutLines,
                                                        qint32 exitCode)
{
    if (!m_contextActor)
        co_return;
    QList<ContextEntry::Payload> payloads;
    if (exitCode == 0) {
        std::optional<QString> summary;
        for (qsizetype i = stdoutLines.size() - 1; i >= 0 && !summary; --i) {
            const QString trimmed = stdoutLines.at(i).trimmed();
            const qsizetype at = trimmed.indexOf(taskCompleteMarker);
            if (at >= 0)
                summary = text::trimSpacesAndTabs(trimmed.mid(at + taskCompleteMarker.size()));
        }
        if (!summary)
            summary = stdoutLines.mid(std::max<qsizetype>(0, stdoutLines.size() - 3)).join(QLatin1Char(' '));
        payloads.append(ContextEntry::AgentTaskComplete{agentId, agentName, *summary, {}, 0});
        payloads.append(ContextEntry::AgentExit{agentId, agentName, ContextEntry::ExitReason::cleanCompletion, 0});
    } else {
        payloads.append(
            ContextEntry::AgentExit{agentId, agentName, ContextEntry::ExitReason::subprocessError, exitCode});
    }
    QCoro::Task<> recording = appendToMemory(payloads, agentId);
    co_await std::move(recording);
}

QCoro::Task<> ProjectCanvasViewModel::appendToMemory(QList<ContextEntry::Payload> payloads, QString agentId)
{
    const std::shared_ptr<ProjectContextActor> actor = m_contextActor;
    if (!actor)
        co_return;
    QPointer<ProjectCanvasViewModel> self(this);
    // Every append is queued before the first wait, so the entries of one
    // moment stay together and in order in the log.
    std::vector<QFuture<ContextEntry>> appends;
    for (const ContextEntry::Payload &payload : payloads)
        appends.push_back(actor->append(payload, Timestamp::now()));
    for (size_t i = 0; i < appends.size(); ++i) {
        try {
            QFuture<ContextEntry> &append = appends[i];
            co_await append;
        } catch (...) {
            const QString kind = ContextEntry::kindString(payloads.at(static_cast<qsizetype>(i)));
            if (self)
                reportMemoryWriteFailure(kind, agentId, std::current_exception());
            else
                logLine(QStringLiteral("[Nerim memory] [memory: %1 write failed \u2014 %2]")
                            .arg(kind, AtomicFileWriter::describeFailure(std::current_exception())));
        }
    }
}

void ProjectCanvasViewModel::reportMemoryWriteFailure(const QString &kind, const QString &agentId,
                                                      std::exception_ptr error)
{
    const QString message = QStringLiteral("[memory: %1 write failed \u2014 %2]")
                                .arg(kind, AtomicFileWriter::describeFailure(std::move(error)));
    for (AgentPaneState *pane : std::as_const(m_panes)) {
        if (pane->agentId() == agentId) {
            pane->appendLine(OutputLine::Kind::stderr, message);
            return;
        }
    }
    logLine(QStringLiteral("[Nerim memory] %1").arg(message));
}

void ProjectCanvasViewModel::sniffPreviewURL(const QString &line)
{
    const std::optional<QUrl> url = detectLocalURL(line);
    if (!url)
        return;
    const QString address = url->toString();
    if (m_snifferSuggestedURLs.contains(address))
        return;
    m_snifferSuggestedURLs.insert(address);
    // An address the user typed stays.
    const QString &bar = m_preview->addressBar();
    const std::optional<QUrl> &loaded = m_preview->loadedURL();
    if (!bar.isEmpty() && (!loaded || bar != loaded->toString()))
        return;
    m_preview->setAddressBar(address);
    if (m_preview->isVisible() && !m_preview->loadedURL())
        m_preview->setPendingNavigation(PreviewState::PendingNavigation::load(*url));
}

} // namespace nerim
