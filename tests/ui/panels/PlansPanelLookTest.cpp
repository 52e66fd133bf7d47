// The Plans panel's rules: the plan text splitter, branches, header buttons,
// file texts and names, step cycling and the submit rules.
#include "ui/panels/PlansPanelLook.h"
#include "ui/design/Strings.h"

#include <gtest/gtest.h>

using namespace nerim;
using Block = PlanMarkdown::Block;

namespace {

struct BlocksCase {
    const char *name;
    QString content;
    QList<Block> expected;
};

} // namespace

TEST(PlanMarkdownTest, SplitsParagraphsAndFences)
{
    const std::optional<QString> none;
    const QList<BlocksCase> cases = {
        {"empty", QString(), {}},
        {"only blanks", QStringLiteral("  \n\n \n"), {}},
        {"single line feed stays one paragraph", QStringLiteral("one\ntwo"), {Block::prose(QStringLiteral("one\ntwo"))}},
        {"empty line separates", QStringLiteral("one\n\ntwo"),
         {Block::prose(QStringLiteral("one")), Block::prose(QStringLiteral("two"))}},
        {"line of spaces does not separate", QStringLiteral("one\n  \ntwo"),
         {Block::prose(QStringLiteral("one\n  \ntwo"))}},
        {"three line feeds", QStringLiteral("one\n\n\n\ntwo"),
         {Block::prose(QStringLiteral("one")), Block::prose(QStringLiteral("two"))}},
        {"fence with language", QStringLiteral("```swift\nlet x = 1\n```"),
         {Block::code(QStringLiteral("swift"), QStringLiteral("let x = 1"))}},
        {"fence without language", QStringLiteral("```   \ncode\n```"), {Block::code(none, QStringLiteral("code"))}},
        {"unclosed fence at the end", QStringLiteral("text\n```"),
         {Block::prose(QStringLiteral("text")), Block::code(none, QString())}},
        {"prose code prose", QStringLiteral("before\n```\nx\n```\nafter"),
         {Block::prose(QStringLiteral("before")), Block::code(none, QStringLiteral("x")),
          Block::prose(QStringLiteral("after"))}},
        {"four backticks", QStringLiteral("````\nx\n```"), {Block::code(QStringLiteral("`"), QStringLiteral("x"))}},
        {"indented fence and code keep indentation", QStringLiteral("  ``` py \n    indented  \n\n```trailing"),
         {Block::code(QStringLiteral("py"), QStringLiteral("    indented  \n"))}},
        {"carriage returns are kept", QStringLiteral("a\r\nb"), {Block::prose(QStringLiteral("a\r\nb"))}},
    };
    for (const BlocksCase &c : cases)
        EXPECT_EQ(PlanMarkdown::blocks(c.content), c.expected) << c.name;
}

TEST(PlansPanelLookTest, BranchOrderPutsAnOpenFileFirst)
{
    using B = PlansPanelLook::Branch;
    EXPECT_EQ(PlansPanelLook::contentBranch(true, false, false), B::openFile);
    EXPECT_EQ(PlansPanelLook::contentBranch(true, true, true), B::openFile);
    EXPECT_EQ(PlansPanelLook::contentBranch(false, false, false), B::emptyState);
    EXPECT_EQ(PlansPanelLook::contentBranch(false, false, true), B::planColumn);
    EXPECT_EQ(PlansPanelLook::contentBranch(false, true, false), B::planColumn);
}

TEST(PlansPanelLookTest, HeaderButtonsFollowThePlanAndItsWork)
{
    // Nothing yet: only expand and close.
    PlansPanelLook::Header h = PlansPanelLook::header({});
    EXPECT_FALSE(h.organize.present);
    EXPECT_FALSE(h.startOver.present);
    EXPECT_TRUE(h.expand.present && h.close.present);
    EXPECT_EQ(h.expand.symbol, QStringLiteral("arrow.up.left.and.arrow.down.right"));
    EXPECT_EQ(h.expand.help, Strings::PlansPanel::expandHelp);

    // A conversation without steps: organize, but no start over.
    h = PlansPanelLook::header({false, true, false, false, false, true});
    EXPECT_TRUE(h.organize.present);
    EXPECT_FALSE(h.startOver.present);
    EXPECT_EQ(h.organize.help, QStringLiteral("Organize this conversation into plan files"));
    EXPECT_EQ(h.expand.symbol, QStringLiteral("arrow.down.right.and.arrow.up.left"));
    EXPECT_EQ(h.expand.help, QStringLiteral("Return plans to tiled view"));

    // Generating disables both; organizing spins and disables organize only.
    h = PlansPanelLook::header({true, true, true, false, true, false});
    EXPECT_FALSE(h.organize.enabled);
    EXPECT_FALSE(h.startOver.enabled);
    EXPECT_TRUE(h.showsGeneratingDot);
    EXPECT_EQ(h.organize.help, QStringLiteral("Rewrite the plan files from the latest conversation"));
    h = PlansPanelLook::header({true, false, false, true, false, false});
    EXPECT_TRUE(h.organizeSpins);
    EXPECT_FALSE(h.organize.enabled);
    EXPECT_TRUE(h.startOver.enabled);
}

