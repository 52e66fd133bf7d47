#include "foundation/MarkerPayload.h"

namespace nerim::DeployMarkers {

namespace {

bool isQuote(QChar c)
{
    return c == QLatin1Char('`') || c == QLatin1Char('"') || c == QLatin1Char('\'');
}

bool isLeadingNoise(QChar c)
{
    return isQuote(c) || c == QLatin1Char('>') || c == QLatin1Char(' ');
}

} // namespace

std::optional<QString> markerPayload(const QString &marker, const QString &line, TrailingQuotes trailingQuotes)
{
    qsizetype start = 0;
    while (start < line.size() && isLeadingNoise(line.at(start)))
        ++start;
    const QStringView rest = QStringView(line).mid(start);
    if (rest.size() < marker.size() || rest.first(marker.size()).toString().toLower() != marker.toLower())
        return std::nullopt;

    qsizetype begin = marker.size();
    while (begin < rest.size() && (rest.at(begin) == QLatin1Char(':') || rest.at(begin).isSpace()))
        ++begin;
    qsizetype end = rest.size();
    while (end > begin && isQuote(rest.at(end - 1))) {
        if (trailingQuotes == TrailingQuotes::keepBalanced) {
            const QChar quote = rest.at(end - 1);
            if (rest.sliced(begin, end - begin).count(quote) % 2 == 0)
                break;
        }
        --end;
    }
    return rest.sliced(begin, end - begin).toString().trimmed();
}

} // namespace nerim::DeployMarkers
