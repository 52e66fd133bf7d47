#include "FakeAudioSource.h"
#include "LoopbackHttpServer.h"
#include "TestAsync.h"
#include "TestEnvironment.h"
#include "WavTestFile.h"
#include "voice/VoiceTranscriberError.h"
#include "voice/VoiceTranscribing.h"
#include "voice/WavRecorder.h"
#include "voice/WhisperTranscriber.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::test;
using Kind = VoiceTranscriberError::Kind;

namespace {

const QString testKey = QStringLiteral("gsk_secret_7f3a9c");

// The parts of a multipart/form-data body by field name: headers and content.
struct FormPart {
    QByteArray headers;
    QByteArray content;
};

QHash<QByteArray, FormPart> formParts(const QByteArray &contentType, const QByteArray &body)
{
    QHash<QByteArray, FormPart> parts;
    const int at = contentType.indexOf("boundary=");
    if (at < 0)
        return parts;
    const QByteArray delimiter = "--" + contentType.mid(at + 9);
    qsizetype pos = body.indexOf(delimiter);
    while (pos >= 0) {
        pos += delimiter.size();
        if (body.mid(pos, 2) == "--")
            break;
        pos += 2; // CRLF after the delimiter
        const qsizetype headerEnd = body.indexOf("\r\n\r\n", pos);
        const qsizetype next = body.indexOf("\r\n" + delimiter, headerEnd);
        if (headerEnd < 0 || next < 0)
            break;
        FormPart part{body.mid(pos, headerEnd - pos), body.mid(headerEnd + 4, next - headerEnd - 4)};
        const auto name = QRegularExpression(QStringLiteral("name=\"([^\"]+)\""))
                              .match(QString::fromUtf8(part.headers))
                              .captured(1)
                              .toUtf8();
        parts.insert(name, part);
        pos = next + 2;
    }
    return parts;
}

class WhisperTranscriberTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qputenv(WhisperTranscriber::baseEnvironmentVariable, server.baseUrl().toString().toUtf8());
        qunsetenv(WhisperTranscriber::modelEnvironmentVariable);
    }

    std::unique_ptr<WhisperTranscriber> makeTranscriber(double timeoutSeconds = WhisperTranscriber::requestTimeoutSeconds)
    {
        auto options = WhisperTranscriber::Options::fromEnvironment();
        options.timeoutSeconds = timeoutSeconds;
        auto probe = mic;
        return std::make_unique<WhisperTranscriber>(
            testKey, [probe] { return std::make_unique<FakeAudioSource>(probe); }, options);
    }

    // Records `pcm` and returns what the transcript's await gave: the text or the error.
    std::variant<QString, VoiceTranscriberError> dictate(WhisperTranscriber &transcriber, const QByteArray &pcm)
    {
        await(transcriber.start());
        mic->push(pcm);
        try {
            return await(transcriber.stopRecordingAndAwaitTranscript());
        } catch (const VoiceTranscriberError &error) {
            return error;
        }
    }

    LoopbackHttpServer server;
    std::shared_ptr<FakeAudioSource::Probe> mic = std::make_shared<FakeAudioSource::Probe>();
};

} // namespace

