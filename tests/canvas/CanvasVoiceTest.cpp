// Dictation on the canvas: the real Whisper transcriber from a recorded WAV
// through a loopback server into the prompt, and a scripted transcriber for the
// states, the failures, the hotkey and leaving the project mid-dictation.
#include "CanvasFixture.h"
#include "LoopbackHttpServer.h"
#include "foundation/UuidText.h"
#include "voice/WavRecorder.h"
#include "voice/WavTestFile.h"
#include "voice/WhisperTranscriber.h"

#include <QtEndian>
#include <cmath>
#include <stdexcept>

using namespace nerim;
using namespace nerim::test;
using Reply = LoopbackHttpServer::Reply;
using Cue = SoundCueService::Cue;

namespace {

const QString groqKey = QStringLiteral("gsk_canvas_secret_41c9");

// `ms` milliseconds of a 440 Hz tone as 16 kHz mono 16-bit samples.
QByteArray toneSamples(int ms)
{
    QByteArray pcm(16 * ms * 2, Qt::Uninitialized);
    for (int i = 0; i < 16 * ms; ++i)
        qToLittleEndian(qint16(8000 * std::sin(2 * M_PI * 440 * i / 16000.0)), pcm.data() + 2 * i);
    return pcm;
}

// The microphone replaced by a recording: the samples of a WAV file arrive as
// soon as the source opens.
struct RecordedMicrophone {
    QByteArray samples;
    bool open = false;
    int opened = 0;
};

class RecordedWavSource : public AudioCaptureSource {
public:
    explicit RecordedWavSource(std::shared_ptr<RecordedMicrophone> mic) : m_mic(std::move(mic)) {}
    ~RecordedWavSource() override { stop(); }
    void start(DataHandler onData) override
    {
        m_mic->open = true;
        ++m_mic->opened;
        onData(m_mic->samples);
    }
    void stop() override { m_mic->open = false; }

private:
    std::shared_ptr<RecordedMicrophone> m_mic;
};

// A transcriber whose start and stop can be held, fail, or give a set text.
class ScriptedTranscriber : public VoiceTranscribing {
public:
    QCoro::Task<> start() override
    {
        ++starts;
        while (holdStart) {
            QCoro::Task<> waiting = sleepMs(2);
            co_await std::move(waiting);
        }
        if (startError)
            std::rethrow_exception(std::exchange(startError, nullptr));
        recording = true;
    }

    QCoro::Task<QString> stopRecordingAndAwaitTranscript() override
    {
        ++stops;
        recording = false;
        while (holdStop) {
            QCoro::Task<> waiting = sleepMs(2);
            co_await std::move(waiting);
        }
        if (stopError)
            std::rethrow_exception(std::exchange(stopError, nullptr));
        co_return QString(transcript); // a copy: QCoro moves a returned lvalue out
    }

    void cancel() override
    {
        ++cancels;
        recording = false;
    }

    QString transcript = QStringLiteral("add a footer");
    std::exception_ptr startError;
    std::exception_ptr stopError;
    bool holdStart = false;
    bool holdStop = false;
    bool recording = false;
    int starts = 0;
    int stops = 0;
    int cancels = 0;
};

class CanvasVoiceTest : public CanvasTest {
protected:
    // A canvas whose transcriber is the given one.
    ProjectCanvasViewModel &openWith(std::shared_ptr<VoiceTranscribing> transcriber)
    {
        chosenTranscriber = std::move(transcriber);
        return open();
    }

    // The scripted transcriber, chosen through the canvas's services.
    ProjectCanvasViewModel &openScripted() { return openWith(scripted); }

    CanvasServices services()
    {
        CanvasServices s = CanvasTest::services();
        s.transcriberFactory = [this] { return chosenTranscriber; };
        s.hotkeyFactory = [this](std::function<void()> onDoubleTap) {
            auto monitor = std::make_unique<VoiceHotkeyMonitor>(std::move(onDoubleTap));
            hotkey = monitor.get();
            return monitor;
        };
        return s;
    }

    ProjectCanvasViewModel &open()
    {
        canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("project-id"), project,
                                                          QStringLiteral("Project"), provider, nullptr, services());
        await(canvas->bootstrap());
        return *canvas;
    }

