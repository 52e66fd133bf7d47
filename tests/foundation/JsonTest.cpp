#include "foundation/Json.h"
#include "foundation/UuidText.h"

#include <gtest/gtest.h>
#include <limits>

using namespace nerim;

namespace {

enum class Color { red, green };
std::optional<Color> colorFromRaw(const QString &raw)
{
    if (raw == QLatin1String("red"))
        return Color::red;
    if (raw == QLatin1String("green"))
        return Color::green;
    return std::nullopt;
}

// Runs `body` and returns the decoding error's path ("" when nothing was thrown).
template <typename F>
QString failurePath(F body)
{
    try {
        body();
    } catch (const JsonDecodingError &e) {
        return e.path().isEmpty() ? QStringLiteral("<root>") : e.path();
    }
    return QString();
}

} // namespace

TEST(StrictJson, ReadsTypedValuesAndTreatsNullOptionalsAsAbsent)
{
    const auto doc = JsonObjectReader::parse(R"({"name":"x","count":3,"big":4294967296,"flag":true,
        "when":"2026-12-07T08:00:00Z","at":12.5,"id":"0E9B4A5C-3B0A-4C63-9D47-6A7B8C9D0E1F",
        "color":"green","nested":{"list":["a","b"]},"gone":null})");
    EXPECT_EQ(doc.string(QStringLiteral("name")), QStringLiteral("x"));
    EXPECT_EQ(doc.int32(QStringLiteral("count")), 3);
    EXPECT_EQ(doc.int64(QStringLiteral("big")), 4294967296LL);
    EXPECT_TRUE(doc.boolean(QStringLiteral("flag")));
    EXPECT_EQ(doc.isoDate(QStringLiteral("when")).toIso8601(), QStringLiteral("2026-12-07T08:00:00Z"));
    EXPECT_DOUBLE_EQ(doc.numberDate(QStringLiteral("at")).secondsSinceReferenceDate(), 12.5);
    EXPECT_EQ(uuidText(doc.uuid(QStringLiteral("id"))), QStringLiteral("0E9B4A5C-3B0A-4C63-9D47-6A7B8C9D0E1F"));
    EXPECT_EQ(doc.enumeration(QStringLiteral("color"), colorFromRaw), Color::green);
    EXPECT_EQ(doc.object(QStringLiteral("nested")).stringList(QStringLiteral("list")),
              QStringList({QStringLiteral("a"), QStringLiteral("b")}));
    EXPECT_FALSE(doc.optionalString(QStringLiteral("gone")));
    EXPECT_FALSE(doc.optionalString(QStringLiteral("missing")));
    EXPECT_FALSE(doc.has(QStringLiteral("gone")));
}

TEST(StrictJson, EveryMismatchFailsWithTheKeyPath)
{
    const auto doc = JsonObjectReader::parse(R"({"s":1,"n":"1","i":2147483648,"f":1.5,"c":"blue",
        "d":"2026-12-07T08:00:00","arr":[{"k":"v"},{"k":2}],"nullRequired":null})");
    EXPECT_EQ(failurePath([&] { doc.string(QStringLiteral("s")); }), QStringLiteral("s"));
    EXPECT_EQ(failurePath([&] { doc.number(QStringLiteral("n")); }), QStringLiteral("n"));
    EXPECT_EQ(failurePath([&] { doc.int32(QStringLiteral("i")); }), QStringLiteral("i")); // 2^31 is out of range
    EXPECT_EQ(failurePath([&] { doc.int32(QStringLiteral("f")); }), QStringLiteral("f"));
    EXPECT_EQ(failurePath([&] { doc.enumeration(QStringLiteral("c"), colorFromRaw); }), QStringLiteral("c"));
    EXPECT_EQ(failurePath([&] { doc.isoDate(QStringLiteral("d")); }), QStringLiteral("d")); // no zone
    EXPECT_EQ(failurePath([&] { doc.string(QStringLiteral("absent")); }), QStringLiteral("absent"));
    EXPECT_EQ(failurePath([&] { doc.string(QStringLiteral("nullRequired")); }), QStringLiteral("nullRequired"));
    // A present optional of the wrong type is still an error.
    EXPECT_EQ(failurePath([&] { doc.optionalString(QStringLiteral("s")); }), QStringLiteral("s"));
    EXPECT_EQ(failurePath([&] {
                  for (const auto &item : doc.array(QStringLiteral("arr")))
                      item.toObject().string(QStringLiteral("k"));
              }),
              QStringLiteral("arr[1].k"));
    EXPECT_EQ(failurePath([] { JsonObjectReader::parse("[1]"); }), QStringLiteral("<root>"));
    EXPECT_EQ(failurePath([] { JsonObjectReader::parse("{\"a\":"); }), QStringLiteral("<root>"));
}