TEST_F(WhisperTranscriberTest, SendsAPreparedRecordingAsAWavUploadAndReturnsTheText)
{
    server.enqueue(LoopbackHttpServer::Reply::json(200, R"({"text":" Make the header blue.","x_groq":{"id":"r1"}})"));
    auto transcriber = makeTranscriber();

    // A recording made elsewhere, fed through the source the way the microphone would deliver it.
    const QByteArray samples = tonePcm(700);
    const auto prepared = readWav(makeWav(samples));
    ASSERT_TRUE(prepared);
    EXPECT_FALSE(mic->open) << "nothing records before start";
    EXPECT_FALSE(mic->push(prepared->samples.left(3200)));

    await(transcriber->start());
    EXPECT_TRUE(mic->open);
    EXPECT_TRUE(transcriber->isRecording());
    for (qsizetype at = 0; at < prepared->samples.size(); at += 1000)
        mic->push(prepared->samples.mid(at, 1000));
    const QString text = await(transcriber->stopRecordingAndAwaitTranscript());

    EXPECT_EQ(text, QStringLiteral(" Make the header blue."));
    EXPECT_FALSE(mic->open) << "the microphone closes when the recording stops";
    EXPECT_FALSE(mic->push(tonePcm(100)));

    ASSERT_EQ(server.requestCount(), 1);
    const auto request = server.requests().at(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path(), "/openai/v1/audio/transcriptions");
    EXPECT_EQ(request.header("authorization"), "Bearer " + testKey.toUtf8());
    ASSERT_TRUE(request.header("content-type").startsWith("multipart/form-data; boundary="));

    const auto parts = formParts(request.header("content-type"), request.body);
    ASSERT_TRUE(parts.contains("model"));
    EXPECT_EQ(parts.value("model").content, "whisper-large-v3-turbo");
    ASSERT_TRUE(parts.contains("file"));
    EXPECT_TRUE(parts.value("file").headers.contains("filename=\"recording.wav\""));
    EXPECT_TRUE(parts.value("file").headers.contains("Content-Type: audio/wav"));

    const auto uploaded = readWav(parts.value("file").content);
    ASSERT_TRUE(uploaded) << "the upload is a well-formed WAV file";
    EXPECT_EQ(uploaded->format, 1);
    EXPECT_EQ(uploaded->channels, 1);
    EXPECT_EQ(uploaded->sampleRate, 16000);
    EXPECT_EQ(uploaded->byteRate, 32000);
    EXPECT_EQ(uploaded->blockAlign, 2);
    EXPECT_EQ(uploaded->bitsPerSample, 16);
    EXPECT_EQ(uploaded->riffSize, quint32(parts.value("file").content.size() - 8));
    EXPECT_EQ(uploaded->samples, samples) << "exactly what was recorded between start and stop";

    // Nothing of the recording reached the disk.
    const auto written = QDir(tempRoot()).entryList(QStringList{QStringLiteral("*.wav")}, QDir::Files);
    EXPECT_TRUE(written.isEmpty());
}

TEST_F(WhisperTranscriberTest, FailedRequestsBecomeSentencesWithoutTheKey)
{
    struct Case {
        const char *name;
        LoopbackHttpServer::Reply reply;
        QString sentence;
    };
    const Case cases[] = {
        {"unauthorized", LoopbackHttpServer::Reply::json(401, R"({"error":{"message":"Invalid API Key"}})"),
         QStringLiteral("The transcription service didn't accept the Groq key (HTTP 401).")},
        {"rate limited", LoopbackHttpServer::Reply::json(429, R"({"error":{"message":"Rate limit reached"}})"),
         QStringLiteral("The transcription service is busy (HTTP 429). Try again in a moment.")},
        {"server error", LoopbackHttpServer::Reply::text(503, "upstream unavailable"),
         QStringLiteral("The transcription service answered HTTP 503.")},
        {"no text field", LoopbackHttpServer::Reply::json(200, R"({"x_groq":{"id":"r2"}})"),
         QStringLiteral("The transcription service's answer held no text.")},
        {"text not a string", LoopbackHttpServer::Reply::json(200, R"({"text":42})"),
         QStringLiteral("The transcription service's answer held no text.")},
        {"not JSON", LoopbackHttpServer::Reply::text(200, "Make the header blue."),
         QStringLiteral("The transcription service's answer held no text.")},
        {"silence", LoopbackHttpServer::Reply::hang(), QStringLiteral("The transcription service didn't answer in time.")},
    };
    LogCapture log;
    auto transcriber = makeTranscriber(0.3);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        server.enqueue(c.reply);
        const auto outcome = dictate(*transcriber, tonePcm(300));
        ASSERT_TRUE(std::holds_alternative<VoiceTranscriberError>(outcome));
        const auto &error = std::get<VoiceTranscriberError>(outcome);
        EXPECT_EQ(error.kind(), Kind::recognitionTaskFailed);
        EXPECT_EQ(error.underlying(), c.sentence);
        EXPECT_FALSE(error.description().contains(testKey));
        server.closeAllConnections();
    }
    EXPECT_EQ(server.requestCount(), int(std::size(cases)));
    EXPECT_FALSE(log.lines().isEmpty()) << "each failure leaves a log line";
    for (const QString &line : log.lines())
        EXPECT_FALSE(line.contains(testKey)) << line.toStdString();
}

