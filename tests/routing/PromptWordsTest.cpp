#include "routing/PromptWords.h"

#include <gtest/gtest.h>

using namespace nerim;

TEST(PromptWords, NormalizeAndSplit)
{
    EXPECT_EQ(normalizeCommandText(QStringLiteral("  Run The App!?.\n"), QStringLiteral(".!?")), QStringLiteral("run the app"));
    EXPECT_EQ(normalizeCommandText(QStringLiteral("hi \t!"), QStringLiteral("!")), QStringLiteral("hi"));
    EXPECT_EQ(normalizeCommandText(QStringLiteral("?!"), QStringLiteral("!?")), QString());
    EXPECT_EQ(splitWords(QStringLiteral(" a\tb\n\nC ")), (QStringList{"a", "b", "C"}));
    EXPECT_EQ(handoverTokens(QStringLiteral("claude 2, take step 3")),
              (QStringList{"claude", "2", ",", "take", "step", "3"}));
    EXPECT_EQ(handoverTokens(QStringLiteral("a:b,,c")), (QStringList{"a", ":", "b", ",", ",", "c"}));
}

TEST(PromptWords, NumberReaders)
{
    const struct {
        const char *word;
        std::optional<int> step;
        std::optional<int> number;
    } rows[] = {
        {"+3", 3, std::nullopt},  {"0", std::nullopt, std::nullopt}, {"21", std::nullopt, std::nullopt},
        {"-1", std::nullopt, std::nullopt}, {"twenty-one", std::nullopt, std::nullopt},
        {"20", 20, std::nullopt}, {"twenty", 20, std::nullopt},    {"10", 10, std::nullopt},
        {"ten", 10, std::nullopt}, {"2:", std::nullopt, std::nullopt}, {"9", 9, 9},
        {"nine", 9, 9},            {"NINE", std::nullopt, 9},        {"03", 3, std::nullopt},
        {"99999999999999999999", std::nullopt, std::nullopt},       {"", std::nullopt, std::nullopt},
        {"+", std::nullopt, std::nullopt},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(stepNumberValue(QString::fromUtf8(row.word)), row.step) << row.word;
        EXPECT_EQ(numberWordValue(QString::fromUtf8(row.word)), row.number) << row.word;
    }
}

TEST(PromptWords, AddressableNamesLongestFirst)
{
    const PaneNameTable table{{QStringLiteral("al"), 1}, {QStringLiteral("alice"), 2}, {QStringLiteral("claude"), 3},
                              {QStringLiteral("agent"), 1}, {QStringLiteral("@ops"), 2}, {QString(), 1}};
    const auto names = addressableNames(table);
    ASSERT_EQ(names.size(), 2);
    EXPECT_EQ(names[0].first, QStringLiteral("alice"));
    EXPECT_EQ(names[1].first, QStringLiteral("al"));
}

TEST(PaneAddress, Table)
{
    const OpenPaneNumbers open{1, 2};
    const PaneNameTable table{{QStringLiteral("al"), 1},       {QStringLiteral("alice"), 2},
                              {QStringLiteral("designer"), 1}, {QStringLiteral("claude"), 2},
                              {QStringLiteral("@ops"), 1},     {QStringLiteral("ghost"), 7}};
    const auto at = [](int pane, const char *task) { return std::optional<PaneAddress>(PaneAddress{pane, QString::fromUtf8(task)}); };
    const struct {
        const char *prompt;
        std::optional<PaneAddress> expected;
    } rows[] = {
        {"claude 2 fix the header", at(2, "fix the header")},
        {"Claude 2 - fix the header", at(2, "fix the header")},
        {"hey claude 2 fix the header", at(2, "fix the header")},
        {"please agent 2 please fix the header", at(2, "fix the header")},
        {"claude2 would you fix the header", at(2, "fix the header")},
        {"@2 fix the header", at(2, "fix the header")},
        {"claude two \u2014 fix   the header", at(2, "fix the header")},
        {"claude 2: fix the header", std::nullopt},
        {"claude 2, fix it", std::nullopt},
        {"Designer: make the logo bigger", at(1, "make the logo bigger")},
        {"DESIGNER, please make it pop", at(1, "make it pop")},
        {"hey, claude 2 fix it", std::nullopt},
        {"hey , claude 2 fix it", at(2, "fix it")},
        {"claude 10 fix it", std::nullopt},
        {"claude 2", std::nullopt},
        {"claude 2 please", std::nullopt},
        {"claude 5 fix it", std::nullopt},
        {"alice fix the nav", at(2, "fix the nav")},
        {"alison, fix it", std::nullopt},
        {"al. fix the footer", at(1, "fix the footer")},
        {"alice, would you fix the nav", at(2, "fix the nav")},
        {"alice would fix it", at(2, "would fix it")},
        {"ghost fix it", std::nullopt},
        {"@ops deploy it", std::nullopt},
        {"@1 deploy it", at(1, "deploy it")},
        {"alice line one\n  line two", at(2, "line one\n  line two")},
        {"claude 1 line one\n  line two", at(1, "line one line two")},
        {"hey", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto &row : rows)
        EXPECT_EQ(parsePaneAddress(QString::fromUtf8(row.prompt), open, table), row.expected) << row.prompt;
}

TEST(PaneAddress, NamesMatchInCanonicalForm)
{
    // "zoë" typed with a combining diaeresis (as some keyboards and speech
    // input produce it) names the same pane as the precomposed spelling, and
    // the other way round.
    const QString composed = QStringLiteral("zo\u00eb");
    const QString decomposed = QStringLiteral("zoe\u0308");
    const OpenPaneNumbers open{1, 2};
    for (const auto &[name, typed] : {std::pair{composed, decomposed}, std::pair{decomposed, composed}}) {
        const PaneNameTable table{{name, 2}};
        EXPECT_EQ(parsePaneAddress(typed + QStringLiteral(" fix the header"), open, table),
                  (PaneAddress{2, QStringLiteral("fix the header")}));
        EXPECT_EQ(parsePaneAddress(typed.toUpper() + QStringLiteral(": fix it"), open, table), (PaneAddress{2, QStringLiteral("fix it")}));

        const auto reference = matchAgentReference(handoverTokens(QStringLiteral("give step 2 to ") + typed), 4, open, table);
        ASSERT_TRUE(reference);
        EXPECT_EQ(reference->first, AgentReference::byName(name));
        EXPECT_EQ(reference->second, 5);
    }
}
