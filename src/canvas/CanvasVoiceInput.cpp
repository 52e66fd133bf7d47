// Dictation on the canvas (see CanvasVoiceInput.h).
#include "canvas/CanvasVoiceInput.h"

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

CanvasVoiceInput::CanvasVoiceInput(Host host, std::shared_ptr<VoiceTranscribing> transcriber,
                                   const TranscriberFactory &transcriberFactory, HotkeyFactory hotkeyFactory,
                                   QObject *parent)
    : QObject(parent), m_host(std::move(host)),
      m_transcriber(transcriber            ? std::move(transcriber)
                    : transcriberFactory ? transcriberFactory()
                                         : makeVoiceTranscriber()),
      m_hotkeyFactory(std::move(hotkeyFactory))
{
}

CanvasVoiceInput::~CanvasVoiceInput() = default;

void CanvasVoiceInput::setState(const VoiceState &state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged();
}

void CanvasVoiceInput::setReleaseRequestedDuringSetup(bool value)
{
    if (m_releaseRequestedDuringSetup == value)
        return;
    m_releaseRequestedDuringSetup = value;
    emit releaseRequestedDuringSetupChanged();
}

VoiceHotkeyMonitor &CanvasVoiceInput::hotkey()
{
    if (!m_hotkey) {
        QPointer<CanvasVoiceInput> self(this);
        auto onDoubleTap = [self] {
            if (self)
                self->toggle();
        };
        m_hotkey = m_hotkeyFactory ? m_hotkeyFactory(std::move(onDoubleTap))
                                   : std::make_unique<VoiceHotkeyMonitor>(std::move(onDoubleTap));
    }
    return *m_hotkey;
}

void CanvasVoiceInput::toggle()
{
    if (!m_transcriber)
        return;
    if (canStart(m_state)) {
        // With several panes and none chosen there is no telling where the
        // prompt would go; the microphone button still works.
        if (m_host.needsPaneSelection())
            return;
        start();
        return;
    }
    // Stopping always works: a pane selection that became needed while
    // recording must not leave the microphone open.
    stop();
}

QCoro::Task<> CanvasVoiceInput::start()
{
    if (!m_transcriber) {
        setState(VoiceState::error(voiceInputUnavailableMessage()));
        co_return;
    }
    // After leaving the project nobody could stop a recording started now.
    if (!canStart(m_state) || m_ended)
        co_return;
    setReleaseRequestedDuringSetup(false);
    setState(VoiceState::requestingPermissions());

    QPointer<CanvasVoiceInput> self(this);
    const std::shared_ptr<VoiceTranscribing> transcriber = m_transcriber;
    const quint64 dictation = ++m_dictation;
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
    if (!self || m_dictation != dictation) {
        // The canvas was left meanwhile: the microphone must not stay open.
        if (!failedState)
            transcriber->cancel();
        co_return;
    }
    if (failedState) {
        setState(*failedState);
        co_return;
    }
    if (m_releaseRequestedDuringSetup) {
        // The user asked to stop before the recording had begun: no cue, straight on.
        setReleaseRequestedDuringSetup(false);
        QCoro::Task<> finishing = finish();
        co_await std::move(finishing);
        co_return;
    }
    setState(VoiceState::recording());
    m_host.playCue(SoundCueService::Cue::voiceRecordingStarted);
}

QCoro::Task<> CanvasVoiceInput::stop()
{
    if (!m_transcriber) {
        setState(VoiceState::idle());
        co_return;
    }
    switch (m_state.kind()) {
    case VoiceState::Kind::recording: {
        QCoro::Task<> finishing = finish();
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

QCoro::Task<> CanvasVoiceInput::finish()
{
    setState(VoiceState::transcribing());
    QPointer<CanvasVoiceInput> self(this);
    const std::shared_ptr<VoiceTranscribing> transcriber = m_transcriber;
    const quint64 dictation = m_dictation;
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
    if (!self || m_dictation != dictation)
        co_return;
    if (failedState) {
        setState(*failedState);
        co_return;
    }
    m_host.playCue(SoundCueService::Cue::voiceSubmitted);
    m_host.insertTranscript(transcript);
    setState(VoiceState::idle());
}

void CanvasVoiceInput::end()
{
    m_ended = true;
    if (m_hotkey)
        m_hotkey->stop();
    switch (m_state.kind()) {
    case VoiceState::Kind::requestingPermissions:
    case VoiceState::Kind::recording:
    case VoiceState::Kind::transcribing:
    case VoiceState::Kind::submitting:
        // The waits in flight see the new number and write nothing.
        ++m_dictation;
        if (m_transcriber)
            m_transcriber->cancel();
        setReleaseRequestedDuringSetup(false);
        setState(VoiceState::idle());
        break;
    default:
        break;
    }
}

} // namespace nerim