TEST(StrictJson, EncodingIsDeterministicAndOmitsAbsentOptionals)
{
    QJsonObject a;
    a.insert(QStringLiteral("zeta"), 1);
    a.insert(QStringLiteral("alpha"), json::isoDate(Timestamp(0)));
    json::insertOptional(a, QStringLiteral("none"), std::optional<QString>());
    QJsonObject b;
    b.insert(QStringLiteral("alpha"), json::isoDate(Timestamp(0.9)));
    b.insert(QStringLiteral("zeta"), 1);
    EXPECT_EQ(json::encodePretty(a), json::encodePretty(b));
    EXPECT_EQ(json::encodeCompact(a), QByteArray(R"({"alpha":"2001-01-01T00:00:00Z","zeta":1})"));
}

TEST(StrictJson, KeyPathKeepsPercentSignsOfKeys)
{
    // Keys come from files anyone may have written; "%1" in one is text, not a placeholder.
    const auto doc = JsonObjectReader::parse(R"({"a%1":[{"k":"v"},{"k":2}]})");
    EXPECT_EQ(failurePath([&] {
                  for (const auto &item : doc.array(QStringLiteral("a%1")))
                      item.toObject().string(QStringLiteral("k"));
              }),
              QStringLiteral("a%1[1].k"));
}

// Numbers far beyond an integer's range are read errors, never conversions
// (converting such a double is undefined, which the sanitizer build traps).
TEST(StrictJson, HugeNumbersAreOutOfRangeNotConverted)
{
    const auto doc = JsonObjectReader::parse(
        R"({"huge":1e300,"tiny":-1e300,"two63":9223372036854775808,"min64":-9223372036854775808,"two31":-2147483648})");
    for (const char *key : {"huge", "tiny", "two63"}) {
        EXPECT_EQ(failurePath([&] { doc.int64(QString::fromLatin1(key)); }), QString::fromLatin1(key));
        EXPECT_EQ(failurePath([&] { doc.int32(QString::fromLatin1(key)); }), QString::fromLatin1(key));
    }
    try {
        doc.int32(QStringLiteral("huge"));
    } catch (const JsonDecodingError &e) {
        EXPECT_EQ(e.description(), QStringLiteral("integer 1e+300 is out of range at huge"));
    }
    // The ends of the ranges themselves still read.
    EXPECT_EQ(doc.int64(QStringLiteral("min64")), std::numeric_limits<qint64>::min());
    EXPECT_EQ(doc.int32(QStringLiteral("two31")), std::numeric_limits<int>::min());

    EXPECT_EQ(json::exactInteger<int>(2147483647.0), 2147483647);
    EXPECT_EQ(json::exactInteger<int>(2147483648.0), std::nullopt);
    EXPECT_EQ(json::exactInteger<qint64>(-0.0), 0);
    EXPECT_EQ(json::exactInteger<qint64>(9223372036854775807.0), std::nullopt); // that double is 2^63
    EXPECT_EQ(json::exactInteger<qint64>(2.5), std::nullopt);
    EXPECT_EQ(json::exactInteger<qint64>(std::numeric_limits<double>::infinity()), std::nullopt);
    EXPECT_EQ(json::exactInteger<qint64>(std::numeric_limits<double>::quiet_NaN()), std::nullopt);
}

// A string that begins with U+FEFF keeps it, as one that has it anywhere else
// does; a byte-order mark before the document is still allowed.
TEST(StrictJson, AByteOrderMarkAtAStringsStartIsKept)
{
    const QString bom(QChar(0xFEFF));
    const auto doc = JsonObjectReader::parse("\xEF\xBB\xBF{\"\xEF\xBB\xBFkey\":\"\xEF\xBB\xBF\xEF\xBB\xBFname\","
                                             "\"mid\":\"a\xEF\xBB\xBF\",\"escaped\":\"\\ufeffx\",\"quote\":\"\\\"\xEF\xBB\xBF\","
                                             "\"list\":[\"\xEF\xBB\xBF\"]}");
    EXPECT_EQ(doc.string(bom + QStringLiteral("key")), bom + bom + QStringLiteral("name"));
    EXPECT_EQ(doc.string(QStringLiteral("mid")), QStringLiteral("a") + bom);
    EXPECT_EQ(doc.string(QStringLiteral("escaped")), bom + QStringLiteral("x"));
    EXPECT_EQ(doc.string(QStringLiteral("quote")), QStringLiteral("\"") + bom);
    EXPECT_EQ(doc.stringList(QStringLiteral("list")), QStringList{bom});
    // What the writer writes reads back whole.
    QJsonObject object;
    object.insert(QStringLiteral("name"), bom + QStringLiteral("Ada"));
    EXPECT_EQ(JsonObjectReader::parse(json::encodeCompact(object)).string(QStringLiteral("name")),
              bom + QStringLiteral("Ada"));
    // Not JSON stays not JSON.
    EXPECT_EQ(failurePath([] { JsonObjectReader::parse("{\"a\":\"b\"\xEF\xBB\xBF}"); }), QStringLiteral("<root>"));
}
