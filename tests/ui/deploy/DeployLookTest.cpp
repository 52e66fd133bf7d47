#include "ui/deploy/DeployLook.h"

#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::DeployLook;
using Phase = DeploySessionState::Phase;

namespace {
const DeployProvider V = DeployProvider::vercel;
const DeployProvider R = DeployProvider::railway;
const DeployProvider S = DeployProvider::supabase;
} // namespace

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
    EXPECT_EQ(pillText(PillFace::inProgress, Phase::preparing()), QStringLiteral("Deploying\u2026"));
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

TEST(DeployLook, PillChromeOfEachFace)
{
    struct Row {
        PillFace face;
        PillChrome::Lead lead;
        const char *symbol;
        int spacing;
        Tint fill, stroke;
        const char *help;
    };
    const Row rows[] = {
        {PillFace::deployButton, PillChrome::Lead::symbol, "arrow.up.circle", 6, {NmColor::paperBright, 0.92},
         {NmColor::hairline, 0.55}, "Push this project to a live URL"},
        {PillFace::inProgress, PillChrome::Lead::ring, "", 8, {NmColor::accentSoft, 0.6}, {NmColor::accent, 0.55},
         "Deploy in progress \u2014 click to view the transcript"},
        {PillFace::stuck, PillChrome::Lead::symbol, "exclamationmark.triangle.fill", 6, {NmColor::warning, 0.14},
         {NmColor::warning, 0.55}, "Retry the deploy from scratch"},
        {PillFace::live, PillChrome::Lead::dot, "", 6, {NmColor::success, 0.14}, {NmColor::success, 0.55}, ""},
    };
    for (const Row &row : rows) {
        const PillChrome chrome = pillChrome(row.face);
        SCOPED_TRACE(int(row.face));
        EXPECT_EQ(chrome.lead, row.lead);
        EXPECT_EQ(chrome.symbol, QString::fromUtf8(row.symbol));
        EXPECT_EQ(chrome.spacing, row.spacing);
        EXPECT_EQ(chrome.fill, row.fill);
        EXPECT_EQ(chrome.stroke, row.stroke);
        EXPECT_EQ(chrome.help, QString::fromUtf8(row.help));
        EXPECT_EQ(chrome.ringTurns, row.face == PillFace::inProgress);
        EXPECT_EQ(chrome.chevron, row.face == PillFace::live);
    }
    EXPECT_EQ(pillChrome(PillFace::stuck).leadTint, Tint{NmColor::warning});
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
    EXPECT_EQ(cardKind(deployPane, deployPane, Phase::envVarChecklist(R)), CardKind::envChecklist);
    EXPECT_EQ(cardKind(deployPane, deployPane, Phase::customDomainInput(snap)), CardKind::domainInput);
    EXPECT_EQ(cardKind(deployPane, deployPane, Phase::customDomainVerifying(snap, QStringLiteral("a.com"), {}, 30)),
              CardKind::domainVerify);
    for (const Phase &quiet : {Phase::live(QStringLiteral("u"), std::nullopt), Phase::stuck(QStringLiteral("r")),
                               Phase::customDomainVerified(QStringLiteral("a.com")), Phase::preparing(),
                               Phase::buildingFrontend(V), Phase::idle(), Phase::cancelled()})
        EXPECT_EQ(cardKind(deployPane, deployPane, quiet), CardKind::none) << quiet.debugDescription().toStdString();
}

