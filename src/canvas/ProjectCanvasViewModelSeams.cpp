// The canvas's entry points into the Plans agent, the preview and the
// development server, the repair loop and voice input. The canvas routes
// prompts and agent output to them; each does the part that belongs to the
// canvas itself and leaves the conversation, the server start, the repair loop
// and dictation to the flows that own them.
#include "canvas/ProjectCanvasViewModel.h"

#include "routing/LocalCommandMatchers.h"

#include <QPointer>

namespace nerim {

// ---- Plans ----------------------------------------------------------------------------------

QCoro::Task<> ProjectCanvasViewModel::sendPlansMessage(QString text, PlansMessageOrigin origin)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || m_plan->isGenerating())
        co_return;
    // Only the user may hand a plan step to a pane by talking to the Plans agent.
    if (origin == PlansMessageOrigin::user) {
        if (const std::optional<StepHandover> handover = parseStepHandover(trimmed, paneNumbers(), paneNameAliases())) {
            QCoro::Task<> handing = handPlanStep(handover->stepNumber, handover->agent, paneNumberIndex(),
                                                 paneNameAliases(), ContextEntry::PromptSource::text);
            co_await std::move(handing);
            co_return;
        }
    }
    // The message joins the Plans conversation (shown and saved at once).
    m_plan->appendUserTurn(trimmed);
}

QCoro::Task<> ProjectCanvasViewModel::performPlanCommand(PlanCommand command)
{
    if (command.kind == PlanCommand::Kind::close) {
        m_plan->close();
        co_return;
    }
    m_plan->setIsVisible(true);
    if (command.topic) {
        QCoro::Task<> sending = sendPlansMessage(*command.topic, PlansMessageOrigin::user);
        co_await std::move(sending);
    }
}

QCoro::Task<> ProjectCanvasViewModel::organizePlans()
{
    if (m_plan->isOrganizing())
        co_return;
    if (m_plan->steps().isEmpty() && m_plan->conversation().isEmpty()) {
        m_plan->setLastError(
            QStringLiteral("There's nothing to organize yet \u2014 start a conversation with the plans agent first."));
    }
    co_return;
}

// ---- Preview and the development server --------------------------------------------------------

QCoro::Task<> ProjectCanvasViewModel::runApp()
{
    // The preview opens first, so whatever the start reports is seen at once.
    if (!m_preview->isVisible())
        m_preview->toggleVisibility();
    co_return;
}

void ProjectCanvasViewModel::performPreviewCommand(PreviewCommand command)
{
    switch (command) {
    case PreviewCommand::open:
        if (!m_preview->isVisible())
            m_preview->toggleVisibility();
        break;
    case PreviewCommand::close:
        if (m_preview->isVisible())
            m_preview->hide();
        break;
    }
}

void ProjectCanvasViewModel::showLaunchDetectionError(const QString &message)
{
    m_preview->setError(message);
}

void ProjectCanvasViewModel::runnerURLDetected(const QUrl &url)
{
    m_preview->navigate(url.toString());
    if (!m_preview->isVisible())
        m_preview->setVisible(true);
}

void ProjectCanvasViewModel::runnerFailureDetected(const DetectedFailure &failure)
{
    QString text = failure.summary;
    if (failure.hint && !failure.hint->isEmpty())
        text += QStringLiteral("  ") + *failure.hint;
    m_preview->setError(text);
    if (!m_preview->isVisible())
        m_preview->setVisible(true);
}

// ---- Repair ---------------------------------------------------------------------------------

QCoro::Task<> ProjectCanvasViewModel::beginRepair()
{
    co_return;
}

QCoro::Task<> ProjectCanvasViewModel::cancelRepair()
{
    co_return;
}

QCoro::Task<> ProjectCanvasViewModel::submitRepairSecret(QString name, QString value)
{
    Q_UNUSED(name);
    Q_UNUSED(value);
    co_return;
}

// ---- Voice input ---------------------------------------------------------------------------

QCoro::Task<> ProjectCanvasViewModel::startVoiceInput()
{
    if (!m_voiceTranscriber)
        setVoiceState(VoiceState::error(QStringLiteral("Voice input isn't available for this locale.")));
    co_return;
}

QCoro::Task<> ProjectCanvasViewModel::stopVoiceInput()
{
    if (!m_voiceTranscriber)
        setVoiceState(VoiceState::idle());
    co_return;
}

void ProjectCanvasViewModel::finishVoiceInput(const QString &transcript)
{
    const QString text = transcript.trimmed();
    if (text.isEmpty())
        return;
    const auto joined = [&text](const QString &existing) {
        if (existing.isEmpty())
            return text;
        return existing.endsWith(QLatin1Char(' ')) ? existing + text : existing + QLatin1Char(' ') + text;
    };
    if (m_plan->isVisible() && m_plan->draftFieldFocused()) {
        m_plan->setDraftVision(joined(m_plan->draftVision()));
        return;
    }
    setInputPrompt(joined(m_inputPrompt));
    scheduleDraftSave();
}

} // namespace nerim
