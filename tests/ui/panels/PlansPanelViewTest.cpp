// The Plans panel offscreen over a real PlanState with recording callbacks:
// focus hand-off between branches, Return and Shift+Return, rows that keep
// focus, literal model text and the link rule.
#include "plans/PlanState.h"
#include "ui/design/MotionPreferences.h"
#include "ui/panels/PlansPanelView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QTest>
#include <gtest/gtest.h>

using namespace nerim;

namespace {

PlanStep step(const QString &title, PlanStep::Status status = PlanStep::Status::pending)
{
    PlanStep s;
    s.id = QUuid::createUuid();
    s.title = title;
    s.status = status;
    return s;
}

PlanTurn turn(PlanTurn::Role role, const QString &content)
{
    PlanTurn t;
    t.id = QUuid::createUuid();
    t.role = role;
    t.content = content;
    return t;
}

class PlansPanelViewTest : public ::testing::Test {
protected:
    void SetUp() override { MotionPreferences::shared().setReduceMotion(true); }

    PlansPanelView &show()
    {
        PlansPanelCallbacks callbacks;
        callbacks.onGenerateRequested = [this](const QString &text) { sent.append(text); };
        callbacks.onOpenWorkspaceFile = [this](const QString &name) { state.setOpenWorkspaceFile(name); };
        callbacks.onCloseWorkspaceFile = [this] { state.setOpenWorkspaceFile(std::nullopt); };
        callbacks.onRefreshWorkspace = [this] { ++refreshes; };
        panel = std::make_unique<PlansPanelView>(&state, callbacks);
        panel->resize(300, 620);
        panel->show();
        QApplication::setActiveWindow(panel.get());
        EXPECT_TRUE(QTest::qWaitForWindowActive(panel.get()));
        return *panel;
    }

    QWidget *branch() const { return panel->findChild<QStackedWidget *>(QStringLiteral("plansContent"))->currentWidget(); }
    QPlainTextEdit *field() const { return branch()->findChild<QPlainTextEdit *>(QStringLiteral("draftField")); }

    PlanState state;
    std::unique_ptr<PlansPanelView> panel;
    QStringList sent;
    int refreshes = 0;
};

} // namespace

TEST_F(PlansPanelViewTest, FocusFollowsTheBranchOnScreen)
{
    show();
    EXPECT_EQ(refreshes, 1);
    EXPECT_EQ(branch()->objectName(), QStringLiteral("emptyBranch"));
    EXPECT_TRUE(field()->hasFocus());
    EXPECT_TRUE(state.draftFieldFocused());

    // Opening a file (even over the empty state) leaves the draft: the mirror clears.
    state.setWorkspaceFiles({{QStringLiteral("overview.md"), QStringLiteral("Hello"), {}}});
    state.setOpenWorkspaceFile(QStringLiteral("overview.md"));
    EXPECT_EQ(branch()->objectName(), QStringLiteral("openFileBranch"));
    EXPECT_FALSE(state.draftFieldFocused());

    // Back to a plan: the composer takes focus and the mirror is set again.
    state.setSteps({step(QStringLiteral("One"))});
    QTest::mouseClick(branch()->findChild<QAbstractButton *>(QStringLiteral("backButton")), Qt::LeftButton);
    EXPECT_EQ(branch()->objectName(), QStringLiteral("planBranch"));
    EXPECT_TRUE(field()->hasFocus());
    EXPECT_TRUE(state.draftFieldFocused());
    // Focus moving elsewhere is mirrored too.
    panel->findChild<QWidget *>(QStringLiteral("planScroll"))->setFocus();
    field()->clearFocus();
    EXPECT_FALSE(state.draftFieldFocused());
}

TEST_F(PlansPanelViewTest, ReturnSubmitsShiftReturnBreaksAndGeneratingKeepsTheDraft)
{
    show();
    QTest::keyClicks(field(), QStringLiteral("  a blog"));
    QTest::keyClick(field(), Qt::Key_Return, Qt::ShiftModifier);
    QTest::keyClicks(field(), QStringLiteral("with posts "));
    EXPECT_EQ(state.draftVision(), QStringLiteral("  a blog\nwith posts "));
    EXPECT_TRUE(sent.isEmpty());
    QTest::keyClick(field(), Qt::Key_Return);
    EXPECT_EQ(sent, QStringList{QStringLiteral("a blog\nwith posts")});
    EXPECT_EQ(state.draftVision(), QString());
    EXPECT_EQ(field()->toPlainText(), QString());
    EXPECT_TRUE(field()->hasFocus());

    // While a reply is on its way the text stays where it is.
    state.setConversation({turn(PlanTurn::Role::user, QStringLiteral("a blog"))});
    state.setIsGenerating(true);
    QTest::keyClicks(field(), QStringLiteral("more"));
    QTest::keyClick(field(), Qt::Key_Return);
    EXPECT_EQ(sent.size(), 1);
    EXPECT_EQ(state.draftVision(), QStringLiteral("more"));
    auto *send = panel->findChild<QAbstractButton *>(QStringLiteral("sendButton"));
    EXPECT_FALSE(send->isEnabled());
    EXPECT_EQ(send->text(), QStringLiteral("Sending…"));
    state.setIsGenerating(false);
    EXPECT_TRUE(send->isEnabled());
    QTest::mouseClick(send, Qt::LeftButton);
    EXPECT_EQ(sent.last(), QStringLiteral("more"));
    // Blank drafts are never sent.
    QTest::keyClicks(field(), QStringLiteral("   "));
    QTest::keyClick(field(), Qt::Key_Return);
    EXPECT_EQ(sent.size(), 2);
    EXPECT_EQ(state.draftVision(), QStringLiteral("   "));
}

