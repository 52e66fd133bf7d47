#pragma once

#include <QString>
#include <compare>
#include <optional>

namespace nerim {

// A moment in time: seconds since 2001-01-01T00:00:00Z as a double.
//
// Documents store it either as a number (exactly this double) or as ISO 8601
// text in UTC with whole seconds ("2026-12-07T08:15:00Z"). QDateTime keeps
// only milliseconds, so it is never used to hold a Timestamp.
class Timestamp {
public:
    constexpr Timestamp() = default;
    constexpr explicit Timestamp(double secondsSinceReferenceDate) : m_seconds(secondsSinceReferenceDate) {}

    // The current wall-clock time, with microsecond precision.
    static Timestamp now();

    // Seconds between 1970-01-01 and 2001-01-01.
    static constexpr double unixOffset = 978307200.0;

    static Timestamp fromUnixSeconds(double seconds) { return Timestamp(seconds - unixOffset); }
    double toUnixSeconds() const { return m_seconds + unixOffset; }
    double secondsSinceReferenceDate() const { return m_seconds; }

    // ISO 8601 text in UTC, whole seconds (the fraction is truncated), ending in "Z".
    QString toIso8601() const;

    // Strict ISO 8601 parse: "YYYY-MM-DDTHH:MM:SS" with an optional fraction and a
    // required zone ("Z" or "+HH:MM"/"-HH:MM"/"+HHMM"). Anything else yields nothing,
    // and so does a moment whose UTC form falls outside the years 0001-9999.
    // The moment read is always within the second written (a fraction never
    // rounds up into the next one).
    static std::optional<Timestamp> fromIso8601(const QString &text);

    Timestamp addingSeconds(double seconds) const { return Timestamp(m_seconds + seconds); }
    double secondsSince(Timestamp other) const { return m_seconds - other.m_seconds; }

    friend constexpr bool operator==(Timestamp, Timestamp) = default;
    friend constexpr auto operator<=>(Timestamp a, Timestamp b) { return a.m_seconds <=> b.m_seconds; }

private:
    double m_seconds = 0;
};

} // namespace nerim
