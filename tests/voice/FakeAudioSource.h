#pragma once

#include "voice/AudioCaptureSource.h"
#include "voice/VoiceTranscriberError.h"

#include <QByteArray>
#include <QtEndian>
#include <cmath>
#include <memory>
#include <optional>
#include <ostream>

// Readable QString values in failure messages.
inline void PrintTo(const QString &text, std::ostream *os) { *os << '"' << text.toStdString() << '"'; }

namespace nerim::test {

// Stands in for the microphone. The test keeps the probe and "speaks" into it
// with push(); a block pushed while the source is closed is lost, as sound is
// when no microphone is open.
class FakeAudioSource : public AudioCaptureSource {
public:
    struct Probe {
        bool open = false;
        int starts = 0;
        int stops = 0;
        std::optional<QString> failStartWith; // start throws audioEngineFailed with this text
        QByteArray deliverOnStart;              // handed over inside start(), as a fast device might
        DataHandler handler;

        // Delivers a block when the source is open; returns whether it was taken.
        bool push(const QByteArray &pcm)
        {
            if (!open || !handler)
                return false;
            const DataHandler h = handler;
            h(pcm);
            return true;
        }
    };

    explicit FakeAudioSource(std::shared_ptr<Probe> probe) : m_probe(std::move(probe)) {}
    ~FakeAudioSource() override { stop(); }

    void start(DataHandler onData) override
    {
        ++m_probe->starts;
        if (m_probe->failStartWith)
            throw VoiceTranscriberError::audioEngineFailed(*m_probe->failStartWith);
        m_probe->open = true;
        m_probe->handler = std::move(onData);
        if (!m_probe->deliverOnStart.isEmpty())
            m_probe->push(m_probe->deliverOnStart);
    }

    void stop() override
    {
        if (!m_probe->open)
            return;
        m_probe->open = false;
        m_probe->handler = nullptr;
        ++m_probe->stops;
    }

private:
    std::shared_ptr<Probe> m_probe;
};

// `ms` milliseconds of a 440 Hz tone as 16 kHz mono 16-bit samples.
inline QByteArray tonePcm(int ms)
{
    const int samples = 16 * ms;
    QByteArray pcm(samples * 2, Qt::Uninitialized);
    for (int i = 0; i < samples; ++i) {
        const auto value = qint16(8000 * std::sin(2 * M_PI * 440 * i / 16000.0));
        qToLittleEndian(value, pcm.data() + 2 * i);
    }
    return pcm;
}

} // namespace nerim::test
