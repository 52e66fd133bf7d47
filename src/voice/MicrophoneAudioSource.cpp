#include "voice/MicrophoneAudioSource.h"

#include "foundation/Log.h"
#include "voice/VoiceTranscriberError.h"
#include "voice/WavRecorder.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSource>
#include <QMediaDevices>

namespace nerim {

namespace {

QString describe(QAudio::Error error)
{
    switch (error) {
    case QAudio::NoError: return QStringLiteral("no error");
    case QAudio::OpenError: return QStringLiteral("the microphone could not be opened.");
    case QAudio::IOError: return QStringLiteral("reading from the microphone failed.");
    case QAudio::UnderrunError: return QStringLiteral("the microphone stopped delivering sound.");
    case QAudio::FatalError: return QStringLiteral("the sound system is not available.");
    }
    return QStringLiteral("unknown error");
}

} // namespace

MicrophoneAudioSource::MicrophoneAudioSource() = default;

MicrophoneAudioSource::~MicrophoneAudioSource() { stop(); }

void MicrophoneAudioSource::start(DataHandler onData)
{
    stop();
    const QAudioDevice device = QMediaDevices::defaultAudioInput();
    if (device.isNull())
        throw VoiceTranscriberError::audioEngineFailed(QStringLiteral("no microphone was found."));

    QAudioFormat format;
    format.setSampleRate(WavRecorder::sampleRate);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Int16);
    if (!device.isFormatSupported(format))
        throw VoiceTranscriberError::audioEngineFailed(
            QStringLiteral("the microphone \"%1\" can't record 16 kHz mono sound.").arg(device.description()));

    m_onData = std::move(onData);
    m_source = std::make_unique<QAudioSource>(device, format);
    m_device = m_source->start();
    if (!m_device || m_source->error() != QAudio::NoError) {
        const QString reason = describe(m_source->error());
        m_source.reset();
        m_onData = nullptr;
        throw VoiceTranscriberError::audioEngineFailed(reason);
    }
    QObject::connect(m_device, &QIODevice::readyRead, m_device, [this] { readAvailable(); });
    QObject::connect(m_source.get(), &QAudioSource::stateChanged, m_source.get(), [this](QAudio::State state) {
        if (state == QAudio::StoppedState && m_source && m_source->error() != QAudio::NoError)
            logLine(QStringLiteral("[Nerim voice] microphone stopped: %1").arg(describe(m_source->error())));
    });
    logLine(QStringLiteral("[Nerim voice] recording from \"%1\"").arg(device.description()));
}

void MicrophoneAudioSource::readAvailable()
{
    if (!m_device || !m_onData)
        return;
    const QByteArray block = m_device->readAll();
    // A copy: the handler may stop the source, which drops m_onData.
    const DataHandler handler = m_onData;
    if (!block.isEmpty())
        handler(block);
}

void MicrophoneAudioSource::stop()
{
    if (!m_source)
        return;
    // Taken out first, so that a handler which stops the source again finds it stopped.
    const std::unique_ptr<QAudioSource> source = std::move(m_source);
    const DataHandler handler = std::move(m_onData);
    m_onData = nullptr;
    QByteArray rest;
    if (m_device) {
        QObject::disconnect(m_device, nullptr, nullptr, nullptr);
        rest = m_device->readAll();
        m_device = nullptr;
    }
    QObject::disconnect(source.get(), nullptr, nullptr, nullptr);
    source->stop();
    // Whatever the device had buffered up to now still belongs to the recording.
    if (!rest.isEmpty() && handler)
        handler(rest);
}

} // namespace nerim