    // The real Whisper transcriber over the recorded microphone and the loopback server.
    std::shared_ptr<WhisperTranscriber> whisper()
    {
        WhisperTranscriber::Options options;
        options.endpoint = server.url(QStringLiteral("/openai/v1/audio/transcriptions"));
        options.model = WhisperTranscriber::defaultModel;
        options.timeoutSeconds = 10;
        auto mic = microphone;
        return std::make_shared<WhisperTranscriber>(
            groqKey, [mic] { return std::make_unique<RecordedWavSource>(mic); }, options);
    }

    QString draftOnDisk()
    {
        waitUntil([&] { return !canvas->hasPendingDraftSave(); });
        SerialFileWriter::shared().flush();
        return QString::fromUtf8(readFile(project + QStringLiteral("/.nerim/draft.txt")));
    }

    LoopbackHttpServer server;
    std::shared_ptr<RecordedMicrophone> microphone = std::make_shared<RecordedMicrophone>();
    std::shared_ptr<ScriptedTranscriber> scripted = std::make_shared<ScriptedTranscriber>();
    std::shared_ptr<VoiceTranscribing> chosenTranscriber;
    VoiceHotkeyMonitor *hotkey = nullptr;
};

} // namespace

TEST_F(CanvasVoiceTest, ARecordedPhraseTravelsThroughWhisperIntoThePromptAndWaitsThere)
{
    const QByteArray samples = toneSamples(600);
    const std::optional<WavContents> recording = readWav(makeWav(samples));
    ASSERT_TRUE(recording);
    microphone->samples = recording->samples;
    server.enqueue(Reply::json(200, R"({"text":"  add a footer with our opening hours \n"})"));
    openWith(whisper());
    canvas->setInputPrompt(QStringLiteral("Make the header blue"));
    QStringList states;
    QObject::connect(canvas.get(), &ProjectCanvasViewModel::voiceStateChanged, canvas.get(),
                     [&] { states.append(canvas->voiceState().debugDescription()); });

    await(canvas->startVoiceInput());
    EXPECT_EQ(canvas->voiceState(), VoiceState::recording());
    EXPECT_TRUE(microphone->open);
    await(canvas->stopVoiceInput());

    EXPECT_FALSE(microphone->open);
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("Make the header blue add a footer with our opening hours"));
    EXPECT_EQ(states, (QStringList{QStringLiteral("requestingPermissions"), QStringLiteral("recording"),
                                   QStringLiteral("transcribing"), QStringLiteral("idle")}));
    EXPECT_EQ(feedback.cues.played, (QList<Cue>{Cue::voiceRecordingStarted, Cue::voiceSubmitted}));
    EXPECT_EQ(draftOnDisk(), canvas->inputPrompt());
    // Reviewed by the user, never sent by itself.
    EXPECT_TRUE(provider->spawnCalls().isEmpty());
    EXPECT_TRUE(canvas->panes().isEmpty());

    ASSERT_EQ(server.requestCount(), 1);
    const auto request = server.requests().at(0);
    EXPECT_EQ(request.path(), QByteArray("/openai/v1/audio/transcriptions"));
    EXPECT_EQ(request.header("authorization"), "Bearer " + groqKey.toUtf8());
    EXPECT_TRUE(request.body.contains(WavRecorder::wavFile(samples)));

    // A refused key ends in a sentence that does not hold the key.
    server.enqueue(Reply::json(401, R"({"error":{"message":"Invalid API Key"}})"));
    await(canvas->startVoiceInput());
    await(canvas->stopVoiceInput());
    EXPECT_EQ(canvas->voiceState().kind(), VoiceState::Kind::error);
    EXPECT_TRUE(canvas->voiceState().message().startsWith(QStringLiteral("Transcription failed: ")));
    EXPECT_FALSE(canvas->voiceState().message().contains(groqKey));
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("Make the header blue add a footer with our opening hours"));
}

// Two clicks before the microphone is ready: the recording stops as soon as it
// has begun, without the recording cue, and the transcript is used as usual.
TEST_F(CanvasVoiceTest, AStopDuringSetUpFinishesOnceRecordingHasBegun)
{
    openScripted();
    scripted->holdStart = true;
    QCoro::Task<> starting = canvas->startVoiceInput();
    EXPECT_EQ(canvas->voiceState(), VoiceState::requestingPermissions());
    await(canvas->stopVoiceInput());
    EXPECT_TRUE(canvas->releaseRequestedDuringSetup());
    await(canvas->startVoiceInput()); // a second start meanwhile changes nothing
    EXPECT_EQ(scripted->starts, 1);

    scripted->holdStart = false;
    await(std::move(starting));
    EXPECT_EQ(scripted->stops, 1);
    EXPECT_FALSE(canvas->releaseRequestedDuringSetup());
    EXPECT_EQ(canvas->voiceState(), VoiceState::idle());
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("add a footer"));
    EXPECT_EQ(feedback.cues.played, QList<Cue>{Cue::voiceSubmitted});
}

