#include "panes-store/OutputLines.h"

#include <QAtomicInteger>
#include <QtAlgorithms>
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nerim {

namespace {

// What a line's text holds, so that the usual texts are read the quick way.
enum TextFlag : quint8 {
    asciiOnly = 1,      // every byte below 0x80
    loneSurrogates = 2, // a surrogate's three-byte form somewhere
};

// A line as stored: 32 bytes. Plain data, so that storage can be allocated
// without touching it (pages not yet written stay out of memory).
struct Record {
    alignas(4) unsigned char id[16];
    quint32 block;  // the text block holding the text
    quint32 offset; // where the text starts in it
    quint32 size;   // bytes
    quint8 kind;
    quint8 flags;
};
static_assert(sizeof(Record) == 32);
static_assert(sizeof(QUuid) == 16 && std::is_trivially_copyable_v<QUuid>);

struct TextBlock {
    char *data;
    quint32 capacity;
};

// An array whose elements never move: segment k holds (64 << k) elements,
// allocated when first needed and not touched before. One thread appends;
// others may read any element that was written before they were handed
// their copy of the list.
template <typename T>
class StableArray {
    static_assert(std::is_trivially_copyable_v<T>);
    static constexpr int firstShift = 6;
    static constexpr int segmentCount = 48;

public:
    StableArray() = default;
    StableArray(const StableArray &) = delete;
    StableArray &operator=(const StableArray &) = delete;
    ~StableArray()
    {
        for (T *segment : m_segments)
            std::free(segment);
    }

    const T &operator[](qsizetype i) const
    {
        const auto [k, at] = locate(i);
        return m_segments[k][at];
    }
    T &operator[](qsizetype i)
    {
        const auto [k, at] = locate(i);
        return m_segments[k][at];
    }
    // The element at `i`, its segment allocated when needed.
    T &slot(qsizetype i)
    {
        const auto [k, at] = locate(i);
        if (!m_segments[k]) {
            m_segments[k] = static_cast<T *>(std::malloc(sizeof(T) * (qsizetype(1) << (k + firstShift))));
            if (!m_segments[k])
                throw std::bad_alloc();
        }
        return m_segments[k][at];
    }

private:
    static std::pair<int, qsizetype> locate(qsizetype i)
    {
        const quint64 s = quint64(i >> firstShift) + 1;
        const int k = int(std::bit_width(s)) - 1;
        return {k, i - ((qsizetype(1) << (k + firstShift)) - (qsizetype(1) << firstShift))};
    }

    std::array<T *, segmentCount> m_segments{};
};

constexpr quint32 firstBlockBytes = 4 * 1024;
constexpr quint32 largestBlockBytes = 1024 * 1024;

std::atomic<quint64> lastStorageId{0};

// How many code units `text` starts with that are below 0x80: eight at a
// time where the processor has SSE2, else four.
qsizetype asciiPrefix(const char16_t *begin, const char16_t *end)
{
    const char16_t *p = begin;
#if defined(__SSE2__)
    const __m128i high = _mm_set1_epi16(qint16(0xFF80));
    while (end - p >= 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const int mask = _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, high), _mm_setzero_si128()));
        if (mask != 0xFFFF)
            return (p - begin) + qCountTrailingZeroBits(quint32(~mask & 0xFFFF)) / 2;
        p += 8;
    }
#endif
    while (end - p >= 4) {
        quint64 v;
        std::memcpy(&v, p, sizeof v);
        if (v & 0xFF80FF80FF80FF80ULL)
            break;
        p += 4;
    }
    while (p != end && *p < 0x80)
        ++p;
    return p - begin;
}

// Writes the `count` code units at `p`, all below 0x80, as bytes.
void narrowAscii(const char16_t *p, qsizetype count, char *out)
{
    const char16_t *const end = p + count;
#if defined(__SSE2__)
    while (end - p >= 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 8));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_packus_epi16(a, b));
        p += 16;
        out += 16;
    }
#endif
    while (p != end)
        *out++ = char(*p++);
}