TEST_F(PlansPanelViewTest, AClickAnywhereOnAStepTogglesItOnceAndKeepsTheComposerFocused)
{
    state.setSteps({step(QStringLiteral("First")), step(QStringLiteral("Second"))});
    show();
    QTest::keyClicks(field(), QStringLiteral("half-typed"));
    const QList<QWidget *> rows = panel->findChildren<QWidget *>(QStringLiteral("planStepRow"));
    ASSERT_EQ(rows.size(), 2);
    QWidget *second = rows.at(0)->findChild<QLabel *>(QStringLiteral("stepTitle"))->text() == QStringLiteral("Second")
                          ? rows.at(0)
                          : rows.at(1);
    // The empty space at the row's trailing end takes the click too.
    QTest::mouseClick(second, Qt::LeftButton, {}, QPoint(second->width() - 3, second->height() / 2));
    EXPECT_EQ(state.steps().at(1).status, PlanStep::Status::inProgress);
    EXPECT_EQ(state.steps().at(0).status, PlanStep::Status::pending);
    QTest::mouseClick(second, Qt::LeftButton);
    QTest::mouseClick(second, Qt::LeftButton);
    EXPECT_EQ(state.steps().at(1).status, PlanStep::Status::pending);
    // Rows are kept by id: the same widget, the field still focused with its text.
    EXPECT_EQ(panel->findChildren<QWidget *>(QStringLiteral("planStepRow")).size(), 2);
    EXPECT_TRUE(field()->hasFocus());
    EXPECT_EQ(field()->toPlainText(), QStringLiteral("half-typed"));
    EXPECT_EQ(second->findChild<QLabel *>(QStringLiteral("stepNumber"))->text(), QStringLiteral("2."));
}

TEST_F(PlansPanelViewTest, ModelTextShowsLiterally)
{
    const QString markup = QStringLiteral("<img src=x><a href=\"file:///etc\">link</a>");
    state.setGoal(markup);
    state.setSteps({step(markup)});
    state.setConversation({turn(PlanTurn::Role::user, markup), turn(PlanTurn::Role::agent, markup)});
    state.setLastError(markup);
    state.setWorkspaceFiles({{markup + QStringLiteral(".md"), QString(), {}}});
    show();
    for (const char *name : {"planGoal", "stepTitle", "userBubble", "planErrorText"}) {
        auto *label = panel->findChild<QLabel *>(QLatin1String(name));
        ASSERT_NE(label, nullptr) << name;
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << name;
        EXPECT_EQ(label->text(), markup) << name;
    }
    // The agent's Markdown paragraph escapes the text; only spans are markup.
    auto *paragraph = panel->findChild<QLabel *>(QStringLiteral("planParagraph"));
    ASSERT_NE(paragraph, nullptr);
    EXPECT_FALSE(paragraph->text().contains(QStringLiteral("<img")));
    EXPECT_TRUE(paragraph->text().contains(QStringLiteral("&lt;img src=x&gt;")));
    // The chip's tooltip names the file literally.
    auto *chip = panel->findChild<QAbstractButton *>(QStringLiteral("fileChip"));
    ASSERT_NE(chip, nullptr);
    EXPECT_TRUE(chip->toolTip().contains(QStringLiteral("Open &lt;img src=x&gt;")));
    EXPECT_EQ(chip->text(), QStringLiteral("<img src=x><a href=\"file:///etc\">link</a>"));
}

TEST_F(PlansPanelViewTest, OnlyWebLinksOpenAndAMissingFileSaysSo)
{
    state.setConversation({turn(PlanTurn::Role::agent, QStringLiteral("[a](https://example.com/a) [b](file:///etc/passwd)"))});
    show();
    QList<QUrl> opened;
    panel->setLinkOpener([&](const QUrl &url) { opened.append(url); });
    auto *paragraph = panel->findChild<QLabel *>(QStringLiteral("planParagraph"));
    ASSERT_NE(paragraph, nullptr);
    // Whatever reaches the label as a link, only http and https go out.
    emit paragraph->linkActivated(QStringLiteral("file:///etc/passwd"));
    emit paragraph->linkActivated(QStringLiteral("nerim://x"));
    emit paragraph->linkActivated(QStringLiteral("javascript:alert(1)"));
    emit paragraph->linkActivated(QStringLiteral("https://example.com/a"));
    EXPECT_EQ(opened, QList<QUrl>{QUrl(QStringLiteral("https://example.com/a"))});
    EXPECT_FALSE(paragraph->text().contains(QStringLiteral("file:")));

    state.setOpenWorkspaceFile(QStringLiteral("gone.md"));
    auto *fileText = panel->findChild<QWidget *>(QStringLiteral("openFileText"));
    ASSERT_NE(fileText, nullptr);
    auto *line = fileText->findChild<QLabel *>(QStringLiteral("planParagraph"));
    ASSERT_NE(line, nullptr);
    EXPECT_TRUE(line->text().contains(QStringLiteral("<i>File no longer exists")) ||
                line->text().contains(QStringLiteral("<em>File no longer exists")))
        << line->text().toStdString();
}
