#include "ui/deploy/DeployLook.h"

#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::DeployLook;
using Phase = DeploySessionState::Phase;

TEST(DeployLook, PillFacesFollowThePhaseAndTheUnlockRule)
{
    const DeploySessionState::TerminalSnapshot snap{QStringLiteral("https://a.vercel.app"), std::nullopt};
    EXPECT_EQ(pillFace(Phase::idle(), false), PillFace::hidden);
    EXPECT_EQ(pillFace(Phase::cancelled(), true), PillFace::deployButton);
    EXPECT_EQ(pillFace(Phase::preparing(), false), PillFace::inProgress);
    EXPECT_EQ(pillFace(Phase::customDomainInput(snap), false), PillFace::inProgress);
    EXPECT_EQ(pillFace(Phase::stuck(QStringLiteral("x")), false), PillFace::stuck);
    EXPECT_EQ(pillFace(Phase::live(QStringLiteral("https://a.vercel.app"), std::nullopt), false), PillFace::live);
    EXPECT_EQ(pillFace(Phase::customDomainVerified(QStringLiteral("a.com")), false), PillFace::live);
    EXPECT_EQ(pillText(PillFace::live, Phase::customDomainVerified(QStringLiteral("shop.a.com"))),
              QStringLiteral("Live \u00B7 shop.a.com"));
    // The stuck reason is never shown.
    EXPECT_EQ(pillText(PillFace::stuck, Phase::stuck(QStringLiteral("token expired"))),
              QStringLiteral("Deploy stuck \u2014 Try again"));

    DeployConfig withURL;
    withURL.frontendURL = QString(); // present, even empty, unlocks
    EXPECT_TRUE(deployUnlocked(true, std::nullopt));
    EXPECT_TRUE(deployUnlocked(false, withURL));
    EXPECT_FALSE(deployUnlocked(false, DeployConfig::empty()));
    EXPECT_FALSE(deployUnlocked(false, std::nullopt));
}

TEST(DeployLook, OnlyTheDeployPaneShowsACardAndOnlyInTheAskingPhases)
{
    const QUuid deployPane = QUuid::createUuid();
    const QUuid other = QUuid::createUuid();
    const DeploySessionState::TerminalSnapshot snap{QStringLiteral("u"), std::nullopt};
    const Phase token = Phase::awaitingToken(QStringLiteral("T"), QString(), std::nullopt);
    EXPECT_EQ(cardKind(deployPane, deployPane, token), CardKind::token);
    EXPECT_EQ(cardKind(deployPane, other, token), CardKind::none);
    EXPECT_EQ(cardKind(std::nullopt, deployPane, token), CardKind::none);
    EXPECT_EQ(cardKind(deployPane, deployPane, Phase::awaitingSecret(QStringLiteral("S"), QString())), CardKind::secret);
    EXPECT_EQ(cardKind(deployPane, deployPane, Phase::envVarChecklist(DeployProvider::railway)), CardKind::envChecklist);
    EXPECT_EQ(cardKind(deployPane, deployPane, Phase::customDomainInput(snap)), CardKind::domainInput);
    EXPECT_EQ(cardKind(deployPane, deployPane, Phase::customDomainVerifying(snap, QStringLiteral("a.com"), {}, 30)),
              CardKind::domainVerify);
    for (const Phase &quiet : {Phase::live(QStringLiteral("u"), std::nullopt), Phase::stuck(QStringLiteral("r")),
                               Phase::preparing(), Phase::buildingFrontend(DeployProvider::vercel), Phase::idle()})
        EXPECT_EQ(cardKind(deployPane, deployPane, quiet), CardKind::none) << quiet.debugDescription().toStdString();
}

