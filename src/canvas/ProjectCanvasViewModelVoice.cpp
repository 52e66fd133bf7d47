// Dictation on the canvas: the microphone button or the Right-Shift double tap
// starts a recording through the project's transcriber, a second press stops
// it, and the transcript lands where the user is writing (the Plans draft or
// the prompt) for review. A transcript is never submitted by itself. One
// dictation at a time; every outcome ends in a `voiceState` the prompt bar shows.
//
// The transcriber comes from `CanvasServices::transcriberFactory` (by default
// `makeVoiceTranscriber`, none without a Groq key: the error is then
// `voiceInputUnavailableMessage()`), the hotkey monitor from `hotkeyFactory`.
// Each dictation has a number; leaving the project cancels the transcriber and
// changes the number, so a recording or transcript still under way is dropped
// and the microphone closes. The double tap starts only when no pane choice is
// pending but always stops; a transcript goes to the Plans draft while its
// field has the focus, else to the prompt (with a draft save).
#include "canvas/ProjectCanvasViewModel.h"

#include <QPointer>

namespace nerim {

namespace {

bool canStart(const VoiceState &state)
{
    switch (state.kind()) {
    case VoiceState::Kind::idle:
    case VoiceState::Kind::permissionDenied:
    case VoiceState::Kind::error:
        return true;
    case VoiceState::Kind::requestingPermissions:
    case VoiceState::Kind::recording:
    case VoiceState::Kind::transcribing:
    case VoiceState::Kind::submitting:
        return false;
    }
    return false;
}

VoiceState stateAfterFailedStart(const VoiceTranscriberError &error)
{
    using Kind = VoiceTranscriberError::Kind;
    switch (error.kind()) {
    case Kind::speechRecognitionUnavailable:
        return VoiceState::error(QStringLiteral("Speech recognition isn't available for %1.").arg(error.locale()));
    case Kind::audioEngineFailed:
        return VoiceState::error(QStringLiteral("Microphone couldn't start: ") + error.underlying());
    case Kind::microphonePermissionDenied:
        return VoiceState::permissionDenied(VoiceState::DeniedAuthorization::microphone);
    case Kind::speechRecognitionPermissionDenied:
        return VoiceState::permissionDenied(VoiceState::DeniedAuthorization::speechRecognition);
    case Kind::onDeviceRecognitionUnavailable:
        return VoiceState::error(QStringLiteral("On-device transcription isn't available for your locale yet."));
    case Kind::recognitionTaskFailed:
    case Kind::noSpeechDetected:
    case Kind::cancelled:
        break;
    }
    return VoiceState::error(QStringLiteral("Voice input failed: ") + error.description());
}

VoiceState stateAfterFailedTranscript(const VoiceTranscriberError &error)
{
    using Kind = VoiceTranscriberError::Kind;
    switch (error.kind()) {
    case Kind::recognitionTaskFailed:
        return VoiceState::error(QStringLiteral("Transcription failed: ") + error.underlying());
    case Kind::noSpeechDetected:
        return VoiceState::error(QStringLiteral("Didn't catch that. Try again."));
    case Kind::cancelled:
        return VoiceState::idle();
    default:
        return VoiceState::error(QStringLiteral("Transcription failed: ") + error.description());
    }
}

// What a failure other than the transcriber's own error says about itself.
QString describeOtherFailure(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception &error) {
        return QString::fromUtf8(error.what());
    } catch (...) {
    }
    return QStringLiteral("an unexpected error occurred.");
}

} // namespace

std::shared_ptr<VoiceTranscribing> ProjectCanvasViewModel::chooseVoiceTranscriber(const Services &services)
{
    return services.transcriberFactory ? services.transcriberFactory() : makeVoiceTranscriber();
}

void ProjectCanvasViewModel::setReleaseRequestedDuringSetup(bool value)
{
    if (m_releaseRequestedDuringSetup == value)
        return;
    m_releaseRequestedDuringSetup = value;
    emit releaseRequestedDuringSetupChanged();
}

VoiceHotkeyMonitor &ProjectCanvasViewModel::voiceHotkey()
{
    if (!m_voiceHotkey) {
        QPointer<ProjectCanvasViewModel> self(this);
        auto onDoubleTap = [self] {
            if (self)
                self->toggleVoiceInput();
        };
        m_voiceHotkey = m_services.hotkeyFactory ? m_services.hotkeyFactory(std::move(onDoubleTap))
                                                 : std::make_unique<VoiceHotkeyMonitor>(std::move(onDoubleTap));
    }
    return *m_voiceHotkey;
}

