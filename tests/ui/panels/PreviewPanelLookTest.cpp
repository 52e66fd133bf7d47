// The preview panel's rules: its title, empty state, toolbar, the status
// strip's row for each phase and error, the secret submit and the dismissals.
#include "preview/PreviewState.h"
#include "ui/panels/PreviewPanelLook.h"

#include <gtest/gtest.h>

using namespace nerim;
using Phase = RepairSessionState::Phase;
using Row = PreviewPanelLook::Strip::Row;

TEST(PreviewPanelLookTest, TitleAndEmptyState)
{
    EXPECT_EQ(PreviewPanelLook::displayTitle(QString(), std::nullopt), QStringLiteral("Preview"));
    EXPECT_EQ(PreviewPanelLook::displayTitle(QString(), QUrl(QStringLiteral("file:///tmp/a.html"))),
              QStringLiteral("Preview"));
    EXPECT_EQ(PreviewPanelLook::displayTitle(QString(), QUrl(QStringLiteral("http://localhost:3000/x"))),
              QStringLiteral("localhost"));
    EXPECT_EQ(PreviewPanelLook::displayTitle(QStringLiteral("My App"), QUrl(QStringLiteral("http://localhost:3000"))),
              QStringLiteral("My App"));
    EXPECT_TRUE(PreviewPanelLook::showsEmptyState(std::nullopt, false));
    EXPECT_FALSE(PreviewPanelLook::showsEmptyState(std::nullopt, true));
    EXPECT_FALSE(PreviewPanelLook::showsEmptyState(QUrl(QStringLiteral("http://a")), false));
}

TEST(PreviewPanelLookTest, ToolbarStates)
{
    PreviewPanelLook::Toolbar idle = PreviewPanelLook::toolbar(false, false, false);
    EXPECT_FALSE(idle.back.enabled);
    EXPECT_FALSE(idle.forward.enabled);
    EXPECT_TRUE(idle.reload.enabled);
    EXPECT_EQ(idle.reload.symbol, QStringLiteral("arrow.clockwise"));
    EXPECT_EQ(idle.reload.help, QStringLiteral("Reload"));
    EXPECT_FALSE(idle.showsSpinner);
    PreviewPanelLook::Toolbar loading = PreviewPanelLook::toolbar(true, true, true);
    EXPECT_TRUE(loading.back.enabled && loading.forward.enabled && loading.reload.enabled);
    EXPECT_EQ(loading.reload.symbol, QStringLiteral("xmark"));
    EXPECT_EQ(loading.reload.help, QStringLiteral("Stop / reload"));
    EXPECT_TRUE(loading.showsSpinner);
    EXPECT_EQ(PreviewPanelLook::expandHelp(true), QStringLiteral("Return to tiled view"));
    EXPECT_EQ(PreviewPanelLook::expandSymbol(false), QStringLiteral("arrow.up.left.and.arrow.down.right"));
}