TEST(DeployLook, ChecklistDecisionsPickerRuleAndLiveMenu)
{
    const QStringList names{QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C")};
    const auto decisions = checklistDecisions(names, {{QStringLiteral("B"), EnvChoice::skip}, {QStringLiteral("C"), EnvChoice::custom}},
                                              {{QStringLiteral("C"), QStringLiteral("v&1")}});
    ASSERT_TRUE(decisions);
    EXPECT_EQ(*decisions, (QMap<QString, QString>{{QStringLiteral("A"), QStringLiteral("send")},
                                                  {QStringLiteral("B"), QStringLiteral("skip")},
                                                  {QStringLiteral("C"), QStringLiteral("custom:v&1")}}));
    EXPECT_FALSE(checklistDecisions(names, {{QStringLiteral("A"), EnvChoice::custom}}, {{QStringLiteral("A"), QStringLiteral("  ")}}));

    EXPECT_EQ(pickerSeed(QStringLiteral("node server.js"), {QStringLiteral("@supabase/supabase-js")}),
              (QSet<DeployProvider>{DeployProvider::railway, DeployProvider::supabase}));
    EXPECT_FALSE(canCommitPicker({DeployProvider::supabase}));
    EXPECT_TRUE(canCommitPicker({DeployProvider::supabase, DeployProvider::railway}));

    EXPECT_EQ(menuTitle(QStringLiteral("R&D")), QStringLiteral("R&&D"));
    EXPECT_TRUE(isOpenableLiveURL(QStringLiteral("https://shop.vercel.app")));
    EXPECT_TRUE(isOpenableLiveURL(QStringLiteral("HTTP://shop.example.com/x")));
    for (const char *bad : {"file:///etc/passwd", "javascript:alert(1)", "shop.vercel.app", "ssh://host", ""})
        EXPECT_FALSE(isOpenableLiveURL(QString::fromUtf8(bad))) << bad;

    DeployConfig saved;
    saved.providers = {DeployProvider::railway};
    EXPECT_EQ(redeployProviders(std::nullopt, saved), QList<DeployProvider>{DeployProvider::railway});
    EXPECT_EQ(redeployProviders(std::nullopt, std::nullopt), QList<DeployProvider>{DeployProvider::vercel});

    QList<DeployHistoryEntry> live;
    for (int i = 1; i <= 8; ++i) {
        DeployHistoryEntry entry;
        entry.timestamp = QStringLiteral("2026-12-07T10:0%1:30Z").arg(i);
        entry.providers = {QStringLiteral("supabase"), QStringLiteral("vercel")};
        entry.frontendURL = QStringLiteral("https://a-very-long-preview-name-for-the-shop-%1.vercel.app").arg(i);
        if (i != 5)
            entry.deploymentID = QStringLiteral("dpl_%1").arg(i);
        live.append(entry);
    }
    const auto candidates = rollbackCandidates(live);
    ASSERT_EQ(candidates.size(), 5); // the last six, without the one that has no id
    EXPECT_EQ(candidates.first().deploymentID, QStringLiteral("dpl_3"));
    EXPECT_EQ(rollbackTitle(candidates.first()),
              QStringLiteral("2026-12-07T10:03 \u00B7 supabase+vercel \u00B7 https://a-very-long-preview-name-for-the\u2026"));

    const auto items = liveMenuItems(true, candidates);
    const auto rollback = std::find_if(items.begin(), items.end(), [](const LiveMenuItem &i) { return i.id == QLatin1String("rollback"); });
    ASSERT_NE(rollback, items.end());
    EXPECT_EQ(rollback->kind, LiveMenuItem::Kind::submenu);
    EXPECT_EQ(rollback->entries.size(), 4); // every candidate but the most recent
    const auto push = std::find_if(items.begin(), items.end(), [](const LiveMenuItem &i) { return i.id == QLatin1String("push"); });
    EXPECT_TRUE(push->checked);
    const auto none = liveMenuItems(false, candidates.mid(0, 1));
    EXPECT_TRUE(std::any_of(none.begin(), none.end(), [](const LiveMenuItem &i) {
        return i.id == QLatin1String("rollback") && i.kind == LiveMenuItem::Kind::disabled;
    }));
}
