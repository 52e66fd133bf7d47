#pragma once

#include <QByteArray>
#include <QtEndian>
#include <optional>

namespace nerim::test {

// What a RIFF/WAVE file says about itself, read chunk by chunk.
struct WavContents {
    int format = 0;   // 1: integer PCM
    int channels = 0;
    int sampleRate = 0;
    int byteRate = 0;
    int blockAlign = 0;
    int bitsPerSample = 0;
    quint32 riffSize = 0;
    QByteArray samples;
};

inline std::optional<WavContents> readWav(const QByteArray &wav)
{
    if (wav.size() < 12 || !wav.startsWith("RIFF") || wav.mid(8, 4) != "WAVE")
        return std::nullopt;
    WavContents out;
    out.riffSize = qFromLittleEndian<quint32>(wav.constData() + 4);
    bool haveFormat = false;
    qsizetype at = 12;
    while (at + 8 <= wav.size()) {
        const QByteArray id = wav.mid(at, 4);
        const quint32 size = qFromLittleEndian<quint32>(wav.constData() + at + 4);
        const qsizetype body = at + 8;
        if (body + qsizetype(size) > wav.size())
            return std::nullopt;
        if (id == "fmt " && size >= 16) {
            out.format = qFromLittleEndian<quint16>(wav.constData() + body);
            out.channels = qFromLittleEndian<quint16>(wav.constData() + body + 2);
            out.sampleRate = int(qFromLittleEndian<quint32>(wav.constData() + body + 4));
            out.byteRate = int(qFromLittleEndian<quint32>(wav.constData() + body + 8));
            out.blockAlign = qFromLittleEndian<quint16>(wav.constData() + body + 12);
            out.bitsPerSample = qFromLittleEndian<quint16>(wav.constData() + body + 14);
            haveFormat = true;
        } else if (id == "data") {
            if (!haveFormat)
                return std::nullopt;
            out.samples = wav.mid(body, size);
            return out;
        }
        at = body + size + (size & 1);
    }
    return std::nullopt;
}

// A prepared recording as another program would write it: 16 kHz mono 16-bit
// PCM with a LIST chunk before the samples.
inline QByteArray makeWav(const QByteArray &samples)
{
    QByteArray wav;
    auto u32 = [&wav](quint32 v) { char b[4]; qToLittleEndian(v, b); wav.append(b, 4); };
    auto u16 = [&wav](quint16 v) { char b[2]; qToLittleEndian(v, b); wav.append(b, 2); };
    const QByteArray list = QByteArrayLiteral("INFOISFT\x06\0\0\0test\0\0");
    wav.append("RIFF");
    u32(quint32(4 + 24 + 8 + list.size() + 8 + samples.size()));
    wav.append("WAVE");
    wav.append("fmt ");
    u32(16); u16(1); u16(1); u32(16000); u32(32000); u16(2); u16(16);
    wav.append("LIST");
    u32(quint32(list.size()));
    wav.append(list);
    wav.append("data");
    u32(quint32(samples.size()));
    wav.append(samples);
    return wav;
}

} // namespace nerim::test
