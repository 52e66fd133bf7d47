#include "deploy/DeployContext.h"
#include "deploy/DeploySessionState.h"
#include "deploy/DeployTypes.h"

#include <QSet>
#include <gtest/gtest.h>

using namespace nerim;
using Phase = DeploySessionState::Phase;

TEST(DeployPhase, PillLabelsAndActivityOfEveryCase)
{
    const DeploySessionState::TerminalSnapshot snap{QStringLiteral("https://app.vercel.app"), std::nullopt};
    struct Case {
        Phase phase;
        const char16_t *label;
        bool active;
    };
    const Case cases[] = {
        {Phase::authenticating(DeployProvider::vercel), u"Signing in to Vercel\u2026", true},
        {Phase::awaitingToken(QStringLiteral("RAILWAY_TOKEN"), QString(), DeployProvider::railway),
         u"Waiting on Railway token", true},
        {Phase::awaitingToken(QStringLiteral("X"), QString(), std::nullopt), u"Waiting on provider token", true},
        {Phase::buildingBackend(DeployProvider::supabase), u"Provisioning Supabase\u2026", true},
        {Phase::backendReady(DeployProvider::supabase, QStringLiteral("u"), std::nullopt), u"Backend ready\u2026", true},
        {Phase::envVarChecklist(DeployProvider::vercel), u"Reviewing env vars\u2026", true},
        {Phase::awaitingSecret(QStringLiteral("STRIPE_KEY"), QString()), u"Waiting on STRIPE_KEY", true},
        {Phase::envUploaded(DeployProvider::vercel), u"Env uploaded\u2026", true},
        {Phase::buildingFrontend(DeployProvider::vercel), u"Building\u2026", true},
        {Phase::live(QStringLiteral("https://my-app.vercel.app/dash"), std::nullopt), u"Live \u00B7 my-app.vercel.app",
         false},
        {Phase::stuck(QStringLiteral("r")), u"Deploy stuck \u2014 Try again", false},
        {Phase::customDomainInput(snap), u"Add domain\u2026", true},
        {Phase::customDomainVerifying(snap, QStringLiteral("shop.example.com"), {}, 30),
         u"Verifying shop.example.com\u2026", true},
        {Phase::customDomainVerified(QStringLiteral("shop.example.com")), u"Live \u00B7 shop.example.com", false},
        {Phase::runningOperation(ProviderTask::rollback(QStringLiteral("d1"), QStringLiteral("t")),
                                 DeployProvider::vercel, snap),
         u"Rolling back\u2026", true},
        {Phase::runningOperation(ProviderTask::gitConnect(false), DeployProvider::vercel, snap),
         u"Connecting git\u2026", true},
        {Phase::runningOperation(ProviderTask::envVarUpdate({}), DeployProvider::railway, snap),
         u"Updating env vars\u2026", true},
        {Phase::idle(), u"Deploy", false},
        {Phase::cancelled(), u"Deploy", false},
        {Phase::preparing(), u"Deploying\u2026", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.phase.debugDescription().toStdString());
        EXPECT_EQ(c.phase.pillLabel(), QString::fromUtf16(c.label));
        EXPECT_EQ(c.phase.isActive(), c.active);
    }
    // Payloads take part in equality.
    EXPECT_NE(Phase::awaitingToken(QStringLiteral("A"), QString(), std::nullopt),
              Phase::awaitingToken(QStringLiteral("A"), QString(), DeployProvider::vercel));
    // The debug text never carries a backend key or an env-var decision value.
    const QString withKey =
        Phase::backendReady(DeployProvider::supabase, QStringLiteral("https://db"), QStringLiteral("anon-secret-key"))
            .debugDescription();
    EXPECT_FALSE(withKey.contains(QLatin1String("anon-secret-key")));
    const QString withValues = Phase::runningOperation(ProviderTask::envVarUpdate({{QStringLiteral("K"), QStringLiteral("custom:hunter22")}}),
                                                       DeployProvider::vercel, snap)
                                   .debugDescription();
    EXPECT_FALSE(withValues.contains(QLatin1String("hunter22")));
}