TEST(DeployLook, PasteCardsLookAndSubmitRules)
{
    const Phase token = Phase::awaitingToken(QStringLiteral("VERCEL_TOKEN"), QStringLiteral("Why & how"), std::nullopt);
    const PasteCardLook t = pasteCardLook(CardKind::token, token, QString());
    EXPECT_EQ(t.symbol, QStringLiteral("key.horizontal"));
    EXPECT_EQ(t.explanation, QStringLiteral("Why & how"));
    EXPECT_EQ(t.label, QStringLiteral("VERCEL_TOKEN="));
    EXPECT_EQ(t.placeholder, QString());
    EXPECT_EQ(t.submitTitle, QStringLiteral("Submit"));
    EXPECT_FALSE(t.submitEnabled);
    EXPECT_EQ(t.closeHelp, QStringLiteral("Cancel the deploy. You can retry once you have the token."));
    EXPECT_TRUE(t.bottomRule);
    EXPECT_TRUE(pasteCardLook(CardKind::token, token, QStringLiteral("   ")).submitEnabled);

    const PasteCardLook s =
        pasteCardLook(CardKind::secret, Phase::awaitingSecret(QStringLiteral("STRIPE_KEY"), QStringLiteral("e")), "x");
    EXPECT_EQ(s.symbol, QStringLiteral("lock.rectangle.on.rectangle"));
    EXPECT_EQ(s.label, QStringLiteral("STRIPE_KEY="));
    EXPECT_TRUE(s.closeHelp.isEmpty());
    EXPECT_FALSE(s.bottomRule);
    EXPECT_TRUE(s.submitEnabled);

    // An empty draft sends nothing; a pasted token loses its surrounding white
    // space, but a blank one is sent as typed; a secret is always sent as typed.
    EXPECT_EQ(pasteSubmission(CardKind::token, QString()), std::nullopt);
    EXPECT_EQ(pasteSubmission(CardKind::token, QStringLiteral(" tok_1\n")), QStringLiteral("tok_1"));
    EXPECT_EQ(pasteSubmission(CardKind::token, QStringLiteral("   ")), QStringLiteral("   "));
    EXPECT_EQ(pasteSubmission(CardKind::secret, QStringLiteral(" s 1 ")), QStringLiteral(" s 1 "));
    EXPECT_EQ(pasteSubmission(CardKind::secret, QString()), std::nullopt);
}

