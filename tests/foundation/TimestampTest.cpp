#include "foundation/Timestamp.h"
#include "foundation/UuidText.h"

#include <gtest/gtest.h>

using namespace nerim;

TEST(Timestamp, IsoTextIsUtcWholeSecondsWithZ)
{
    EXPECT_EQ(Timestamp(0).toIso8601(), QStringLiteral("2001-01-01T00:00:00Z"));
    // The fraction is truncated, never rounded up.
    EXPECT_EQ(Timestamp(59.999).toIso8601(), QStringLiteral("2001-01-01T00:00:59Z"));
    // Before the reference date, truncation still goes toward the earlier second.
    EXPECT_EQ(Timestamp(-0.5).toIso8601(), QStringLiteral("2000-12-31T23:59:59Z"));
    // 2024-02-29 is a leap day.
    const auto leap = Timestamp::fromIso8601(QStringLiteral("2024-02-29T12:34:56Z"));
    ASSERT_TRUE(leap);
    EXPECT_EQ(leap->toIso8601(), QStringLiteral("2024-02-29T12:34:56Z"));
}

TEST(Timestamp, StrictParseRequiresAZoneAndAValidDate)
{
    EXPECT_FALSE(Timestamp::fromIso8601(QStringLiteral("2026-12-07T08:00:00")));
    EXPECT_FALSE(Timestamp::fromIso8601(QStringLiteral("2026-02-30T08:00:00Z")));
    EXPECT_FALSE(Timestamp::fromIso8601(QStringLiteral("2026-12-07 08:00:00Z")));
    EXPECT_FALSE(Timestamp::fromIso8601(QStringLiteral("2026-12-07T24:00:00Z")));
    EXPECT_FALSE(Timestamp::fromIso8601(QStringLiteral("")));
    // The whole text is the time: a trailing line feed is not ignored.
    EXPECT_FALSE(Timestamp::fromIso8601(QStringLiteral("2026-12-07T08:00:00Z\n")));
    EXPECT_FALSE(Timestamp::fromIso8601(QStringLiteral("2026-12-07T08:00:00+02:00\n")));
    // Every part has its digits, ASCII ones only; a fraction has at least one.
    EXPECT_FALSE(Timestamp::fromIso8601(QStringLiteral("2026-12-07T08:00:00.Z")));
    EXPECT_FALSE(Timestamp::fromIso8601(QStringLiteral("2026-12-07T08:00:00+02")));
    EXPECT_FALSE(Timestamp::fromIso8601(QStringLiteral("2026-12-07T08:00:00+24:00")));
    EXPECT_FALSE(Timestamp::fromIso8601(QStringLiteral("2026-12-7T08:00:00Z")));
    EXPECT_FALSE(Timestamp::fromIso8601(QString::fromUtf16(u"\uFF12026-12-07T08:00:00Z")));
    EXPECT_FALSE(Timestamp::fromIso8601(QString::fromUtf16(u"2026-12-07T08:00:0\u0660Z")));
    EXPECT_EQ(Timestamp::fromIso8601(QStringLiteral("2026-12-07T10:30:00+0230")),
              Timestamp::fromIso8601(QStringLiteral("2026-12-07T08:00:00Z")));

    const auto utc = Timestamp::fromIso8601(QStringLiteral("2026-12-07T08:00:00Z"));
    const auto offset = Timestamp::fromIso8601(QStringLiteral("2026-12-07T10:30:00+02:30"));
    ASSERT_TRUE(utc && offset);
    EXPECT_EQ(*utc, *offset);
    const auto fraction = Timestamp::fromIso8601(QStringLiteral("2026-12-07T08:00:00.25Z"));
    ASSERT_TRUE(fraction);
    EXPECT_DOUBLE_EQ(fraction->secondsSince(*utc), 0.25);
}

TEST(Timestamp, OnlyYearsThatWriteBackAsFourDigitsAreAccepted)
{
    // Whatever is accepted must come back from its own written form, or the
    // next read of a saved document fails. The year is judged in UTC.
    struct Case {
        const char *text;
        const char *written; // nullptr: refused
    };
    const Case cases[] = {
        {"0000-01-01T00:00:00+01:00", nullptr},
        {"0001-01-01T00:30:00+01:00", nullptr},
        {"0000-12-31T23:30:00-01:00", "0001-01-01T00:30:00Z"},
        {"0001-01-01T00:00:00Z", "0001-01-01T00:00:00Z"},
        {"9999-12-31T23:59:59.9Z", "9999-12-31T23:59:59Z"},
        // Fractions a double rounds up to a whole second stay in their second.
        {"9999-12-31T23:59:59.99999999999999999Z", "9999-12-31T23:59:59Z"},
        {"9999-12-31T23:59:59.9999999Z", "9999-12-31T23:59:59Z"},
        {"2026-12-07T08:00:59.99999999999999999Z", "2026-12-07T08:00:59Z"},
        {"2026-12-07T10:00:59.99999999999999999+02:00", "2026-12-07T08:00:59Z"},
        {"0001-01-01T00:00:00.99999999999999999Z", "0001-01-01T00:00:00Z"},
        {"9999-12-31T23:30:00-01:00", nullptr},
        {"9999-12-31T23:59:59-00:01", nullptr},
    };
    for (const Case &c : cases) {
        const auto parsed = Timestamp::fromIso8601(QString::fromLatin1(c.text));
        if (!c.written) {
            EXPECT_FALSE(parsed) << c.text;
            continue;
        }
        ASSERT_TRUE(parsed) << c.text;
        EXPECT_EQ(parsed->toIso8601(), QString::fromLatin1(c.written)) << c.text;
        EXPECT_TRUE(Timestamp::fromIso8601(parsed->toIso8601())) << c.text;
    }
}

TEST(Timestamp, NowHasSubSecondPrecisionAndUnixConversionRoundTrips)
{
    const Timestamp t = Timestamp::now();
    EXPECT_GT(t.toUnixSeconds(), 1.7e9);
    EXPECT_DOUBLE_EQ(Timestamp::fromUnixSeconds(t.toUnixSeconds()).secondsSinceReferenceDate(),
                     t.secondsSinceReferenceDate());
}

TEST(UuidText, UpperCaseCanonicalAndStrictParse)
{
    const QUuid id = newUuid();
    const QString text = uuidText(id);
    EXPECT_EQ(text.size(), 36);
    EXPECT_EQ(text, text.toUpper());
    EXPECT_EQ(parseUuid(text), id);
    EXPECT_EQ(parseUuid(text.toLower()), id);
    EXPECT_FALSE(parseUuid(QLatin1Char('{') + text + QLatin1Char('}')));
    EXPECT_FALSE(parseUuid(text.left(35)));
    EXPECT_FALSE(parseUuid(QString(text).remove(QLatin1Char('-'))));
    EXPECT_FALSE(parseUuid(text + QLatin1Char('\n')));
}
