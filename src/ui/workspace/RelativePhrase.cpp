#include "ui/workspace/RelativePhrase.h"

#include <cmath>

namespace nerim {

QString relativePhraseShort(Timestamp date, Timestamp now)
{
    struct Unit {
        double seconds;
        const char *singular;
        const char *plural;
    };
    static const Unit units[] = {
        {365 * 86400.0, "yr.", "yr."}, {30 * 86400.0, "mo.", "mo."}, {7 * 86400.0, "wk.", "wk."},
        {86400.0, "day", "days"},      {3600.0, "hr.", "hr."},       {60.0, "min.", "min."},
        {1.0, "sec.", "sec."},
    };
    const double delta = date.secondsSince(now);
    const double magnitude = std::abs(delta);
    const Unit *unit = &units[std::size(units) - 1];
    for (const Unit &candidate : units) {
        if (magnitude >= candidate.seconds) {
            unit = &candidate;
            break;
        }
    }
    const auto count = static_cast<qint64>(std::floor(magnitude / unit->seconds));
    const QString amount = QString::number(count) + QLatin1Char(' ') +
                           QString::fromLatin1(count == 1 ? unit->singular : unit->plural);
    return delta > 0 ? QStringLiteral("in ") + amount : amount + QStringLiteral(" ago");
}

} // namespace nerim