TEST_F(CanvasVoiceTest, EachFailureEndsInTheStateThePromptBarShows)
{
    openScripted();
    const std::pair<std::exception_ptr, VoiceState> startFailures[] = {
        {std::make_exception_ptr(VoiceTranscriberError::audioEngineFailed(QStringLiteral("No input device."))),
         VoiceState::error(QStringLiteral("Microphone couldn't start: No input device."))},
        {std::make_exception_ptr(VoiceTranscriberError::microphonePermissionDenied()),
         VoiceState::permissionDenied(VoiceState::DeniedAuthorization::microphone)},
        {std::make_exception_ptr(VoiceTranscriberError::noSpeechDetected()),
         VoiceState::error(QStringLiteral("Voice input failed: No speech was recorded."))},
        {std::make_exception_ptr(std::runtime_error("device busy")),
         VoiceState::error(QStringLiteral("Voice input failed: device busy"))},
    };
    // Each start begins from the state the previous failure left.
    for (const auto &[failure, expected] : startFailures) {
        scripted->startError = failure;
        await(canvas->startVoiceInput());
        EXPECT_EQ(canvas->voiceState(), expected) << expected.debugDescription().toStdString();
    }
    EXPECT_EQ(scripted->starts, 4);

    const std::pair<std::exception_ptr, VoiceState> transcriptFailures[] = {
        {std::make_exception_ptr(VoiceTranscriberError::recognitionTaskFailed(QStringLiteral("The service is down."))),
         VoiceState::error(QStringLiteral("Transcription failed: The service is down."))},
        {std::make_exception_ptr(VoiceTranscriberError::noSpeechDetected()),
         VoiceState::error(QStringLiteral("Didn't catch that. Try again."))},
        {std::make_exception_ptr(VoiceTranscriberError::cancelled()), VoiceState::idle()},
        {std::make_exception_ptr(std::runtime_error("connection lost")),
         VoiceState::error(QStringLiteral("Transcription failed: connection lost"))},
    };
    for (const auto &[failure, expected] : transcriptFailures) {
        await(canvas->startVoiceInput());
        ASSERT_EQ(canvas->voiceState(), VoiceState::recording());
        scripted->stopError = failure;
        await(canvas->stopVoiceInput());
        EXPECT_EQ(canvas->voiceState(), expected) << expected.debugDescription().toStdString();
    }
    EXPECT_TRUE(canvas->inputPrompt().isEmpty());
    EXPECT_FALSE(feedback.cues.played.contains(Cue::voiceSubmitted));
}

// The double tap starts only when it is clear where a prompt would go, but a
// dictation under way can always be stopped with it.
TEST_F(CanvasVoiceTest, TheDoubleTapNeedsAChosenPaneToStartButAlwaysStops)
{
    openScripted();
    canvas->voiceHotkey().start();
    ASSERT_EQ(hotkey, &canvas->voiceHotkey());

    hotkey->doubleTapped();
    ASSERT_TRUE(waitUntil([&] { return canvas->voiceState() == VoiceState::recording(); }));

    // Two panes and none chosen appear while recording.
    for (const QString &name : {QStringLiteral("Repair"), QStringLiteral("Deploy")})
        canvas->appendPane(new AgentPaneState(newUuid(), QStringLiteral("nerim.") + name.toLower(), name, 0, true,
                                              AgentRole::unspecified, QString()));
    ASSERT_TRUE(canvas->needsPaneSelection());
    hotkey->doubleTapped();
    ASSERT_TRUE(waitUntil([&] { return canvas->voiceState() == VoiceState::idle(); }));
    EXPECT_FALSE(scripted->recording);
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("add a footer"));

    // Now the double tap does not start; the microphone button still does.
    hotkey->doubleTapped();
    spinEventLoop();
    EXPECT_EQ(scripted->starts, 1);
    EXPECT_EQ(canvas->voiceState(), VoiceState::idle());
    await(canvas->startVoiceInput());
    EXPECT_EQ(canvas->voiceState(), VoiceState::recording());
    await(canvas->stopVoiceInput());
    EXPECT_EQ(canvas->voiceState(), VoiceState::idle()) << canvas->voiceState().debugDescription().toStdString();
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("add a footer add a footer"));

    await(canvas->teardown());
    EXPECT_FALSE(hotkey->isStarted());
}

