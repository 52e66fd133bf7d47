#include "foundation/UuidText.h"

#include "foundation/Text.h"

#include <atomic>
#include <cstring>

namespace nerim {

namespace {

constexpr char upperHex[] = "0123456789ABCDEF";

} // namespace

void writeUuidText(const QUuid &id, char *out)
{
    const unsigned char b[16] = {uchar(id.data1 >> 24), uchar(id.data1 >> 16), uchar(id.data1 >> 8), uchar(id.data1),
                                 uchar(id.data2 >> 8),  uchar(id.data2),        uchar(id.data3 >> 8), uchar(id.data3),
                                 id.data4[0],           id.data4[1],            id.data4[2],          id.data4[3],
                                 id.data4[4],           id.data4[5],            id.data4[6],          id.data4[7]};
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            *out++ = '-';
        *out++ = upperHex[b[i] >> 4];
        *out++ = upperHex[b[i] & 0xF];
    }
}

QString uuidText(const QUuid &id)
{
    char text[36];
    writeUuidText(id, text);
    return QString::fromLatin1(text, 36);
}

std::optional<QUuid> parseUuid(QStringView text)
{
    if (text.size() != 36)
        return std::nullopt;
    unsigned char bytes[16];
    int byte = 0;
    for (qsizetype i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != u'-')
                return std::nullopt;
            ++i;
            continue;
        }
        const int high = text::hexDigitValue(text[i].unicode());
        const int low = text::hexDigitValue(text[i + 1].unicode());
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes[byte++] = static_cast<unsigned char>(high << 4 | low);
        i += 2;
    }
    const auto b = bytes;
    return QUuid(uint(b[0]) << 24 | uint(b[1]) << 16 | uint(b[2]) << 8 | b[3], ushort(b[4] << 8 | b[5]),
                 ushort(b[6] << 8 | b[7]), b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
}

QUuid newUuid() { return QUuid::createUuid(); }

QUuid newSequentialUuid()
{
    static const QUuid base = QUuid::createUuid();
    static std::atomic<quint64> counter{0};
    // An odd multiplier is a bijection modulo 2^48, so the low bits never repeat
    // within 2^48 ids, and consecutive ids do not look alike.
    const quint64 mixed = (counter.fetch_add(1, std::memory_order_relaxed) * 0x9E3779B97F4A7C15ULL) & 0xFFFFFFFFFFFFULL;
    QUuid id = base;
    for (int i = 0; i < 6; ++i)
        id.data4[2 + i] ^= static_cast<uchar>(mixed >> (8 * (5 - i)));
    return id;
}

} // namespace nerim