// The size of `text` as held, and its flags; `ascii` is how many code units
// it starts with that are below 0x80 (see `asciiPrefix`).
qsizetype heldSize(QStringView text, qsizetype ascii, quint8 &flags)
{
    if (ascii == text.size()) {
        flags = asciiOnly;
        return ascii;
    }
    const char16_t *p = text.utf16() + ascii;
    const char16_t *const end = text.utf16() + text.size();
    qsizetype size = ascii;
    bool lone = false;
    for (; p != end; ++p) {
        const char16_t u = *p;
        if (u < 0x80) {
            ++size;
            continue;
        }
        if (u < 0x800) {
            size += 2;
        } else if (u < 0xD800 || u > 0xDFFF) {
            size += 3;
        } else if (u <= 0xDBFF && p + 1 != end && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            size += 4;
            ++p;
        } else {
            size += 3;
            lone = true;
        }
    }
    flags = quint8(lone ? loneSurrogates : 0);
    return size;
}

void encodeHeld(QStringView text, qsizetype ascii, char *out)
{
    narrowAscii(text.utf16(), ascii, out);
    out += ascii;
    const char16_t *p = text.utf16() + ascii;
    const char16_t *const end = text.utf16() + text.size();
    while (p != end) {
        const char16_t u = *p++;
        if (u < 0x80) {
            *out++ = char(u);
        } else if (u < 0x800) {
            *out++ = char(0xC0 | (u >> 6));
            *out++ = char(0x80 | (u & 0x3F));
        } else if (u >= 0xD800 && u <= 0xDBFF && p != end && *p >= 0xDC00 && *p <= 0xDFFF) {
            const char32_t c = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(*p++) - 0xDC00);
            *out++ = char(0xF0 | (c >> 18));
            *out++ = char(0x80 | ((c >> 12) & 0x3F));
            *out++ = char(0x80 | ((c >> 6) & 0x3F));
            *out++ = char(0x80 | (c & 0x3F));
        } else {
            // Any other unit, a lone surrogate included, in three bytes.
            *out++ = char(0xE0 | (u >> 12));
            *out++ = char(0x80 | ((u >> 6) & 0x3F));
            *out++ = char(0x80 | (u & 0x3F));
        }
    }
}

quint8 flagsOf(QByteArrayView bytes)
{
    bool ascii = true;
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const auto *const end = p + bytes.size();
    for (; p != end; ++p) {
        if (*p < 0x80)
            continue;
        ascii = false;
        if (*p == 0xED && p + 1 != end && p[1] >= 0xA0)
            return loneSurrogates;
    }
    return ascii ? asciiOnly : 0;
}