TEST_F(WhisperTranscriberTest, AServiceThatCannotBeReachedIsAFailureToo)
{
    qputenv(WhisperTranscriber::baseEnvironmentVariable, LoopbackHttpServer::refusedUrl().toString().toUtf8());
    auto transcriber = makeTranscriber();
    const auto outcome = dictate(*transcriber, tonePcm(300));
    ASSERT_TRUE(std::holds_alternative<VoiceTranscriberError>(outcome));
    EXPECT_EQ(std::get<VoiceTranscriberError>(outcome).underlying(),
              QStringLiteral("Couldn't reach the transcription service: Could not connect to the server."));
}

TEST_F(WhisperTranscriberTest, ARecordingWithoutSoundIsNoSpeechAndSendsNothing)
{
    auto transcriber = makeTranscriber();
    for (const QByteArray &pcm : {QByteArray(), tonePcm(40)}) {
        const auto outcome = dictate(*transcriber, pcm);
        ASSERT_TRUE(std::holds_alternative<VoiceTranscriberError>(outcome));
        EXPECT_EQ(std::get<VoiceTranscriberError>(outcome).kind(), Kind::noSpeechDetected);
    }
    EXPECT_EQ(server.requestCount(), 0);
    EXPECT_FALSE(mic->open);
}

TEST_F(WhisperTranscriberTest, CancelClosesTheMicrophoneAndNothingIsTranscribed)
{
    auto transcriber = makeTranscriber();

    // Cancelled while recording: the audio is dropped and a later stop has nothing.
    await(transcriber->start());
    mic->push(tonePcm(500));
    transcriber->cancel();
    EXPECT_FALSE(mic->open);
    EXPECT_FALSE(transcriber->isRecording());
    try {
        await(transcriber->stopRecordingAndAwaitTranscript());
        ADD_FAILURE() << "a stop after cancel has no transcript";
    } catch (const VoiceTranscriberError &error) {
        EXPECT_EQ(error.kind(), Kind::cancelled);
    }
    EXPECT_EQ(server.requestCount(), 0);

    // Cancelled while the service works on it: the answer that still arrives is dropped.
    server.enqueue(LoopbackHttpServer::Reply::json(200, R"({"text":"late words"})").delayed(300));
    await(transcriber->start());
    mic->push(tonePcm(500));
    auto pending = transcriber->stopRecordingAndAwaitTranscript();
    ASSERT_TRUE(server.waitForRequests(1));
    transcriber->cancel();
    try {
        const QString text = await(std::move(pending));
        ADD_FAILURE() << "got " << text.toStdString();
    } catch (const VoiceTranscriberError &error) {
        EXPECT_EQ(error.kind(), Kind::cancelled);
    }
}

TEST_F(WhisperTranscriberTest, AMicrophoneThatCannotOpenFailsTheStart)
{
    mic->failStartWith = QStringLiteral("no microphone was found.");
    auto transcriber = makeTranscriber();
    try {
        await(transcriber->start());
        ADD_FAILURE() << "start should fail";
    } catch (const VoiceTranscriberError &error) {
        EXPECT_EQ(error, VoiceTranscriberError::audioEngineFailed(QStringLiteral("no microphone was found.")));
    }
    EXPECT_FALSE(transcriber->isRecording());

    // The next try opens the microphone again.
    mic->failStartWith.reset();
    server.enqueue(LoopbackHttpServer::Reply::json(200, R"({"text":"second try"})"));
    EXPECT_EQ(std::get<QString>(dictate(*transcriber, tonePcm(300))), QStringLiteral("second try"));
    EXPECT_EQ(mic->starts, 2);
}

