#include "foundation/JsonLines.h"
#include "foundation/MarkerPayload.h"
#include "TestEnvironment.h"

#include <gtest/gtest.h>

using namespace nerim;
using DeployMarkers::TrailingQuotes;

namespace {

struct PayloadCase {
    const char *line;
    std::optional<QString> expected;
    TrailingQuotes rule = TrailingQuotes::dropAll;
};

} // namespace

TEST(MarkerPayload, FollowsTheSharedPayloadRule)
{
    const QString marker = QStringLiteral("[NERIM_DEPLOY_LIVE]");
    const PayloadCase cases[] = {
        {"[NERIM_DEPLOY_LIVE] https://app.example", QStringLiteral("https://app.example")},
        {"[nerim_deploy_live]: https://app.example", QStringLiteral("https://app.example")},
        {"> `[NERIM_DEPLOY_LIVE]: https://app.example`", QStringLiteral("https://app.example")},
        {"\"'[NERIM_DEPLOY_LIVE]:: \t https://app.example'\"", QStringLiteral("https://app.example")},
        {"[NERIM_DEPLOY_LIVE]", QStringLiteral("")},
        {"[NERIM_DEPLOY_LIVE]:   ", QStringLiteral("")},
        {"[NERIM_DEPLOY_LIVE]: a: b", QStringLiteral("a: b")},
        {"[NERIM_DEPLOY_LIVE] say \"hi\"", QStringLiteral("say \"hi")},
        {"[NERIM_DEPLOY_LIVE]x", QStringLiteral("x")}, // nothing has to follow the marker
        {"Done: [NERIM_DEPLOY_LIVE] https://app.example", std::nullopt},
        {"\t[NERIM_DEPLOY_LIVE] x", std::nullopt}, // only spaces, quotes and ">" are skipped
        {"[NERIM_DEPLOY", std::nullopt},
        {"", std::nullopt},
        // Balanced closing quotes stay with a command; stray wrappers go.
        {"[NERIM_DEPLOY_LIVE]: echo \"nothing to start.\"", QStringLiteral("echo \"nothing to start.\""),
         TrailingQuotes::keepBalanced},
        {"`[NERIM_DEPLOY_LIVE]: echo \"nothing to start.\"`", QStringLiteral("echo \"nothing to start.\""),
         TrailingQuotes::keepBalanced},
        {"'[NERIM_DEPLOY_LIVE]: npm run dev'", QStringLiteral("npm run dev"), TrailingQuotes::keepBalanced},
        {"[NERIM_DEPLOY_LIVE]: sh -c 'npm start'\"", QStringLiteral("sh -c 'npm start'"), TrailingQuotes::keepBalanced},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(DeployMarkers::markerPayload(marker, QString::fromUtf8(c.line), c.rule), c.expected);
    }
}

TEST(ReadJSONLLines, GivesTheNonEmptyLinesOrNothing)
{
    const QString dir = test::makeTempDir();
    EXPECT_TRUE(readJSONLLines(dir + QStringLiteral("/missing.jsonl")).isEmpty());

    const QString good = dir + QStringLiteral("/good.jsonl");
    ASSERT_TRUE(test::writeFile(good, "{\"a\":1}\n\n\nnot json — kept\n{\"b\":2}"));
    EXPECT_EQ(readJSONLLines(good),
              (QStringList{QStringLiteral("{\"a\":1}"), QStringLiteral("not json — kept"), QStringLiteral("{\"b\":2}")}));

    const QString bad = dir + QStringLiteral("/bad.jsonl");
    ASSERT_TRUE(test::writeFile(bad, "{\"a\":1}\n\xff\xfe\n"));
    EXPECT_TRUE(readJSONLLines(bad).isEmpty());

    const QString truncated = dir + QStringLiteral("/truncated.jsonl");
    ASSERT_TRUE(test::writeFile(truncated, "{\"a\":\"\xe2\x80"));
    EXPECT_TRUE(readJSONLLines(truncated).isEmpty());

    EXPECT_TRUE(readJSONLLines(dir).isEmpty()); // a folder is not a readable file
}