TEST(DeployProviderRules, ShapeSuggestionsAndOrder)
{
    using Shape = DeployProvider::ProjectShape;
    const std::pair<const char *, Shape> shapes[] = {
        {"npm run dev -- --port 3000 (next dev)", Shape::frontend},
        {"npx VITE", Shape::frontend},
        {"python3 -m http.server 8000", Shape::frontend},
        {"npx serve dist", Shape::frontend},
        {"npx serve public", Shape::unknown},
        {"node server.js", Shape::backendOrFullStack},
        {"uvicorn main:app", Shape::backendOrFullStack},
        {"./run.sh", Shape::backendOrFullStack},
        {"go run .", Shape::backendOrFullStack},
        {"cargo run --release", Shape::backendOrFullStack},
        // First rule wins: an express app served through vite counts as a front end.
        {"vite & express", Shape::frontend},
        {"", Shape::unknown},
        {"npm start", Shape::unknown},
    };
    for (const auto &[command, shape] : shapes) {
        SCOPED_TRACE(command);
        EXPECT_EQ(DeployProvider::classify(QString::fromUtf8(command)), shape);
    }

    using P = DeployProvider;
    EXPECT_EQ(P::suggestedProviders(Shape::frontend, {}), (QSet<P>{P::vercel}));
    EXPECT_EQ(P::suggestedProviders(Shape::unknown, {QStringLiteral("react")}), (QSet<P>{P::vercel}));
    EXPECT_EQ(P::suggestedProviders(Shape::backendOrFullStack, {QStringLiteral("@supabase/supabase-js")}),
              (QSet<P>{P::railway, P::supabase}));
    EXPECT_EQ(P::suggestedProviders(Shape::frontend, {QStringLiteral("supabase")}), (QSet<P>{P::vercel, P::supabase}));
    EXPECT_EQ(P::suggestedProviders(Shape::frontend, {QStringLiteral("supabase-helpers")}), (QSet<P>{P::vercel}));

    EXPECT_EQ(P::deployOrder({P::vercel, P::railway, P::supabase}), (QList<P>{P::supabase, P::railway, P::vercel}));
    EXPECT_EQ(P::deployOrder({P::vercel, P::supabase}), (QList<P>{P::supabase, P::vercel}));
    EXPECT_EQ(P::deployOrder({}), QList<P>{});

    EXPECT_EQ(P(P::railway).npmPackage(), QStringLiteral("@railway/cli"));
    EXPECT_EQ(P(P::supabase).displayName(), QStringLiteral("Supabase"));
    EXPECT_FALSE(P(P::supabase).isHosting());
}