TEST(DeployLook, ChecklistTextsDecisionsAndAWayOnAfterTheAgentExits)
{
    ASSERT_EQ(envChoiceSegments().size(), 3);
    EXPECT_EQ(envChoiceSegments()[0].label, QStringLiteral("Send to prod"));
    EXPECT_EQ(envChoiceSegments()[0].tag, QStringLiteral("send"));
    EXPECT_EQ(envChoiceSegments()[1].label, QStringLiteral("Skip"));
    EXPECT_EQ(envChoiceSegments()[1].tag, QStringLiteral("skip"));
    EXPECT_EQ(envChoiceSegments()[2].label, QStringLiteral("Use different value"));
    EXPECT_EQ(envChoiceSegments()[2].tag, QStringLiteral("custom"));

    const ChecklistLook empty = checklistLook(R, {}, {});
    EXPECT_EQ(empty.symbol, QStringLiteral("checklist"));
    EXPECT_EQ(empty.title, QStringLiteral("Review env vars for Railway"));
    EXPECT_EQ(empty.lead,
              QStringLiteral("Pick which values ship to production. Skip anything that's only for local development."));
    EXPECT_TRUE(empty.showsEmptyLine);
    EXPECT_EQ(empty.emptyLine, QStringLiteral("Nerim didn't find a .env file. Continuing without env vars."));
    EXPECT_EQ(empty.buttonTitle, QStringLiteral("Continue"));
    // A .env too large to read is not a missing one.
    const ChecklistLook tooLarge = checklistLook(R, {}, {}, true);
    EXPECT_TRUE(tooLarge.showsEmptyLine);
    EXPECT_EQ(tooLarge.emptyLine,
              QStringLiteral("Nerim didn't read the .env file: it is larger than 1 MiB. Continuing without env vars."));
    EXPECT_EQ(tooLarge.buttonTitle, QStringLiteral("Continue"));
    const ChecklistLook listed = checklistLook(V, {QStringLiteral("A")}, {});
    EXPECT_FALSE(listed.showsEmptyLine);
    EXPECT_EQ(listed.buttonTitle, QStringLiteral("Apply and continue"));
    // A close mark only on the checklist opened from the Live menu: during a
    // deploy the deploy waits on it.
    EXPECT_FALSE(listed.closable);
    EXPECT_FALSE(empty.closable);
    EXPECT_TRUE(checklistLook(V, {QStringLiteral("A")}, {}, false, true).closable);
    EXPECT_TRUE(checklistLook(V, {}, {true, true}, true, true).closable);

    // The button waits only while the agent still runs after an answer.
    struct Way {
        bool answered, running, enabled;
    };
    for (const Way way : {Way{false, false, true}, Way{false, true, true}, Way{true, true, false}, Way{true, false, true}})
        EXPECT_EQ(checklistLook(V, {}, {way.answered, way.running}).buttonEnabled, way.enabled)
            << way.answered << way.running;

    const QStringList names{QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C"), QStringLiteral("D"),
                            QStringLiteral("E")};
    const QMap<QString, QString> decisions{{QStringLiteral("B"), QStringLiteral("skip")},
                                           {QStringLiteral("C"), QStringLiteral("custom")},
                                           {QStringLiteral("D"), QStringLiteral("custom")},
                                           {QStringLiteral("E"), QStringLiteral("skip")},
                                           {QStringLiteral("gone"), QStringLiteral("custom")}};
    const QMap<QString, QString> drafts{{QStringLiteral("C"), QStringLiteral(" v&1 ")},
                                        {QStringLiteral("E"), QStringLiteral("held, not sent")},
                                        {QStringLiteral("gone"), QStringLiteral("x")}};
    EXPECT_EQ(resolvedDecisions(names, decisions, drafts),
              (QMap<QString, QString>{{QStringLiteral("A"), QStringLiteral("send")},
                                      {QStringLiteral("B"), QStringLiteral("skip")},
                                      {QStringLiteral("C"), QStringLiteral("custom: v&1 ")},
                                      {QStringLiteral("D"), QStringLiteral("skip")},
                                      {QStringLiteral("E"), QStringLiteral("skip")}}));
    EXPECT_TRUE(resolvedDecisions({}, decisions, drafts).isEmpty());
    EXPECT_TRUE(showsCustomField(rowDecision(decisions, QStringLiteral("C"))));
    EXPECT_FALSE(showsCustomField(rowDecision(decisions, QStringLiteral("A"))));
}

TEST(DeployLook, DomainCardsTextsAndSubmission)
{
    const DomainInputLook input = domainInputLook(QString());
    EXPECT_EQ(input.symbol, QStringLiteral("globe"));
    EXPECT_EQ(input.title, QStringLiteral("Add a custom domain"));
    EXPECT_EQ(input.lead, QStringLiteral("Type the domain you already own. Nerim will show you the DNS records to add "
                                         "at your registrar."));
    EXPECT_EQ(input.buttonTitle, QStringLiteral("Fetch DNS records"));
    EXPECT_EQ(input.placeholder, input.placeholder.toLower());
    EXPECT_FALSE(input.buttonEnabled);
    for (const char *no : {"", "   ", "shop", ".shop"}) {
        EXPECT_FALSE(domainInputLook(QString::fromUtf8(no)).buttonEnabled) << no;
        EXPECT_EQ(domainSubmission(QString::fromUtf8(no)), std::nullopt) << no;
    }
    EXPECT_TRUE(domainInputLook(QStringLiteral("shop..example")).buttonEnabled);
    EXPECT_EQ(domainSubmission(QStringLiteral("  Shop.Example.COM \n")), QStringLiteral("shop.example.com"));
    EXPECT_EQ(domainSubmission(QStringLiteral("shop.example.")), QStringLiteral("shop.example."));

    const DomainVerifyLook verify = domainVerifyLook(QStringLiteral("shop.example.com"), 30);
    EXPECT_EQ(verify.title, QStringLiteral("Add these DNS records at your registrar for shop.example.com"));
    EXPECT_EQ(verify.lead,
              QStringLiteral("DNS propagation usually takes 1\u20135 minutes. Nerim is checking every 10 seconds."));
    EXPECT_EQ(verify.checkingLine, QStringLiteral("Checking DNS\u2026 (30 attempts remaining)"));
    EXPECT_EQ(domainVerifyLook(QString(), 1).checkingLine, QStringLiteral("Checking DNS\u2026 (1 attempts remaining)"));
    EXPECT_EQ(domainVerifyLook(QString(), 0).checkingLine, QStringLiteral("Checking DNS\u2026 (0 attempts remaining)"));
}

