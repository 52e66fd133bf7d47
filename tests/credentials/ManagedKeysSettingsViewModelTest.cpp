#include "CredentialsFixture.h"
#include "LoopbackHttpServer.h"
#include "TestAsync.h"
#include "credentials/ManagedKeysSettingsViewModel.h"

#include <QLocale>
#include <gtest/gtest.h>

using namespace nerim;
using nerim::test::LoopbackHttpServer;
using Model = ManagedKeysSettingsViewModel;
using Result = Model::VerifyResult;
using ModeKind = CredentialMode::Kind;

namespace {

class AccountTab : public test::CredentialsFixture {
protected:
    void SetUp() override
    {
        CredentialsFixture::SetUp();
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        qputenv("NERIM_PROXY_BASE", proxy.baseUrl().toString().toUtf8());
    }

    void save(const QString &pasted)
    {
        model.setPastedToken(pasted);
        test::await(model.saveAndVerify());
    }

    LoopbackHttpServer proxy;
    Model model;
};

} // namespace

TEST_F(AccountTab, ModeTexts)
{
    struct Row {
        std::optional<QByteArray> token;
        QString ownKey;
        ModeKind mode;
        const char *name;
        const char *heading;
        const char *placeholder;
        bool signOut;
    };
    const Row rows[] = {
        {QByteArray("tok"), QStringLiteral("sk"), ModeKind::managed, "Managed by Nerim", "Replace session token",
         "Paste a fresh Nerim session token", true},
        {std::nullopt, QStringLiteral("sk"), ModeKind::byok, "Bring your own key", "Switch to managed keys",
         "Paste your Nerim session token", false},
        {std::nullopt, QString(), ModeKind::none, "Not configured", "", "Paste your Nerim session token", false},
    };
    for (const auto &row : rows) {
        keyring->items.clear();
        if (row.token)
            keyring->setToken(*row.token);
        credentials_testing::setCachedAnthropicKey(row.ownKey);
        test::await(model.refreshMode());
        EXPECT_EQ(model.mode(), row.mode);
        EXPECT_EQ(model.modeLine(), QStringLiteral("Current mode: ") + QString::fromUtf8(row.name));
        EXPECT_EQ(model.sectionHeading(), QString::fromUtf8(row.heading));
        EXPECT_EQ(model.tokenPlaceholder(), QString::fromUtf8(row.placeholder));
        EXPECT_EQ(model.showsSignOut(), row.signOut);
    }
    EXPECT_TRUE(model.modeDescription().startsWith(QStringLiteral("Nerim has no credentials configured.")));
}

TEST_F(AccountTab, SaveNeedsNonBlankText)
{
    for (const char *text : {"", "   ", "\n\t"}) {
        model.setPastedToken(QString::fromUtf8(text));
        EXPECT_FALSE(model.canSave()) << text;
        test::await(model.saveAndVerify());
    }
    EXPECT_EQ(keyring->adds, 0);
    EXPECT_EQ(model.refreshTick(), 0);
    model.setPastedToken(QStringLiteral(" tok "));
    EXPECT_TRUE(model.canSave());
}

TEST_F(AccountTab, VerifiedTokenShowsTheBalance)
{
    proxy.enqueue(LoopbackHttpServer::Reply::json(200, R"({"balance": 12345})"));
    save(QStringLiteral("  tok-new\n"));
    EXPECT_EQ(keyring->token(), QByteArray("tok-new"));
    EXPECT_EQ(proxy.requests().at(0).header("authorization"), "Bearer tok-new");
    EXPECT_EQ(model.lastResult(), Result::success(12345));
    EXPECT_EQ(model.resultTitle(), QStringLiteral("Session verified. Managed keys are active."));
    EXPECT_EQ(model.resultDetail(), QStringLiteral("Current balance: 12,345 credits"));
    EXPECT_EQ(model.pastedToken(), QString());
    EXPECT_EQ(model.mode(), ModeKind::managed);
    EXPECT_FALSE(model.isVerifying());
    EXPECT_EQ(model.refreshTick(), 1);

    proxy.enqueue(LoopbackHttpServer::Reply::json(402, "{}"));
    save(QStringLiteral("tok-new"));
    EXPECT_EQ(model.resultDetail(), QStringLiteral("Current balance: 0 credits"));
    EXPECT_EQ(proxy.requestCount(), 2); // no repeat detection here
}