// Decodes the held form, lone surrogates included (the bytes are well formed:
// this class made or checked them).
QString decodeHeld(QByteArrayView bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    char16_t *out = reinterpret_cast<char16_t *>(text.data());
    char16_t *const begin = out;
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const auto *const end = p + bytes.size();
    while (p != end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            *out++ = c;
            ++p;
        } else if (c < 0xE0) {
            *out++ = char16_t(((c & 0x1F) << 6) | (p[1] & 0x3F));
            p += 2;
        } else if (c < 0xF0) {
            *out++ = char16_t(((c & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
            p += 3;
        } else {
            const char32_t code = (char32_t(c & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) |
                                  (char32_t(p[2] & 0x3F) << 6) | char32_t(p[3] & 0x3F);
            *out++ = QChar::highSurrogate(code);
            *out++ = QChar::lowSurrogate(code);
            p += 4;
        }
    }
    text.truncate(out - begin);
    return text;
}

QString decodeWithFlags(QByteArrayView bytes, quint8 flags)
{
    if (bytes.isEmpty())
        return QString();
    if (flags & asciiOnly)
        return QString::fromLatin1(bytes);
    // Qt's decoder drops a byte-order mark that a text starts with.
    if (!(flags & loneSurrogates) && !bytes.startsWith("\xEF\xBB\xBF"))
        return QString::fromUtf8(bytes);
    return decodeHeld(bytes);
}

qsizetype utf16LengthOf(QByteArrayView bytes)
{
    qsizetype length = 0;
    for (const char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        length += (c & 0xC0) != 0x80;
        length += c >= 0xF0;
    }
    return length;
}

} // namespace

struct OutputLines::Storage {
    Storage() : id(lastStorageId.fetch_add(1, std::memory_order_relaxed) + 1) {}
    ~Storage()
    {
        for (qsizetype b = 0; b < blockCount; ++b)
            std::free(blocks[b].data);
    }

    const Record &record(qsizetype i) const { return records[i]; }
    QByteArrayView bytes(const Record &r) const
    {
        return r.size ? QByteArrayView(blocks[r.block].data + r.offset, r.size) : QByteArrayView();
    }

    // Room for `size` bytes of a new line's text, in one block.
    char *reserve(qsizetype size, quint32 &block, quint32 &offset)
    {
        if (size == 0) {
            block = 0;
            offset = 0;
            return nullptr;
        }
        if (blockCount == 0 || blocks[blockCount - 1].capacity - used < size) {
            nominal = blockCount == 0 ? firstBlockBytes : std::min(nominal * 2, largestBlockBytes);
            const qsizetype capacity = std::max<qsizetype>(nominal, size);
            if (capacity > std::numeric_limits<quint32>::max())
                throw std::bad_alloc();
            char *data = static_cast<char *>(std::malloc(size_t(capacity)));
            if (!data)
                throw std::bad_alloc();
            blocks.slot(blockCount) = TextBlock{data, quint32(capacity)};
            ++blockCount;
            used = 0;
        }
        block = quint32(blockCount - 1);
        offset = quint32(used);
        used += size;
        return blocks[block].data + offset;
    }

    Record &newRecord(qsizetype index, const QUuid &id, OutputLine::Kind kind)
    {
        Record &r = records.slot(index);
        std::memcpy(r.id, &id, sizeof r.id);
        r.kind = quint8(kind);
        return r;
    }

    StableArray<Record> records;
    StableArray<TextBlock> blocks;
    qsizetype blockCount = 0;
    qsizetype used = 0;     // bytes used in the last block
    quint32 nominal = 0;    // the size the last block was made for
    // Lines written; a list whose size is this one holds all of them.
    std::atomic<qsizetype> count{0};
    const quint64 id;
};

OutputLines::OutputLines(const QList<OutputLine> &lines)
{
    for (const OutputLine &line : lines)
        append(line);
}

OutputLines::OutputLines(std::initializer_list<OutputLine> lines)
{
    for (const OutputLine &line : lines)
        append(line);
}

OutputLine OutputLines::at(qsizetype i) const
{
    Q_ASSERT(i >= 0 && i < m_size);
    const Record &r = m_storage->record(i);
    QUuid id;
    std::memcpy(&id, r.id, sizeof id);
    return OutputLine{id, OutputLine::Kind(r.kind), decodeWithFlags(m_storage->bytes(r), r.flags)};
}

QUuid OutputLines::id(qsizetype i) const
{
    Q_ASSERT(i >= 0 && i < m_size);
    QUuid id;
    std::memcpy(&id, m_storage->record(i).id, sizeof id);
    return id;
}

OutputLine::Kind OutputLines::kind(qsizetype i) const
{
    Q_ASSERT(i >= 0 && i < m_size);
    return OutputLine::Kind(m_storage->record(i).kind);
}

QString OutputLines::text(qsizetype i) const
{
    Q_ASSERT(i >= 0 && i < m_size);
    const Record &r = m_storage->record(i);
    return decodeWithFlags(m_storage->bytes(r), r.flags);
}

QByteArrayView OutputLines::utf8(qsizetype i) const
{
    Q_ASSERT(i >= 0 && i < m_size);
    return m_storage->bytes(m_storage->record(i));
}

qsizetype OutputLines::textLength(qsizetype i) const
{
    Q_ASSERT(i >= 0 && i < m_size);
    const Record &r = m_storage->record(i);
    return (r.flags & asciiOnly) ? qsizetype(r.size) : utf16LengthOf(m_storage->bytes(r));
}

void OutputLines::prepareAppend()
{
    if (!m_storage) {
        m_storage = std::make_shared<Storage>();
        return;
    }
    if (m_storage->count.load(std::memory_order_relaxed) == m_size)
        return;
    // Another copy added lines after ours: ours go to storage of their own.
    OutputLines own;
    for (qsizetype i = 0; i < m_size; ++i)
        own.appendLineOf(*this, i);
    *this = std::move(own);
    if (!m_storage)
        m_storage = std::make_shared<Storage>();
}

void OutputLines::append(const OutputLine &line) { append(line.kind, line.text, line.id); }

void OutputLines::append(OutputLine::Kind kind, QStringView text, const QUuid &id)
{
    prepareAppend();
    quint8 flags = 0;
    const qsizetype ascii = asciiPrefix(text.utf16(), text.utf16() + text.size());
    const qsizetype size = heldSize(text, ascii, flags);
    if (size > std::numeric_limits<quint32>::max())
        throw std::bad_alloc();
    quint32 block = 0;
    quint32 offset = 0;
    if (char *out = m_storage->reserve(size, block, offset))
        encodeHeld(text, ascii, out);
    Record &r = m_storage->newRecord(m_size, id, kind);
    r.block = block;
    r.offset = offset;
    r.size = quint32(size);
    r.flags = size == 0 ? quint8(asciiOnly) : flags;
    ++m_size;
    m_storage->count.store(m_size, std::memory_order_release);
}

void OutputLines::appendUtf8(OutputLine::Kind kind, QByteArrayView text, const QUuid &id)
{
    prepareAppend();
    if (text.size() > std::numeric_limits<quint32>::max())
        throw std::bad_alloc();
    quint32 block = 0;
    quint32 offset = 0;
    if (char *out = m_storage->reserve(text.size(), block, offset))
        std::memcpy(out, text.data(), size_t(text.size()));
    Record &r = m_storage->newRecord(m_size, id, kind);
    r.block = block;
    r.offset = offset;
    r.size = quint32(text.size());
    r.flags = flagsOf(text);
    ++m_size;
    m_storage->count.store(m_size, std::memory_order_release);
}

void OutputLines::appendLineOf(const OutputLines &other, qsizetype i)
{
    Q_ASSERT(i >= 0 && i < other.m_size);
    if (&other == this) {
        const OutputLines source = other; // the storage stays alive; its line stays put
        appendLineOf(source, i);
        return;
    }
    const Record &from = other.m_storage->record(i);
    const QByteArrayView bytes = other.m_storage->bytes(from);
    prepareAppend();
    quint32 block = 0;
    quint32 offset = 0;
    if (char *out = m_storage->reserve(bytes.size(), block, offset))
        std::memcpy(out, bytes.data(), size_t(bytes.size()));
    Record &r = m_storage->records.slot(m_size);
    r = from;
    r.block = block;
    r.offset = offset;
    ++m_size;
    m_storage->count.store(m_size, std::memory_order_release);
}

void OutputLines::clear()
{
    m_storage.reset();
    m_size = 0;
}

OutputLines OutputLines::mid(qsizetype pos, qsizetype length) const
{
    pos = std::clamp<qsizetype>(pos, 0, m_size);
    const qsizetype end = length < 0 ? m_size : std::min(m_size, pos + length);
    OutputLines part;
    for (qsizetype i = pos; i < end; ++i)
        part.appendLineOf(*this, i);
    return part;
}

qsizetype OutputLines::indexOf(const OutputLine &line) const
{
    for (qsizetype i = 0; i < m_size; ++i)
        if (id(i) == line.id && kind(i) == line.kind && text(i) == line.text)
            return i;
    return -1;
}

QList<OutputLine> OutputLines::toList() const
{
    QList<OutputLine> lines;
    lines.reserve(m_size);
    for (qsizetype i = 0; i < m_size; ++i)
        lines.append(at(i));
    return lines;
}

quint64 OutputLines::storageId() const { return m_storage ? m_storage->id : 0; }

bool operator==(const OutputLines &a, const OutputLines &b)
{
    if (a.m_size != b.m_size)
        return false;
    if (a.m_storage == b.m_storage)
        return true;
    for (qsizetype i = 0; i < a.m_size; ++i) {
        const Record &x = a.m_storage->record(i);
        const Record &y = b.m_storage->record(i);
        if (std::memcmp(x.id, y.id, sizeof x.id) != 0 || x.kind != y.kind ||
            a.m_storage->bytes(x) != b.m_storage->bytes(y))
            return false;
    }
    return true;
}

bool operator==(const OutputLines &a, const QList<OutputLine> &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        const OutputLine &line = b.at(i);
        if (a.id(i) != line.id || a.kind(i) != line.kind || a.text(i) != line.text)
            return false;
    }
    return true;
}

namespace transcriptText {

QByteArray encode(QStringView text)
{
    quint8 flags = 0;
    const qsizetype ascii = asciiPrefix(text.utf16(), text.utf16() + text.size());
    QByteArray bytes(heldSize(text, ascii, flags), Qt::Uninitialized);
    encodeHeld(text, ascii, bytes.data());
    return bytes;
}

QString decode(QByteArrayView bytes) { return decodeWithFlags(bytes, flagsOf(bytes)); }

qsizetype utf16Length(QByteArrayView bytes) { return utf16LengthOf(bytes); }

} // namespace transcriptText

} // namespace nerim
