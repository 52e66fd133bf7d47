#include "voice/WhisperTranscriber.h"

#include "credentials/HttpClient.h"
#include "foundation/Log.h"
#include "persistence/IntentProcessorConstants.h"
#include "voice/VoiceBackendLibrary.h"
#include "voice/VoiceTranscriberError.h"
#include "voice/WavRecorder.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QUuid>

namespace nerim {

namespace {

QString environmentText(const char *name)
{
    return qEnvironmentVariable(name).trimmed();
}

VoiceTranscriberError failure(const QString &sentence, const QString &logDetail)
{
    logLine(QStringLiteral("[Nerim voice] transcription failed: %1").arg(logDetail));
    return VoiceTranscriberError::recognitionTaskFailed(sentence);
}

VoiceTranscriberError httpFailure(int status)
{
    const QString detail = QStringLiteral("HTTP %1").arg(status);
    if (status == 401 || status == 403)
        return failure(QStringLiteral("The transcription service didn't accept the Groq key (HTTP %1).").arg(status),
                       detail);
    if (status == 429)
        return failure(QStringLiteral("The transcription service is busy (HTTP 429). Try again in a moment."), detail);
    return failure(QStringLiteral("The transcription service answered HTTP %1.").arg(status), detail);
}

} // namespace

WhisperTranscriber::Options WhisperTranscriber::Options::fromEnvironment()
{
    Options options;
    options.endpoint = IntentProcessorConstants::groqTranscriptionURL();
    const QString base = environmentText(baseEnvironmentVariable);
    if (!base.isEmpty()) {
        const QUrl origin(base);
        options.endpoint.setScheme(origin.scheme());
        options.endpoint.setHost(origin.host());
        options.endpoint.setPort(origin.port());
    }
    const QString model = environmentText(modelEnvironmentVariable);
    options.model = model.isEmpty() ? defaultModel : model;
    return options;
}

WhisperTranscriber::WhisperTranscriber(QString apiKey, SourceFactory makeSource, Options options, QObject *parent)
    : QObject(parent), m_apiKey(std::move(apiKey)), m_makeSource(std::move(makeSource)), m_options(std::move(options))
{
    if (!m_makeSource)
        m_makeSource = [] { return VoiceBackendLibrary::createMicrophone(); };
}

WhisperTranscriber::~WhisperTranscriber() = default;

bool WhisperTranscriber::isRecording() const { return m_recorder && m_recorder->isCapturing(); }

QCoro::Task<void> WhisperTranscriber::start()
{
    ++m_generation;
    if (m_recorder)
        m_recorder->discard();
    try {
        // The default source loads the capture library first, which can fail too.
        m_recorder = std::make_unique<WavRecorder>(m_makeSource());
        m_recorder->start();
    } catch (const VoiceTranscriberError &error) {
        m_recorder.reset();
        logLine(QStringLiteral("[Nerim voice] recording did not start: %1").arg(error.underlying()));
        throw;
    }
    co_return;
}

QCoro::Task<QString> WhisperTranscriber::stopRecordingAndAwaitTranscript()
{
    if (!m_recorder)
        throw VoiceTranscriberError::cancelled();
    const QByteArray wav = m_recorder->stop();
    m_recorder.reset();

    const qint64 samplesBytes = wav.size() - 44;
    const qint64 minimumBytes = qint64(WavRecorder::sampleRate) * WavRecorder::bytesPerSample *
                                minimumSpeechMilliseconds / 1000;
    if (samplesBytes < minimumBytes)
        throw VoiceTranscriberError::noSpeechDetected();

    const QByteArray boundary = "nerim-" + QUuid::createUuid().toByteArray(QUuid::Id128);
    HttpRequest request;
    request.url = m_options.endpoint;
    request.setRawHeader("Authorization", "Bearer " + m_apiKey.toUtf8());
    request.setRawHeader("Content-Type", "multipart/form-data; boundary=" + boundary);
    request.setRawHeader("Accept", "application/json");
    request.method = "POST";
    request.body = multipartBody(boundary, m_options.model, wav);
    request.timeoutSeconds = m_options.timeoutSeconds;

    const quint64 generation = m_generation;
    QPointer<WhisperTranscriber> self(this);
    QCoro::Task<HttpClient::Result> sending = HttpClient::send(std::move(request));
    const HttpClient::Result result = co_await std::move(sending);
    if (!self || self->m_generation != generation)
        throw VoiceTranscriberError::cancelled();

    if (const auto *error = std::get_if<HttpClient::TransportError>(&result)) {
        if (error->kind == HttpClient::TransportError::Kind::timedOut)
            throw failure(QStringLiteral("The transcription service didn't answer in time."), error->text());
        throw failure(QStringLiteral("Couldn't reach the transcription service: %1").arg(error->description),
                      error->text());
    }
    const auto &response = std::get<HttpClient::Response>(result);
    if (!response.isSuccess())
        throw httpFailure(response.status);

    const QJsonDocument document = QJsonDocument::fromJson(response.body);
    const QJsonValue text = document.object().value(QStringLiteral("text"));
    if (!text.isString())
        throw failure(QStringLiteral("The transcription service's answer held no text."),
                      QStringLiteral("HTTP %1 without a \"text\" field").arg(response.status));
    co_return text.toString();
}

void WhisperTranscriber::cancel()
{
    ++m_generation;
    if (m_recorder) {
        m_recorder->discard();
        m_recorder.reset();
    }
}

QByteArray WhisperTranscriber::multipartBody(const QByteArray &boundary, const QString &model, const QByteArray &wav)
{
    QByteArray body;
    body.reserve(wav.size() + 512);
    body += "--" + boundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"model\"\r\n\r\n";
    body += model.toUtf8() + "\r\n";
    body += "--" + boundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"file\"; filename=\"recording.wav\"\r\n";
    body += "Content-Type: audio/wav\r\n\r\n";
    body += wav;
    body += "\r\n--" + boundary + "--\r\n";
    return body;
}

} // namespace nerim
