#pragma once

#include "voice/SoundCueService.h"
#include "voice/VoiceHotkeyMonitor.h"
#include "voice/VoiceState.h"
#include "voice/VoiceTranscribing.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

namespace nerim {

// Dictation on the canvas: the microphone button or the Right-Shift double tap
// starts a recording through the project's transcriber, a second press stops
// it, and the transcript is handed to the canvas, which puts it where the user
// is writing (the Plans draft or the prompt) for review. A transcript is never
// submitted by itself. One dictation at a time; every outcome ends in a
// `state()` the prompt bar shows.
//
// It owns the transcriber (the one given, else the canvas's
// `CanvasServices::transcriberFactory`, else `makeVoiceTranscriber()`; none
// without a Groq key: starting then ends in the error
// `voiceInputUnavailableMessage()`), the hotkey monitor (made on first
// use) and the dictation's state. Each dictation has a number; `end()` (the
// canvas's teardown) stops the hotkey, cancels the transcriber and changes the
// number, so a recording or transcript still under way is dropped, the
// microphone closes, and no dictation starts afterwards. The double tap starts
// only when no pane choice is pending but always stops.
//
// What it needs of the canvas comes as the `Host` callbacks. Confined to the
// GUI thread; the coroutines check that this object still exists, and that
// their dictation is still the current one, after every suspension, and never throw.
class CanvasVoiceInput : public QObject {
    Q_OBJECT

public:
    using TranscriberFactory = std::function<std::shared_ptr<VoiceTranscribing>()>;
    using HotkeyFactory = std::function<std::unique_ptr<VoiceHotkeyMonitor>(std::function<void()> onDoubleTap)>;

    struct Host {
        // Whether a pane must be chosen before a prompt can go anywhere.
        std::function<bool()> needsPaneSelection;
        // Puts a finished dictation's transcript where the user is writing.
        std::function<void(const QString &transcript)> insertTranscript;
        std::function<void(SoundCueService::Cue)> playCue;
    };

    // `transcriber`: else `transcriberFactory()` (asked once; may give none),
    // else `makeVoiceTranscriber()`. `hotkeyFactory`: empty, a monitor on the
    // monotonic clock.
    CanvasVoiceInput(Host host, std::shared_ptr<VoiceTranscribing> transcriber,
                     const TranscriberFactory &transcriberFactory, HotkeyFactory hotkeyFactory,
                     QObject *parent = nullptr);
    ~CanvasVoiceInput() override;

    const std::shared_ptr<VoiceTranscribing> &transcriber() const { return m_transcriber; }
    // Created on first use, the same instance afterwards.
    VoiceHotkeyMonitor &hotkey();

    const VoiceState &state() const { return m_state; }
    void setState(const VoiceState &state);
    bool releaseRequestedDuringSetup() const { return m_releaseRequestedDuringSetup; }

    // The hotkey's action: starts a dictation (unless there is no transcriber
    // or a pane must be chosen first), or stops the one under way (always).
    void toggle();
    QCoro::Task<> start();
    QCoro::Task<> stop();
    // Leaving the project: the hotkey stops and a dictation under way is dropped.
    void end();

signals:
    void stateChanged();
    void releaseRequestedDuringSetupChanged();

private:
    void setReleaseRequestedDuringSetup(bool value);
    QCoro::Task<> finish();

    Host m_host;
    std::shared_ptr<VoiceTranscribing> m_transcriber;
    HotkeyFactory m_hotkeyFactory;
    std::unique_ptr<VoiceHotkeyMonitor> m_hotkey;
    VoiceState m_state = VoiceState::idle();
    bool m_releaseRequestedDuringSetup = false;
    // Changed by every start and by leaving, so a dictation that was
    // abandoned never writes its outcome.
    quint64 m_dictation = 0;
    bool m_ended = false;
};

} // namespace nerim