void ProjectCanvasViewModel::toggleVoiceInput()
{
    if (!m_voiceTranscriber)
        return;
    if (canStart(m_voiceState)) {
        // With several panes and none chosen there is no telling where the
        // prompt would go; the microphone button still works.
        if (needsPaneSelection())
            return;
        startVoiceInput();
        return;
    }
    // Stopping always works: a pane selection that became needed while
    // recording must not leave the microphone open.
    stopVoiceInput();
}

QCoro::Task<> ProjectCanvasViewModel::startVoiceInput()
{
    if (!m_voiceTranscriber) {
        setVoiceState(VoiceState::error(voiceInputUnavailableMessage()));
        co_return;
    }
    // After leaving the project nobody could stop a recording started now.
    if (!canStart(m_voiceState) || m_tornDown)
        co_return;
    setReleaseRequestedDuringSetup(false);
    setVoiceState(VoiceState::requestingPermissions());

    QPointer<ProjectCanvasViewModel> self(this);
    const std::shared_ptr<VoiceTranscribing> transcriber = m_voiceTranscriber;
    const quint64 dictation = ++m_voiceDictation;
    std::optional<VoiceState> failedState;
    try {
        QCoro::Task<> starting = transcriber->start();
        co_await std::move(starting);
    } catch (const VoiceTranscriberError &error) {
        failedState = stateAfterFailedStart(error);
    } catch (...) {
        failedState =
            VoiceState::error(QStringLiteral("Voice input failed: ") + describeOtherFailure(std::current_exception()));
    }
    if (!self || m_voiceDictation != dictation) {
        // The canvas was left meanwhile: the microphone must not stay open.
        if (!failedState)
            transcriber->cancel();
        co_return;
    }
    if (failedState) {
        setVoiceState(*failedState);
        co_return;
    }
    if (m_releaseRequestedDuringSetup) {
        // The user asked to stop before the recording had begun: no cue, straight on.
        setReleaseRequestedDuringSetup(false);
        QCoro::Task<> finishing = finishVoiceInput();
        co_await std::move(finishing);
        co_return;
    }
    setVoiceState(VoiceState::recording());
    playCue(SoundCueService::Cue::voiceRecordingStarted);
}

QCoro::Task<> ProjectCanvasViewModel::stopVoiceInput()
{
    if (!m_voiceTranscriber) {
        setVoiceState(VoiceState::idle());
        co_return;
    }
    switch (m_voiceState.kind()) {
    case VoiceState::Kind::recording: {
        QCoro::Task<> finishing = finishVoiceInput();
        co_await std::move(finishing);
        break;
    }
    case VoiceState::Kind::requestingPermissions:
        // The start in flight finishes as soon as the recording has begun.
        setReleaseRequestedDuringSetup(true);
        break;
    default:
        break;
    }
}

QCoro::Task<> ProjectCanvasViewModel::finishVoiceInput()
{
    setVoiceState(VoiceState::transcribing());
    QPointer<ProjectCanvasViewModel> self(this);
    const std::shared_ptr<VoiceTranscribing> transcriber = m_voiceTranscriber;
    const quint64 dictation = m_voiceDictation;
    QString transcript;
    std::optional<VoiceState> failedState;
    try {
        QCoro::Task<QString> stopping = transcriber->stopRecordingAndAwaitTranscript();
        transcript = co_await std::move(stopping);
    } catch (const VoiceTranscriberError &error) {
        failedState = stateAfterFailedTranscript(error);
    } catch (...) {
        failedState = VoiceState::error(QStringLiteral("Transcription failed: ") +
                                        describeOtherFailure(std::current_exception()));
    }
    // A dictation abandoned by leaving the project inserts nothing.
    if (!self || m_voiceDictation != dictation)
        co_return;
    if (failedState) {
        setVoiceState(*failedState);
        co_return;
    }
    playCue(SoundCueService::Cue::voiceSubmitted);
    insertTranscript(transcript);
    setVoiceState(VoiceState::idle());
}

void ProjectCanvasViewModel::insertTranscript(const QString &transcript)
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

void ProjectCanvasViewModel::endVoiceInput()
{
    if (m_voiceHotkey)
        m_voiceHotkey->stop();
    switch (m_voiceState.kind()) {
    case VoiceState::Kind::requestingPermissions:
    case VoiceState::Kind::recording:
    case VoiceState::Kind::transcribing:
    case VoiceState::Kind::submitting:
        // The waits in flight see the new number and write nothing.
        ++m_voiceDictation;
        if (m_voiceTranscriber)
            m_voiceTranscriber->cancel();
        setReleaseRequestedDuringSetup(false);
        setVoiceState(VoiceState::idle());
        break;
    default:
        break;
    }
}

} // namespace nerim