TEST(DeployLook, PickerRowsFooterAndCommitTitleForEverySelection)
{
    const QList<PickerRow> &rows = pickerRows();
    ASSERT_EQ(rows.size(), 3);
    const char *expected[3][5] = {
        {"vercel", "Vercel", "Frontend hosting", "Next.js, Vite, static", "triangle.fill"},
        {"railway", "Railway", "Frontend hosting", "Node, Python, Docker", "tram.fill"},
        {"supabase", "Supabase", "Backend / DB / Auth", "Postgres, Auth, Storage", "bolt.fill"},
    };
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(rows[i].provider.rawValue(), QString::fromUtf8(expected[i][0]));
        EXPECT_EQ(rows[i].name, QString::fromUtf8(expected[i][1]));
        EXPECT_EQ(rows[i].tag, QString::fromUtf8(expected[i][2]));
        EXPECT_EQ(rows[i].tagLine, QString::fromUtf8(expected[i][3]));
        EXPECT_EQ(rows[i].symbol, QString::fromUtf8(expected[i][4]));
    }

    struct Selection {
        QSet<DeployProvider> checked;
        const char *footer;
        const char *title;
    };
    const Selection table[] = {
        {{}, "Pick at least one destination.", "Deploy"},
        {{V}, "Deploy to Vercel.", "Deploy to Vercel"},
        {{R}, "Deploy to Railway.", "Deploy to Railway"},
        {{S}, "Deploy to Supabase.", "Deploy to Supabase"},
        {{V, R}, "Deploy in this order: Railway \u2192 Vercel.", "Deploy to 2 services"},
        {{V, S}, "Deploy in this order: Supabase \u2192 Vercel.", "Deploy to 2 services"},
        {{R, S}, "Deploy in this order: Supabase \u2192 Railway.", "Deploy to 2 services"},
        {{V, R, S}, "Deploy in this order: Supabase \u2192 Railway \u2192 Vercel.", "Deploy to 3 services"},
    };
    for (const Selection &row : table) {
        SCOPED_TRACE(row.footer);
        EXPECT_EQ(orderHint(row.checked), QString::fromUtf8(row.footer));
        const CommitButtonLook commit = commitButtonLook(row.checked);
        EXPECT_EQ(commit.title, QString::fromUtf8(row.title));
        EXPECT_EQ(commitTitle(row.checked), QString::fromUtf8(row.title));
        // Any non-empty set may be deployed, Supabase alone included.
        EXPECT_EQ(commit.enabled, !row.checked.isEmpty());
        EXPECT_EQ(canCommitPicker(row.checked), !row.checked.isEmpty());
        EXPECT_EQ(commit.text, row.checked.isEmpty() ? Tint{NmColor::inkTertiary} : Tint{white});
        EXPECT_EQ(commit.fill, row.checked.isEmpty() ? (Tint{NmColor::hairline, 0.35}) : Tint{NmColor::ink});
    }

    const ProviderRowLook on = providerRowLook(true);
    EXPECT_EQ(on.indicator, QStringLiteral("checkmark.circle.fill"));
    EXPECT_EQ(on.indicatorTint, Tint{NmColor::accent});
    EXPECT_EQ(on.fill, (Tint{NmColor::accentSoft, 0.35}));
    EXPECT_EQ(on.stroke, (Tint{NmColor::accent, 0.75}));
    EXPECT_EQ(on.strokeWidth, 1.25);
    const ProviderRowLook off = providerRowLook(false);
    EXPECT_EQ(off.indicator, QStringLiteral("circle"));
    EXPECT_EQ(off.indicatorTint, Tint{NmColor::inkTertiary});
    EXPECT_EQ(off.fill, (Tint{NmColor::paperBright, 0.9}));
    EXPECT_EQ(off.stroke, (Tint{NmColor::hairline, 0.55}));
    EXPECT_EQ(off.strokeWidth, 0.75);

    // Seeding: the launch command picks the host, the dependencies add Supabase.
    EXPECT_EQ(pickerSeed(QString(), {}), QSet<DeployProvider>{V});
    EXPECT_EQ(pickerSeed(QStringLiteral("UVICORN main:app"), {}), QSet<DeployProvider>{R});
    EXPECT_EQ(pickerSeed(QStringLiteral("./run.sh"), {}), QSet<DeployProvider>{R});
    EXPECT_EQ(pickerSeed(QStringLiteral("npx vite"), {QStringLiteral("supabase")}), (QSet<DeployProvider>{V, S}));
    EXPECT_EQ(pickerSeed(QStringLiteral("node server.js"), {QStringLiteral("@supabase/supabase-js")}),
              (QSet<DeployProvider>{R, S}));
    EXPECT_EQ(pickerSeed(QString(), {QStringLiteral("@supabase/ssr")}), QSet<DeployProvider>{V});
}

