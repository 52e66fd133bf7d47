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

TEST_F(AccountTab, ModeIsCheckingUntilTheFirstKeyringReadReturns)
{
    // A keyring that has not answered yet says nothing about the mode.
    EXPECT_EQ(model.modeLine(), QStringLiteral("Current mode: Checking\u2026"));
    EXPECT_FALSE(model.showsSignOut());
    EXPECT_EQ(model.sectionHeading(), QString());
    test::await(model.refreshMode());
    EXPECT_EQ(model.modeLine(), QStringLiteral("Current mode: Not configured"));
}

TEST_F(AccountTab, TokenOutsidePrintableAsciiIsRefusedBeforeTheKeyring)
{
    keyring->setToken("old");
    for (const QString &pasted : {QStringLiteral("abc\r\nX-Injected: yes"), QStringLiteral("tok en"),
                                  QStringLiteral("t\u00f6k"), QStringLiteral("tok\x7f")}) {
        save(pasted);
        EXPECT_EQ(model.lastResult(), Result::failure(QStringLiteral("Session token was rejected. Ask Kest for a fresh token.")));
        EXPECT_EQ(model.pastedToken(), pasted);
        EXPECT_FALSE(model.isVerifying());
    }
    EXPECT_EQ(keyring->adds + keyring->updates + keyring->removes, 0);
    EXPECT_EQ(keyring->token(), QByteArray("old"));
    EXPECT_EQ(proxy.requestCount(), 0);
}

TEST_F(AccountTab, UnreadableKeyringAbortsTheSaveBeforeAnyWrite)
{
    // A locked collection whose unlock prompt outlasts the time limit: the
    // stored token is unknown, so nothing may be written or cleared.
    keyring->setToken("working");
    keyring->failRead = platform::SecretStore::Status::serviceUnavailable;
    proxy.setDefaultReply(LoopbackHttpServer::Reply::json(401, "{}"));
    save(QStringLiteral("new"));
    EXPECT_EQ(keyring->token(), QByteArray("working"));
    EXPECT_EQ(keyring->adds + keyring->updates + keyring->removes, 0);
    EXPECT_EQ(proxy.requestCount(), 0);
    EXPECT_EQ(model.lastResult().kind(), Result::Kind::failure);
    EXPECT_TRUE(model.resultTitle().startsWith(QStringLiteral("Nerim couldn't read the system keyring"))) << model.resultTitle().toStdString();
    EXPECT_TRUE(model.resultTitle().contains(QStringLiteral("scripted failure")));
    EXPECT_EQ(model.pastedToken(), QStringLiteral("new"));
    EXPECT_FALSE(model.isVerifying());
}

TEST_F(AccountTab, KeyringCallsThatFailedAreReadBackBeforeDeciding)
{
    using Status = platform::SecretStore::Status;
    // The write is reported as timed out but the keyring carried it out: the
    // token is there and gets verified (and kept).
    keyring->setToken("old");
    keyring->failWrite = Status::serviceUnavailable;
    keyring->failedWritesLand = true;
    proxy.enqueue(LoopbackHttpServer::Reply::json(200, R"({"balance": 3})"));
    save(QStringLiteral("new"));
    EXPECT_EQ(model.lastResult(), Result::success(3));
    EXPECT_EQ(keyring->token(), QByteArray("new"));

    // Rejected: the restore is reported as timed out but was carried out too,
    // so no failed restore is reported.
    proxy.enqueue(LoopbackHttpServer::Reply::json(401, "{}"));
    save(QStringLiteral("bad"));
    EXPECT_EQ(keyring->token(), QByteArray("new"));
    EXPECT_EQ(model.lastResult(), Result::failure(QStringLiteral("Session token was rejected. Ask Kest for a fresh token.")));

    // Without a previous token the rejected one is cleared; a removal that
    // timed out but happened is no failure either.
    keyring->items.clear();
    keyring->failRemove = Status::serviceUnavailable;
    keyring->failedRemovesLand = true;
    proxy.enqueue(LoopbackHttpServer::Reply::json(401, "{}"));
    save(QStringLiteral("bad"));
    EXPECT_EQ(keyring->token(), std::nullopt);
    EXPECT_EQ(model.lastResult(), Result::failure(QStringLiteral("Session token was rejected. Ask Kest for a fresh token.")));

    // A write that really did not happen is reported as refused.
    keyring->setToken("old");
    keyring->failedWritesLand = false;
    save(QStringLiteral("new"));
    EXPECT_EQ(keyring->token(), QByteArray("old"));
    EXPECT_TRUE(model.resultTitle().contains(QStringLiteral("system keyring refused the write")));
}

TEST_F(AccountTab, ClosingTheTabWhileVerifyingStillRestoresThePreviousToken)
{
    for (const std::optional<QByteArray> &previous : {std::optional<QByteArray>("old"), std::optional<QByteArray>()}) {
        keyring->items.clear();
        if (previous)
            keyring->setToken(*previous);
        auto *closing = new Model;
        // The settings window is closed while the probe is out.
        proxy.setHandler([&closing](const LoopbackHttpServer::Request &) {
            delete std::exchange(closing, nullptr);
            return LoopbackHttpServer::Reply::json(401, "{}");
        });
        closing->setPastedToken(QStringLiteral("bad"));
        test::await(closing->saveAndVerify());
        EXPECT_EQ(closing, nullptr);
        EXPECT_EQ(keyring->token(), previous);
    }
}

TEST_F(AccountTab, SignOutCancelsAPendingVerification)
{
    for (const int status : {200, 401}) {
        SCOPED_TRACE(status);
        keyring->setToken("old");
        test::await(model.refreshMode());
        // The user signs out while the probe is out.
        std::optional<QCoro::Task<>> signingOut;
        proxy.setHandler([this, &signingOut, status](const LoopbackHttpServer::Request &) {
            signingOut.emplace(model.signOut());
            return LoopbackHttpServer::Reply::json(status, R"({"balance": 5})");
        });
        save(QStringLiteral("new"));
        // The sign-out's own removal may still be queued behind the save's
        // keyring calls: let it finish before judging what the keyring holds.
        ASSERT_TRUE(signingOut.has_value());
        test::await(std::move(*signingOut));
        EXPECT_EQ(keyring->token(), std::nullopt);
        EXPECT_EQ(model.lastResult(), Result::idle());
        EXPECT_FALSE(model.isVerifying());
        test::await(model.refreshMode());
        EXPECT_EQ(model.mode(), ModeKind::none);
    }
}
