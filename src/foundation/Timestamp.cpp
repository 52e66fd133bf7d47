#include "foundation/Timestamp.h"

#include <QRegularExpression>
#include <chrono>
#include <cmath>
#include <ctime>

namespace nerim {

namespace {

// Days since 1970-01-01 for a proleptic Gregorian date (Howard Hinnant's algorithm).
qint64 daysFromCivil(qint64 y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<qint64>(doe) - 719468;
}

void civilFromDays(qint64 z, qint64 &y, unsigned &m, unsigned &d)
{
    z += 719468;
    const qint64 era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<qint64>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

bool isLeap(qint64 y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned daysInMonth(qint64 y, unsigned m)
{
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : days[m - 1];
}

} // namespace

Timestamp Timestamp::now()
{
    using namespace std::chrono;
    const auto micros = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    return fromUnixSeconds(static_cast<double>(micros) / 1e6);
}

QString Timestamp::toIso8601() const
{
    const qint64 unix = static_cast<qint64>(std::floor(toUnixSeconds()));
    qint64 days = unix / 86400;
    qint64 secs = unix % 86400;
    if (secs < 0) {
        secs += 86400;
        days -= 1;
    }
    qint64 y;
    unsigned m, d;
    civilFromDays(days, y, m, d);
    return QString::asprintf("%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<long long>(y), m, d,
                             static_cast<long long>(secs / 3600), static_cast<long long>((secs / 60) % 60),
                             static_cast<long long>(secs % 60));
}

std::optional<Timestamp> Timestamp::fromIso8601(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral(
        "^(\\d{4})-(\\d{2})-(\\d{2})T(\\d{2}):(\\d{2}):(\\d{2})(\\.\\d+)?(Z|[+-]\\d{2}:?\\d{2})\\z"));
    const auto match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const qint64 y = match.captured(1).toLongLong();
    const unsigned mo = match.captured(2).toUInt();
    const unsigned d = match.captured(3).toUInt();
    const int h = match.captured(4).toInt();
    const int mi = match.captured(5).toInt();
    const int s = match.captured(6).toInt();
    if (mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, mo) || h > 23 || mi > 59 || s > 59)
        return std::nullopt;
    double fraction = 0;
    if (!match.captured(7).isEmpty())
        fraction = (QStringLiteral("0") + match.captured(7)).toDouble();
    int offsetSeconds = 0;
    const QString zone = match.captured(8);
    if (zone != QLatin1String("Z")) {
        QString digits = zone.mid(1);
        digits.remove(QLatin1Char(':'));
        const int oh = digits.left(2).toInt();
        const int om = digits.mid(2, 2).toInt();
        if (oh > 23 || om > 59)
            return std::nullopt;
        offsetSeconds = (oh * 3600 + om * 60) * (zone.startsWith(QLatin1Char('-')) ? -1 : 1);
    }
    const qint64 unix = daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s - offsetSeconds;
    // Only moments whose UTC year has four digits: toIso8601 writes nothing
    // else in a form this parser takes back.
    static const qint64 firstSecond = daysFromCivil(1, 1, 1) * 86400;
    static const qint64 endSecond = daysFromCivil(10000, 1, 1) * 86400;
    if (unix < firstSecond || unix >= endSecond)
        return std::nullopt;
    return fromUnixSeconds(static_cast<double>(unix) + fraction);
}

} // namespace nerim
