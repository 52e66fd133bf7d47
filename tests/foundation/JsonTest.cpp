#include "foundation/Json.h"
#include "foundation/UuidText.h"

#include <gtest/gtest.h>

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