TEST(WavRecorder, KeepsAtMostSixtySecondsAndClosesTheSourceAtTheCap)
{
    auto mic = std::make_shared<FakeAudioSource::Probe>();
    WavRecorder recorder(std::make_unique<FakeAudioSource>(mic));
    QSignalSpy capped(&recorder, &WavRecorder::capReached);

    recorder.start();
    const QByteArray second = tonePcm(1000);
    for (int i = 0; i < 59; ++i)
        mic->push(second);
    EXPECT_TRUE(mic->open);
    EXPECT_EQ(capped.count(), 0);
    mic->push(second + second); // runs past the 60th second
    EXPECT_FALSE(mic->open);
    EXPECT_EQ(capped.count(), 1);
    EXPECT_FALSE(recorder.isCapturing());

    const auto wav = readWav(recorder.stop());
    ASSERT_TRUE(wav);
    EXPECT_EQ(wav->samples.size(), WavRecorder::capBytes);
    EXPECT_EQ(wav->samples.left(second.size()), second);
    EXPECT_EQ(recorder.recordedBytes(), 0) << "the recorder keeps nothing after handing it over";

    // A device that hands over everything at once hits the cap inside start().
    mic->deliverOnStart = QByteArray(WavRecorder::capBytes + 4000, '\1');
    recorder.start();
    EXPECT_FALSE(mic->open);
    EXPECT_EQ(readWav(recorder.stop())->samples.size(), WavRecorder::capBytes);
}

TEST(VoiceTranscriberFactory, WhisperOnlyWithAUsableGroqKey)
{
    EXPECT_EQ(makeVoiceTranscriber(QString()), nullptr);
    EXPECT_EQ(makeVoiceTranscriber(QStringLiteral("  \n")), nullptr);
    EXPECT_EQ(makeVoiceTranscriber(QStringLiteral("REPLACE_WITH_GROQ_API_KEY")), nullptr);
    const auto made = makeVoiceTranscriber(QStringLiteral(" gsk_abc\n"));
    EXPECT_NE(dynamic_cast<WhisperTranscriber *>(made.get()), nullptr);

    // Without one, the user reads where the key goes.
    EXPECT_EQ(voiceInputUnavailableMessage(),
              QStringLiteral("Voice input needs a Groq key in ~/.local/share/Nerim/api-keys.json."));
}

TEST(VoiceTranscriberFactory, TheKeyFileDecides)
{
    ASSERT_TRUE(writeFile(homeDir() + QStringLiteral("/.local/share/Nerim/api-keys.json"),
                          R"({"anthropic":"sk-ant-x","groq":"gsk_from_file"})"));
    EXPECT_NE(makeVoiceTranscriber(), nullptr);
}

TEST(WhisperTranscriberOptions, GroqServiceUnlessTheEnvironmentSaysOtherwise)
{
    qunsetenv(WhisperTranscriber::baseEnvironmentVariable);
    qunsetenv(WhisperTranscriber::modelEnvironmentVariable);
    auto options = WhisperTranscriber::Options::fromEnvironment();
    EXPECT_EQ(options.endpoint, QUrl(QStringLiteral("https://api.groq.com/openai/v1/audio/transcriptions")));
    EXPECT_EQ(options.model, QStringLiteral("whisper-large-v3-turbo"));
    EXPECT_EQ(options.timeoutSeconds, 30.0);

    qputenv(WhisperTranscriber::baseEnvironmentVariable, "http://127.0.0.1:8123");
    qputenv(WhisperTranscriber::modelEnvironmentVariable, "whisper-large-v3");
    options = WhisperTranscriber::Options::fromEnvironment();
    EXPECT_EQ(options.endpoint, QUrl(QStringLiteral("http://127.0.0.1:8123/openai/v1/audio/transcriptions")));
    EXPECT_EQ(options.model, QStringLiteral("whisper-large-v3"));
}