TEST(DeployLook, LiveMenuItemsAndRollbackTitles)
{
    EXPECT_EQ(menuTitle(QStringLiteral("R&D")), QStringLiteral("R&&D"));
    EXPECT_TRUE(isOpenableLiveURL(QStringLiteral("https://shop.vercel.app")));
    EXPECT_TRUE(isOpenableLiveURL(QStringLiteral("HTTP://shop.example.com/x")));
    for (const char *bad : {"file:///etc/passwd", "javascript:alert(1)", "shop.vercel.app", "ssh://host", ""})
        EXPECT_FALSE(isOpenableLiveURL(QString::fromUtf8(bad))) << bad;

    DeployConfig saved;
    saved.providers = {R};
    EXPECT_EQ(redeployProviders(std::nullopt, saved), QList<DeployProvider>{R});
    EXPECT_EQ(redeployProviders(std::nullopt, std::nullopt), QList<DeployProvider>{V});

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
    const auto candidates = DeployHistoryEntry::earlierDeployments(live, live.last().deploymentID, 6);
    // Six at most, without the one that has no id and the newest, which is live now.
    ASSERT_EQ(candidates.size(), 6);
    EXPECT_EQ(candidates.first().deploymentID, QStringLiteral("dpl_1"));
    EXPECT_EQ(rollbackTitle(candidates.first()),
              QStringLiteral("2026-12-07T10:01 \u00B7 supabase+vercel \u00B7 https://a-very-long-preview-name-for-the\u2026"));

    // Cut after 40 user-perceived characters: 40 stay whole, 41 lose one, an
    // emoji of two UTF-16 units (or a flag of four) is never split.
    DeployHistoryEntry entry;
    entry.timestamp = QStringLiteral("2026-12-07T10:00:00Z");
    entry.providers = {QStringLiteral("vercel")};
    const QString forty = QStringLiteral("https://") + QString(32, QLatin1Char('a'));
    entry.frontendURL = forty;
    EXPECT_TRUE(rollbackTitle(entry).endsWith(forty));
    entry.frontendURL = forty + QLatin1Char('b');
    EXPECT_TRUE(rollbackTitle(entry).endsWith(forty + QChar(0x2026)));
    const QString emojiURL = QStringLiteral("https://") + QString(31, QLatin1Char('a')) + QStringLiteral("\U0001F680");
    entry.frontendURL = emojiURL + QStringLiteral("\U0001F1EB\U0001F1F7x");
    EXPECT_TRUE(rollbackTitle(entry).endsWith(emojiURL + QChar(0x2026)));
    entry.frontendURL = emojiURL; // 40 characters, 41 UTF-16 units: whole
    EXPECT_TRUE(rollbackTitle(entry).endsWith(emojiURL));
    entry.frontendURL.reset();
    EXPECT_EQ(rollbackTitle(entry), QStringLiteral("2026-12-07T10:00 \u00B7 vercel \u00B7 (no URL)"));

    struct Expected {
        const char *section, *id, *title, *symbol;
    };
    const Expected expected[] = {
        {"Actions", "open", "Open live URL", "arrow.up.right.square"},
        {"Actions", "copy", "Copy URL", "doc.on.doc"},
        {"Actions", "redeploy", "Redeploy", "arrow.clockwise.circle"},
        {"Actions", "transcript", "View deploy transcript", "text.append"},
        {"Env & domain", "env", "Env vars", "key.horizontal"},
        {"Env & domain", "domain", "Add custom domain", "globe"},
        {"Env & domain", "push", "Also deploy when I push to main", "arrow.triangle.branch"},
        {"Danger zone", "rollback", "Roll back to earlier deploy", "arrow.uturn.backward.circle"},
        {"Danger zone", "unpin", "Unpin (hide Live pill)", "pin.slash"},
    };
    const auto items = liveMenuItems(true, candidates);
    ASSERT_EQ(items.size(), 9);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(items[i].section, QString::fromUtf8(expected[i].section));
        EXPECT_EQ(items[i].id, QString::fromUtf8(expected[i].id));
        EXPECT_EQ(items[i].title, QString::fromUtf8(expected[i].title));
        EXPECT_EQ(items[i].symbol, QString::fromUtf8(expected[i].symbol));
        EXPECT_EQ(items[i].destructive, i == 8);
    }
    EXPECT_EQ(items[6].kind, LiveMenuItem::Kind::toggle);
    EXPECT_TRUE(items[6].checked);
    EXPECT_EQ(items[7].kind, LiveMenuItem::Kind::submenu);
    EXPECT_EQ(items[7].entries, candidates);
    EXPECT_FALSE(liveMenuItems(false, candidates)[6].checked);

    const auto none = liveMenuItems(false, {});
    EXPECT_EQ(none[7].kind, LiveMenuItem::Kind::disabled);
    EXPECT_EQ(none[7].title, QStringLiteral("Roll back \u2014 no earlier deploys yet"));
    const auto one = liveMenuItems(false, candidates.mid(0, 1));
    EXPECT_EQ(one[7].kind, LiveMenuItem::Kind::submenu);
    ASSERT_EQ(one[7].entries.size(), 1);
    EXPECT_EQ(one[7].entries.first().deploymentID, QStringLiteral("dpl_1"));
}

