#include "foundation/Timestamp.h"

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
    // yyyy-MM-ddTHH:mm:ss, an optional fraction of a second, then "Z" or an
    // offset (+HH:mm or +HHmm), with nothing before or after: read by hand,
    // in ASCII digits only (state files are read at start, before anything
    // else needs a regular expression).
    const QStringView t(text);
    qsizetype i = 0;
    const auto isDigit = [&](qsizetype at) { return at < t.size() && t[at] >= u'0' && t[at] <= u'9'; };
    const auto number = [&](int count, int &value) {
        value = 0;
        for (int k = 0; k < count; ++k, ++i) {
            if (!isDigit(i))
                return false;
            value = value * 10 + (t[i].unicode() - u'0');
        }
        return true;
    };
    const auto literal = [&](char16_t c) {
        if (i >= t.size() || t[i] != c)
            return false;
        ++i;
        return true;
    };
    int year = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!number(4, year) || !literal(u'-') || !number(2, mo) || !literal(u'-') || !number(2, d) || !literal(u'T')
        || !number(2, h) || !literal(u':') || !number(2, mi) || !literal(u':') || !number(2, s))
        return std::nullopt;
    const qint64 y = year;
    double fraction = 0;
    if (literal(u'.')) {
        const qsizetype first = i;
        while (isDigit(i))
            ++i;
        if (i == first)
            return std::nullopt;
        fraction = (QStringLiteral("0.") + t.sliced(first, i - first).toString()).toDouble();
    }
    int offsetSeconds = 0;
    if (!literal(u'Z')) {
        const bool east = literal(u'+');
        if (!east && !literal(u'-'))
            return std::nullopt;
        int oh = 0, om = 0;
        if (!number(2, oh))
            return std::nullopt;
        literal(u':');
        if (!number(2, om) || oh > 23 || om > 59)
            return std::nullopt;
        offsetSeconds = (oh * 3600 + om * 60) * (east ? 1 : -1);
    }
    if (i != t.size() || mo < 1 || mo > 12 || d < 1 || unsigned(d) > daysInMonth(y, unsigned(mo)) || h > 23 || mi > 59
        || s > 59)
        return std::nullopt;
    const qint64 unix = daysFromCivil(y, unsigned(mo), unsigned(d)) * 86400 + h * 3600 + mi * 60 + s - offsetSeconds;
    // Only moments whose UTC year has four digits: toIso8601 writes nothing
    // else in a form this parser takes back.
    static const qint64 firstSecond = daysFromCivil(1, 1, 1) * 86400;
    static const qint64 endSecond = daysFromCivil(10000, 1, 1) * 86400;
    if (unix < firstSecond || unix >= endSecond)
        return std::nullopt;
    // A fraction stays within its second: one that rounds up to a whole
    // second in a double ("…:59.99999999999999999") would otherwise read as
    // the next second, and at the last second of 9999 as a moment the writer
    // then writes in a form this parser refuses.
    Timestamp moment = fromUnixSeconds(static_cast<double>(unix) + fraction);
    const auto second = [](Timestamp at) { return static_cast<qint64>(std::floor(at.toUnixSeconds())); };
    while (second(moment) > unix)
        moment = Timestamp(std::nextafter(moment.m_seconds, -HUGE_VAL));
    while (second(moment) < unix)
        moment = Timestamp(std::nextafter(moment.m_seconds, HUGE_VAL));
    return moment;
}

} // namespace nerim