TEST(DeployText, DisplayHostAndDomainPlausibility)
{
    EXPECT_EQ(displayHost(QStringLiteral("https://my-app.vercel.app/path?q=1")), QStringLiteral("my-app.vercel.app"));
    EXPECT_EQ(displayHost(QStringLiteral("http://localhost:3000")), QStringLiteral("localhost"));
    EXPECT_EQ(displayHost(QStringLiteral("my-app.up.railway.app/x")), QStringLiteral("my-app.up.railway.app"));
    EXPECT_EQ(displayHost(QString()), QString());

    for (const char *ok : {"example.com", "  Shop.Example.COM\n", "a..com", "a.com.", "xn--bcher-kva.de", "my-shop.co.uk"}) {
        SCOPED_TRACE(ok);
        EXPECT_TRUE(isPlausibleDomain(QString::fromUtf8(ok)));
    }
    for (const char *bad : {"", "localhost", ".com", "a.com; curl x | sh", "a.com/path", "https://a.com", "a b.com",
                            "$(id).com", "a.com`x`", "a_b.com"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(isPlausibleDomain(QString::fromUtf8(bad)));
    }
    EXPECT_EQ(cleanedDomain(QStringLiteral(" Shop.Example.com \n")), QStringLiteral("shop.example.com"));
}

TEST(DeployText, DomainRecordsFromTheAgentsJson)
{
    const auto records = DomainRecord::listFromJson(
        QStringLiteral(R"([{"type":"A","name":"@","value":"76.76.21.21","ttl":3600},)"
                       R"({"type":"CNAME","name":"www","value":"cname.vercel-dns.com"}])"));
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 2);
    EXPECT_EQ(records->at(0), (DomainRecord{QStringLiteral("A"), QStringLiteral("@"), QStringLiteral("76.76.21.21"), 3600}));
    EXPECT_EQ(records->at(1).ttl, std::nullopt);
    EXPECT_EQ(records->at(1).identity(), QStringLiteral("CNAME|www|cname.vercel-dns.com"));
    EXPECT_EQ(DomainRecord::listFromJson(QStringLiteral("[]")), QList<DomainRecord>{});
    for (const char *bad : {"", "{}", "[1]", R"([{"type":"A","name":"@"}])", R"([{"type":"A","name":"@","value":"v","ttl":"60"}])",
                            R"([{"type":"A","name":"@","value":"v","ttl":1.5}])"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(DomainRecord::listFromJson(QString::fromUtf8(bad)));
    }
}

TEST(DeployContextInputs, EnvNamesInFileOrderOnceAndDependencies)
{
    const QString env = QStringLiteral("# comment\nDATABASE_URL=postgres://x\nexport  STRIPE_KEY=sk\n\n"
                                       "  NEXT_PUBLIC_URL = http://a\nnot an assignment\n1BAD=x\nDATABASE_URL=again\n"
                                       "#COMMENTED=1\nEMPTY=\r\n");
    EXPECT_EQ(DeployContext::envVarNamesIn(env),
              (QStringList{QStringLiteral("DATABASE_URL"), QStringLiteral("STRIPE_KEY"), QStringLiteral("NEXT_PUBLIC_URL"),
                           QStringLiteral("EMPTY")}));
    EXPECT_EQ(DeployContext::dependencyNamesIn(
                  R"({"dependencies":{"react":"18","@supabase/supabase-js":"2"},"devDependencies":{"vite":"5"}})"),
              (QSet<QString>{QStringLiteral("react"), QStringLiteral("@supabase/supabase-js"), QStringLiteral("vite")}));
    EXPECT_TRUE(DeployContext::dependencyNamesIn("not json").isEmpty());
}

#include "deploy/DeployMarkers.h"

TEST(DeployMarkerLines, ParseSplitsAtTheFirstBarAndIgnoresProse)
{
    using K = DeployMarkers::Signal::Kind;
    using S = DeployMarkers::Signal;
    const std::pair<const char *, std::optional<S>> cases[] = {
        {"[NERIM_DEPLOY_NEED_TOKEN] VERCEL_TOKEN | to sign in to Vercel",
         S{K::needToken, "VERCEL_TOKEN", "to sign in to Vercel"}},
        {"> `[nerim_deploy_ask_secret]: STRIPE_KEY|Payments need it`", S{K::askSecret, "STRIPE_KEY", "Payments need it"}},
        {"[NERIM_DEPLOY_LIVE] https://a.vercel.app | https://b.supabase.co",
         S{K::live, "https://a.vercel.app", "https://b.supabase.co"}},
        {"[NERIM_DEPLOY_LIVE] https://a.vercel.app", S{K::live, "https://a.vercel.app", ""}},
        {"[NERIM_DEPLOY_STUCK]", S{K::stuck, "The Deploy agent didn't say why.", ""}},
        {"[NERIM_DEPLOY_ENV_OK]", S{K::envOK, "", ""}},
        {"[NERIM_DEPLOY_DOMAIN_RECORDS] a.com | [{\"type\":\"TXT\",\"name\":\"_v\",\"value\":\"x|y\"}]",
         S{K::domainRecords, "a.com", "[{\"type\":\"TXT\",\"name\":\"_v\",\"value\":\"x|y\"}]"}},
        {"[NERIM_DEPLOY_OPERATION_DONE] Rolled back", S{K::operationDone, "Rolled back", ""}},
        {"I will print [NERIM_DEPLOY_LIVE] when done", std::nullopt},
        {"[NERIM_DEPLOY_UNKNOWN] x", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto &[line, expected] : cases) {
        SCOPED_TRACE(line);
        EXPECT_EQ(DeployMarkers::parse(QString::fromUtf8(line)), expected);
    }
}