TEST_F(AccountTab, RejectedTokenRestoresThePreviousCredential)
{
    const struct {
        std::optional<QByteArray> previous;
        QString ownKey;
        ModeKind modeAfter;
    } rows[] = {
        {QByteArray("old"), QString(), ModeKind::managed},
        {std::nullopt, QStringLiteral("sk-own"), ModeKind::byok},
        {std::nullopt, QString(), ModeKind::none},
    };
    for (const auto &row : rows) {
        keyring->items.clear();
        if (row.previous)
            keyring->setToken(*row.previous);
        credentials_testing::setCachedAnthropicKey(row.ownKey);
        proxy.enqueue(LoopbackHttpServer::Reply::json(401, "{}"));
        const int tick = model.refreshTick();
        save(QStringLiteral("bad"));
        EXPECT_EQ(keyring->token(), row.previous);
        EXPECT_EQ(model.lastResult(), Result::failure(QStringLiteral("Session token was rejected. Ask Kest for a fresh token.")));
        EXPECT_EQ(model.pastedToken(), QStringLiteral("bad"));
        EXPECT_EQ(model.mode(), row.modeAfter);
        EXPECT_EQ(model.refreshTick(), tick + 2);
    }
}

TEST_F(AccountTab, FailedRestoreIsShown)
{
    keyring->setToken("old");
    // The probe's reply arrives after the keyring has stopped taking writes.
    proxy.setHandler([this](const LoopbackHttpServer::Request &) {
        keyring->failWrite = platform::SecretStore::Status::serviceUnavailable;
        return LoopbackHttpServer::Reply::json(503, "{}");
    });
    save(QStringLiteral("new"));
    EXPECT_EQ(model.lastResult().kind(), Result::Kind::failure);
    EXPECT_TRUE(model.resultTitle().startsWith(QStringLiteral("Nerim proxy is temporarily unavailable. Try again in a minute.")));
    EXPECT_TRUE(model.resultTitle().contains(QStringLiteral("could not be put back"))) << model.resultTitle().toStdString();
}

TEST_F(AccountTab, RefusedWriteLeavesEverythingElse)
{
    keyring->failWrite = platform::SecretStore::Status::failure;
    save(QStringLiteral("tok"));
    EXPECT_EQ(model.lastResult().kind(), Result::Kind::failure);
    EXPECT_TRUE(model.resultTitle().contains(QStringLiteral("system keyring refused the write")));
    EXPECT_EQ(model.pastedToken(), QStringLiteral("tok"));
    EXPECT_EQ(model.refreshTick(), 0);
    EXPECT_FALSE(model.isVerifying());
    EXPECT_EQ(proxy.requestCount(), 0);
}

TEST_F(AccountTab, CancelAndSignOut)
{
    keyring->setToken("tok");
    credentials_testing::setCachedAnthropicKey(QStringLiteral("sk-own"));
    proxy.enqueue(LoopbackHttpServer::Reply::json(401, "{}"));
    save(QStringLiteral("bad"));
    ASSERT_TRUE(model.showsResult());

    model.cancelEditing();
    EXPECT_FALSE(model.showsResult());
    EXPECT_EQ(model.pastedToken(), QString());
    EXPECT_EQ(keyring->token(), QByteArray("tok"));

    proxy.enqueue(LoopbackHttpServer::Reply::json(401, "{}"));
    save(QStringLiteral("bad"));
    test::await(model.signOut());
    EXPECT_EQ(keyring->token(), std::nullopt);
    EXPECT_FALSE(model.showsResult());
    EXPECT_EQ(model.pastedToken(), QString());
    EXPECT_EQ(model.mode(), ModeKind::byok);
    EXPECT_FALSE(model.showsSignOut());
}