TEST_F(CanvasVoiceTest, ATranscriptGoesWhereTheUserIsWriting)
{
    openScripted();
    canvas->plan().setIsVisible(true);
    canvas->setInputPrompt(QStringLiteral("Use a serif font "));
    scripted->transcript = QStringLiteral("for the menu");
    await(canvas->startVoiceInput());
    await(canvas->stopVoiceInput());
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("Use a serif font for the menu"));
    EXPECT_TRUE(canvas->plan().draftVision().isEmpty());

    // With the Plans draft focused, the draft takes it; the prompt's draft file is not touched.
    EXPECT_EQ(draftOnDisk(), QStringLiteral("Use a serif font for the menu"));
    canvas->plan().setDraftFieldFocused(true);
    canvas->plan().setDraftVision(QStringLiteral("A bakery site"));
    scripted->transcript = QStringLiteral("with online orders");
    await(canvas->startVoiceInput());
    await(canvas->stopVoiceInput());
    EXPECT_EQ(canvas->plan().draftVision(), QStringLiteral("A bakery site with online orders"));
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("Use a serif font for the menu"));
    EXPECT_FALSE(canvas->hasPendingDraftSave());

    // Only spaces: the cue plays, nothing changes.
    feedback.cues.played.clear();
    feedback.clock.advance(std::chrono::seconds(1)); // past the repeat throttle
    scripted->transcript = QStringLiteral("   \n ");
    await(canvas->startVoiceInput());
    await(canvas->stopVoiceInput());
    EXPECT_EQ(feedback.cues.played, (QList<Cue>{Cue::voiceRecordingStarted, Cue::voiceSubmitted}));
    EXPECT_EQ(canvas->plan().draftVision(), QStringLiteral("A bakery site with online orders"));
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("Use a serif font for the menu"));
    EXPECT_EQ(canvas->voiceState(), VoiceState::idle());
}

// Leaving the project mid-dictation closes the microphone and drops the
// dictation, whatever stage it had reached.
TEST_F(CanvasVoiceTest, LeavingTheProjectClosesTheMicrophoneAndInsertsNothing)
{
    microphone->samples = toneSamples(400);
    openWith(whisper());
    await(canvas->startVoiceInput());
    ASSERT_TRUE(microphone->open);
    await(canvas->teardown());
    EXPECT_FALSE(microphone->open);
    EXPECT_EQ(canvas->voiceState(), VoiceState::idle());
    // A start after leaving opens nothing.
    await(canvas->startVoiceInput());
    EXPECT_EQ(microphone->opened, 1);
    EXPECT_EQ(server.requestCount(), 0);
}

TEST_F(CanvasVoiceTest, LeavingWhileTheTranscriptIsAwaitedDropsIt)
{
    openScripted();
    await(canvas->startVoiceInput());
    scripted->holdStop = true;
    QCoro::Task<> stopping = canvas->stopVoiceInput();
    EXPECT_EQ(canvas->voiceState(), VoiceState::transcribing());
    await(canvas->teardown());
    EXPECT_EQ(scripted->cancels, 1);
    scripted->holdStop = false;
    await(std::move(stopping));
    EXPECT_TRUE(canvas->inputPrompt().isEmpty());
    EXPECT_EQ(canvas->voiceState(), VoiceState::idle());
    EXPECT_EQ(feedback.cues.played, QList<Cue>{Cue::voiceRecordingStarted});
}

TEST_F(CanvasVoiceTest, LeavingWhileTheMicrophoneOpensClosesItOnceOpen)
{
    openScripted();
    scripted->holdStart = true;
    QCoro::Task<> starting = canvas->startVoiceInput();
    await(canvas->teardown());
    EXPECT_EQ(canvas->voiceState(), VoiceState::idle());
    scripted->holdStart = false;
    await(std::move(starting));
    EXPECT_FALSE(scripted->recording);
    EXPECT_EQ(scripted->stops, 0);
    EXPECT_EQ(canvas->voiceState(), VoiceState::idle());
    EXPECT_TRUE(feedback.cues.played.isEmpty());
}
