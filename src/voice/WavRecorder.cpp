#include "voice/WavRecorder.h"

#include "foundation/Log.h"

#include <QtEndian>

namespace nerim {

WavRecorder::WavRecorder(std::unique_ptr<AudioCaptureSource> source, QObject *parent)
    : QObject(parent), m_source(std::move(source))
{
    // The cap in time closes a source that stalls or delivers slowly; the cap
    // in bytes keeps the recording itself at 60 seconds whatever the source does.
    m_capTimer.setSingleShot(true);
    m_capTimer.setTimerType(Qt::CoarseTimer);
    m_capTimer.setInterval(recordingCap);
    connect(&m_capTimer, &QTimer::timeout, this, [this] {
        if (!m_capturing)
            return;
        closeSource();
        logLine(QStringLiteral("[Nerim voice] recording reached its 60 s limit"));
        emit capReached();
    });
}

WavRecorder::~WavRecorder() { closeSource(); }

void WavRecorder::start()
{
    discard();
    m_capturing = true;
    try {
        m_source->start([this](const QByteArray &pcm) { append(pcm); });
    } catch (...) {
        m_capturing = false;
        throw;
    }
    // A source may deliver everything it has at once and reach the cap inside start().
    if (m_capturing)
        m_capTimer.start();
}

void WavRecorder::append(const QByteArray &pcm)
{
    if (!m_capturing)
        return;
    const qint64 room = capBytes - m_pcm.size();
    m_pcm.append(pcm.left(room));
    if (m_pcm.size() >= capBytes) {
        closeSource();
        logLine(QStringLiteral("[Nerim voice] recording reached its 60 s limit"));
        emit capReached();
    }
}

void WavRecorder::closeSource()
{
    m_capTimer.stop();
    if (!m_capturing)
        return;
    m_capturing = false;
    m_source->stop();
}

QByteArray WavRecorder::stop()
{
    closeSource();
    // An odd byte would be half a sample.
    if (m_pcm.size() % bytesPerSample)
        m_pcm.chop(1);
    const QByteArray wav = wavFile(m_pcm);
    m_pcm.clear();
    m_pcm.squeeze();
    return wav;
}

void WavRecorder::discard()
{
    closeSource();
    m_pcm.clear();
    m_pcm.squeeze();
}

QByteArray WavRecorder::wavFile(const QByteArray &pcm, int rate)
{
    const quint32 dataSize = quint32(pcm.size());
    QByteArray wav;
    wav.reserve(44 + pcm.size());
    auto u32 = [&wav](quint32 v) {
        char b[4];
        qToLittleEndian(v, b);
        wav.append(b, 4);
    };
    auto u16 = [&wav](quint16 v) {
        char b[2];
        qToLittleEndian(v, b);
        wav.append(b, 2);
    };
    wav.append("RIFF", 4);
    u32(36 + dataSize);
    wav.append("WAVE", 4);
    wav.append("fmt ", 4);
    u32(16);                          // size of the format chunk
    u16(1);                           // PCM
    u16(1);                           // mono
    u32(quint32(rate));               // samples per second
    u32(quint32(rate) * bytesPerSample); // bytes per second
    u16(bytesPerSample);              // bytes per frame
    u16(16);                          // bits per sample
    wav.append("data", 4);
    u32(dataSize);
    wav.append(pcm);
    return wav;
}

} // namespace nerim