TEST(PlansPanelLookTest, FileTextIsTheFirstExactMatchElseTheMissingLine)
{
    const QList<PlansWorkspaceStore::File> files = {
        {QStringLiteral("Overview.md"), QStringLiteral("upper"), {}},
        {QStringLiteral("overview.md"), QStringLiteral("first"), {}},
        {QStringLiteral("overview.md"), QStringLiteral("second"), {}},
    };
    EXPECT_EQ(PlansPanelLook::fileText(files, QStringLiteral("overview.md")), QStringLiteral("first"));
    EXPECT_EQ(PlansPanelLook::fileText(files, QStringLiteral("gone.md")),
              QStringLiteral("_File no longer exists — refresh the workspace or hit Organize to regenerate._"));
}

TEST(PlansPanelLookTest, DisplayNamesAndChipSymbols)
{
    const std::pair<QString, QString> names[] = {
        {QStringLiteral("overview.md"), QStringLiteral("Overview")},
        {QStringLiteral("api-design_notes.md"), QStringLiteral("Api design notes")},
        {QStringLiteral("README.md"), QStringLiteral("README")},
        {QStringLiteral("my-notes_final.draft.md"), QStringLiteral("My notes final.draft")},
        {QStringLiteral("noext"), QStringLiteral("Noext")},
        {QStringLiteral(".md"), QString()},
        {QStringLiteral("ßtraße.md"), QStringLiteral("SStraße")},
        {QStringLiteral("élan.md"), QStringLiteral("Élan")},
    };
    for (const auto &[file, shown] : names)
        EXPECT_EQ(PlansPanelLook::displayName(file), shown) << file.toStdString();
    EXPECT_EQ(PlansPanelLook::chipSymbol(QStringLiteral("overview.md")), QStringLiteral("doc.text"));
    EXPECT_EQ(PlansPanelLook::chipSymbol(QStringLiteral("Overview.md")), QStringLiteral("doc"));
    EXPECT_EQ(PlansPanelLook::chipSymbol(QStringLiteral("overview.MD")), QStringLiteral("doc"));
}

TEST(PlansPanelLookTest, AStepCyclesThroughItsThreeStatuses)
{
    using S = PlanStep::Status;
    EXPECT_EQ(PlansPanelLook::nextStatus(S::pending), S::inProgress);
    EXPECT_EQ(PlansPanelLook::nextStatus(S::inProgress), S::done);
    EXPECT_EQ(PlansPanelLook::nextStatus(S::done), S::pending);
}

TEST(PlansPanelLookTest, SubmitRules)
{
    struct Case {
        QString draft;
        bool generating;
        bool disabled;
        std::optional<QString> sent;
    };
    const Case cases[] = {
        {QString(), false, true, std::nullopt},
        {QStringLiteral("   "), false, true, std::nullopt},
        {QStringLiteral(" \t "), false, true, std::nullopt},
        // Line breaks enable the button but send nothing.
        {QStringLiteral("\n"), false, false, std::nullopt},
        {QStringLiteral("  \n build a blog \n "), false, false, QStringLiteral("build a blog")},
        {QStringLiteral("hello"), true, true, QStringLiteral("hello")},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(PlansPanelLook::isSubmitDisabled(c.draft, c.generating), c.disabled) << c.draft.toStdString();
        EXPECT_EQ(PlansPanelLook::submittedText(c.draft), c.sent) << c.draft.toStdString();
    }
    EXPECT_TRUE(PlansPanelLook::returnSubmits(false));
    EXPECT_FALSE(PlansPanelLook::returnSubmits(true));
    EXPECT_EQ(PlansPanelLook::primaryTitle(true, true), QStringLiteral("Planning…"));
    EXPECT_EQ(PlansPanelLook::primaryTitle(false, true), QStringLiteral("Sending…"));
    EXPECT_FALSE(PlansPanelLook::showsError(QString()));
    EXPECT_TRUE(PlansPanelLook::showsError(QStringLiteral(" ")));
}
