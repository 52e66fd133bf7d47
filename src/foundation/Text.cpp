#include "foundation/Text.h"

#include <memory>
#include <unicode/brkiter.h>
#include <unicode/unistr.h>

namespace nerim::text {

namespace {

// Calls `visit(boundary)` for every grapheme boundary after the start, in order,
// until it returns false. Boundaries are UTF-16 offsets into `text`.
template <typename Visit>
void forEachBoundary(const QString &text, Visit visit)
{
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !it) {
        // ICU data missing: fall back to code points, which is never worse than UTF-16 units.
        qsizetype i = 0;
        while (i < text.size()) {
            i += (text.at(i).isHighSurrogate() && i + 1 < text.size()) ? 2 : 1;
            if (!visit(i))
                return;
        }
        return;
    }
    const icu::UnicodeString ustr(false, reinterpret_cast<const UChar *>(text.utf16()), static_cast<int32_t>(text.size()));
    it->setText(ustr);
    for (int32_t b = it->next(); b != icu::BreakIterator::DONE; b = it->next()) {
        if (!visit(static_cast<qsizetype>(b)))
            return;
    }
}

} // namespace

qsizetype characterCount(const QString &text)
{
    qsizetype count = 0;
    forEachBoundary(text, [&](qsizetype) {
        ++count;
        return true;
    });
    return count;
}

QString characterPrefix(const QString &text, qsizetype count)
{
    if (count <= 0)
        return QString();
    qsizetype seen = 0;
    qsizetype end = text.size();
    forEachBoundary(text, [&](qsizetype boundary) {
        if (++seen == count) {
            end = boundary;
            return false;
        }
        return true;
    });
    return text.left(end);
}

QString trimSpacesAndTabs(const QString &text)
{
    qsizetype start = 0;
    qsizetype end = text.size();
    auto isBlank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (start < end && isBlank(text.at(start)))
        ++start;
    while (end > start && isBlank(text.at(end - 1)))
        --end;
    return text.mid(start, end - start);
}

} // namespace nerim::text