// The Roll back submenu offers earlier deployments only: never the one live
// now (also when a rollback's line names it again), each deployment once, and
// a live deploy whose id was never printed still hides nothing before it.
TEST(DeployLook, RollbackChoicesAreEarlierDeploymentsOncePerID)
{
    const auto line = [](const char *minute, const char *id, const char *kind) {
        DeployHistoryEntry entry;
        entry.timestamp = QStringLiteral("2026-12-08T00:%1:10Z").arg(QLatin1String(minute));
        entry.providers = {QStringLiteral("vercel")};
        entry.frontendURL = QStringLiteral("https://shop.vercel.app");
        if (*id)
            entry.deploymentID = QString::fromUtf8(id);
        entry.outcome = QStringLiteral("live");
        entry.kind = QString::fromUtf8(kind);
        return entry;
    };
    const auto ids = [](const QList<DeployHistoryEntry> &entries) {
        QStringList result;
        for (const DeployHistoryEntry &entry : entries)
            result.append(entry.deploymentID.value_or(QString()));
        return result;
    };
    // The live lines as the history holds them, oldest first; the newest is live now.
    const auto rollbackChoices = [](const QList<DeployHistoryEntry> &lines) {
        return DeployHistoryEntry::earlierDeployments(
            lines, lines.isEmpty() ? std::nullopt : lines.last().deploymentID, 6);
    };
    const DeployHistoryEntry fresh = line("50", "dpl_a", "fresh");
    const DeployHistoryEntry redeploy = line("52", "dpl_b", "redeploy");
    const DeployHistoryEntry backToA = line("54", "dpl_a", "rollback");

    EXPECT_TRUE(rollbackChoices({}).isEmpty());
    EXPECT_TRUE(rollbackChoices({fresh}).isEmpty()); // only the deploy live now
    EXPECT_EQ(ids(rollbackChoices({fresh, redeploy})), QStringList{QStringLiteral("dpl_a")});
    // fresh → redeploy → roll back to the first: only the redeploy is earlier.
    EXPECT_EQ(ids(rollbackChoices({fresh, redeploy, backToA})), QStringList{QStringLiteral("dpl_b")});
    // Back and forth: each deployment once, by its newest line, never the live one.
    const DeployHistoryEntry backToB = line("56", "dpl_b", "rollback");
    const DeployHistoryEntry again = line("58", "dpl_a", "rollback");
    const QList<DeployHistoryEntry> pingPong = rollbackChoices({fresh, redeploy, backToA, backToB, again});
    ASSERT_EQ(pingPong.size(), 1);
    EXPECT_EQ(pingPong.first(), backToB);
    // Two lines of one deployment with the same time make one title, not two.
    EXPECT_EQ(ids(rollbackChoices({fresh, fresh, redeploy})), QStringList{QStringLiteral("dpl_a")});
    // The deploy live now printed no id: the earlier ones are all offered.
    EXPECT_EQ(ids(rollbackChoices({fresh, redeploy, line("59", "", "redeploy")})),
              (QStringList{QStringLiteral("dpl_a"), QStringLiteral("dpl_b")}));
    // At most the six newest earlier deployments.
    QList<DeployHistoryEntry> many{line("40", "dpl_old", "fresh")};
    for (const char *id : {"dpl_1", "dpl_2", "dpl_3", "dpl_4", "dpl_5", "dpl_6", "dpl_7"})
        many.append(line("41", id, "redeploy"));
    EXPECT_EQ(ids(rollbackChoices(many)), (QStringList{QStringLiteral("dpl_1"), QStringLiteral("dpl_2"),
                                                        QStringLiteral("dpl_3"), QStringLiteral("dpl_4"),
                                                        QStringLiteral("dpl_5"), QStringLiteral("dpl_6")}));
    // Two deployments of one minute at one address: their titles name their ids.
    DeployHistoryEntry second = line("58", "dpl_b", "rollback");
    DeployHistoryEntry third = line("58", "dpl_c", "redeploy");
    const QStringList twins = rollbackTitles({second, third, line("30", "dpl_d", "fresh")});
    ASSERT_EQ(twins.size(), 3);
    EXPECT_NE(twins[0], twins[1]);
    EXPECT_TRUE(twins[0].endsWith(QStringLiteral(" \u00B7 dpl_b"))) << twins[0].toStdString();
    EXPECT_TRUE(twins[1].endsWith(QStringLiteral(" \u00B7 dpl_c"))) << twins[1].toStdString();
    EXPECT_EQ(twins[2], rollbackTitle(line("30", "dpl_d", "fresh"))); // alone: as it was
    // The menu's titles are distinct.
    const auto items = liveMenuItems(false, rollbackChoices({fresh, fresh, redeploy, backToA, backToB, again}));
    QSet<QString> titles;
    for (const DeployHistoryEntry &entry : items[7].entries)
        titles.insert(rollbackTitle(entry));
    EXPECT_EQ(titles.size(), items[7].entries.size());
}