TEST(PreviewPanelLookTest, StripRowByPhaseErrorAndCoordinator)
{
    const QString crash = QStringLiteral("It crashed");
    struct Case {
        const char *name;
        std::optional<Phase> phase;
        std::optional<QString> error;
        bool coordinator;
        bool repairable;
        Row row;
        QString text;
        bool ask = false;
        bool cancel = false;
        bool tryAgain = false;
    };
    const Case cases[] = {
        {"no repair state, error", std::nullopt, crash, true, true, Row::error, crash, true},
        {"idle, empty error", Phase::idle(), QString(), true, true, Row::none, QString()},
        {"idle, spaces are an error", Phase::idle(), QStringLiteral("  "), true, false, Row::error,
         QStringLiteral("  ")},
        {"idle, no error", Phase::idle(), std::nullopt, true, true, Row::none, QString()},
        {"not repairable: no Ask", Phase::idle(), crash, true, false, Row::error, crash},
        {"no coordinator: no Ask", Phase::idle(), crash, false, true, Row::error, crash},
        {"cancelled shows the error again", Phase::cancelled(), crash, true, true, Row::error, crash, true},
        {"cancelled without error", Phase::cancelled(), std::nullopt, true, true, Row::none, QString()},
        {"preparing hides the error", Phase::preparing(), crash, true, false, Row::progress,
         QStringLiteral("Nerim is looking at the crash…"), false, true},
        {"repairing", Phase::repairing(2), std::nullopt, true, true, Row::progress,
         QStringLiteral("Nerim is fixing it… (attempt 2)"), false, true},
        {"retrying without coordinator", Phase::retryingApp(1), std::nullopt, false, true, Row::progress,
         QStringLiteral("Restarting your app… (attempt 1)")},
        {"awaiting a secret", Phase::awaitingSecret(QStringLiteral("KEY"), QStringLiteral("Why"), 3), crash, true,
         true, Row::secret, QStringLiteral("Why"), false, true},
        {"fixed over an error", Phase::fixed(), crash, true, true, Row::fixed,
         QStringLiteral("Fixed. Your app is running.")},
        {"stuck shows the bare reason", Phase::stuck(QStringLiteral("No database")), crash, true, true, Row::stuck,
         QStringLiteral("No database"), false, false, true},
        {"stuck without coordinator", Phase::stuck(QStringLiteral("No database")), std::nullopt, false, true,
         Row::stuck, QStringLiteral("No database")},
    };
    for (const Case &c : cases) {
        const PreviewPanelLook::Strip s = PreviewPanelLook::strip(c.phase, c.error, c.coordinator, c.repairable);
        EXPECT_EQ(s.row, c.row) << c.name;
        EXPECT_EQ(s.text, c.text) << c.name;
        EXPECT_EQ(s.showsAsk, c.ask) << c.name;
        EXPECT_EQ(s.showsCancel, c.cancel) << c.name;
        EXPECT_EQ(s.showsTryAgain, c.tryAgain) << c.name;
    }
    EXPECT_EQ(PreviewPanelLook::strip(Phase::awaitingSecret(QStringLiteral("OPENAI_API_KEY"), QString(), 1),
                                      std::nullopt, true, true)
                  .varName,
              QStringLiteral("OPENAI_API_KEY"));
}

TEST(PreviewPanelLookTest, SecretSubmitKeepsTheDraftExactly)
{
    EXPECT_EQ(PreviewPanelLook::submittedSecret(QString(), true), std::nullopt);
    EXPECT_EQ(PreviewPanelLook::submittedSecret(QStringLiteral("   "), true), QStringLiteral("   "));
    EXPECT_EQ(PreviewPanelLook::submittedSecret(QStringLiteral(" sk-1 "), true), QStringLiteral(" sk-1 "));
    EXPECT_EQ(PreviewPanelLook::submittedSecret(QStringLiteral("sk"), false), std::nullopt);
}

TEST(PreviewPanelLookTest, TheTwoDismissals)
{
    PreviewState preview;
    RepairSessionState repair;
    preview.setError(QStringLiteral("boom"));
    repair.setPhase(Phase::cancelled());
    PreviewPanelLook::dismissErrorRow(preview);
    EXPECT_EQ(preview.error(), std::nullopt);
    EXPECT_EQ(repair.phase(), Phase::cancelled());

    preview.setError(QStringLiteral("boom"));
    repair.setPhase(Phase::stuck(QStringLiteral("why")));
    repair.setRepairPaneID(QUuid::createUuid());
    repair.setLastErrorText(QStringLiteral("tail"));
    PreviewPanelLook::dismissStuckRow(preview, &repair);
    EXPECT_EQ(preview.error(), std::nullopt);
    EXPECT_EQ(repair.phase(), Phase::idle());
    EXPECT_EQ(repair.repairPaneID(), std::nullopt);
    EXPECT_FALSE(repair.context().has_value());
    EXPECT_EQ(repair.lastErrorText(), std::nullopt);
    EXPECT_EQ(PreviewPanelLook::strip(repair.phase(), preview.error(), true, true).row, Row::none);
    // Without a repair state only the error goes.
    preview.setError(QStringLiteral("boom"));
    PreviewPanelLook::dismissStuckRow(preview, nullptr);
    EXPECT_EQ(preview.error(), std::nullopt);
}
