#include "deploy/DeployProvider.h"
#include "deploy/DeploySessionState.h"

#include <QSet>
#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace nerim;

TEST(DeployProvider, RawValuesAndTokenVariablesRoundTrip)
{
    struct Case {
        DeployProvider provider;
        const char *raw;
        const char *token;
    };
    const Case cases[] = {
        {DeployProvider::vercel, "vercel", "VERCEL_TOKEN"},
        {DeployProvider::railway, "railway", "RAILWAY_TOKEN"},
        {DeployProvider::supabase, "supabase", "SUPABASE_ACCESS_TOKEN"},
    };
    ASSERT_EQ(DeployProvider::allCases().size(), 3);
    for (int i = 0; i < 3; ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.raw);
        EXPECT_EQ(DeployProvider::allCases().at(i), c.provider);
        EXPECT_EQ(c.provider.rawValue(), QLatin1String(c.raw));
        EXPECT_EQ(c.provider.tokenVariable(), QLatin1String(c.token));
        EXPECT_EQ(DeployProvider::fromRaw(QLatin1String(c.raw)), c.provider);
    }
    // Stored values are matched exactly.
    EXPECT_FALSE(DeployProvider::fromRaw(QStringLiteral("Vercel")));
    EXPECT_FALSE(DeployProvider::fromRaw(QStringLiteral(" railway")));
    EXPECT_FALSE(DeployProvider::fromRaw(QString()));

    // Usable as a set element, the way provider choices are collected.
    const QSet<DeployProvider> chosen{DeployProvider::supabase, DeployProvider::vercel, DeployProvider::supabase};
    EXPECT_EQ(chosen.size(), 2);
    EXPECT_TRUE(chosen.contains(DeployProvider::vercel));
    EXPECT_FALSE(chosen.contains(DeployProvider::railway));
}

TEST(DeploySessionState, StartsIdleWithoutPaneContextOrTextsAndNotifiesOnlyOnChange)
{
    DeploySessionState state;
    EXPECT_EQ(state.phase(), DeploySessionState::Phase::idle());
    EXPECT_FALSE(state.phase().isActive());
    EXPECT_FALSE(state.deployPaneID());
    EXPECT_FALSE(state.context());
    EXPECT_FALSE(state.lastProgressLine());
    EXPECT_FALSE(state.lastErrorText());
    EXPECT_FALSE(state.capturedBackendURL());
    EXPECT_FALSE(state.capturedBackendAnonKey());

    QSignalSpy pane(&state, &DeploySessionState::deployPaneIDChanged);
    QSignalSpy context(&state, &DeploySessionState::contextChanged);
    QSignalSpy phase(&state, &DeploySessionState::phaseChanged);

    const QUuid id = QUuid::createUuid();
    state.setDeployPaneID(id);
    state.setDeployPaneID(id);
    EXPECT_EQ(pane.count(), 1);
    state.setDeployPaneID(std::nullopt);
    EXPECT_EQ(pane.count(), 2);

    const DeployContext ctx{{DeployProvider::supabase, DeployProvider::vercel}, {QStringLiteral("DATABASE_URL")}};
    state.setContext(ctx);
    state.setContext(ctx);
    EXPECT_EQ(context.count(), 1);
    EXPECT_EQ(state.context(), ctx);
    state.setContext(DeployContext{{DeployProvider::vercel}, {QStringLiteral("DATABASE_URL")}});
    EXPECT_EQ(context.count(), 2);

    state.setPhase(DeploySessionState::Phase::idle());
    EXPECT_EQ(phase.count(), 0);
}
