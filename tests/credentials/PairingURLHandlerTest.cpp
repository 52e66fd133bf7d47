#include "CredentialsFixture.h"
#include "LoopbackHttpServer.h"
#include "TestEnvironment.h"
#include "TestAsync.h"
#include "credentials/PairingNotifier.h"
#include "credentials/PairingURLHandler.h"
#include "credentials/ManagedKeysSettingsViewModel.h"

#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

using namespace nerim;
using nerim::test::LoopbackHttpServer;

namespace {

struct Posted {
    QString name;
    QVariantMap userInfo;
};

class Pairing : public test::CredentialsFixture {
protected:
    void SetUp() override
    {
        CredentialsFixture::SetUp();
        qputenv("NERIM_PROXY_BASE", proxy.baseUrl().toString().toUtf8());
        handler.setBringToFront([this] { ++broughtToFront; });
        QObject::connect(&PairingNotifier::shared(), &PairingNotifier::posted, &handler,
                         [this](const QString &name, const QVariantMap &info) { posted.append({name, info}); });
    }

    // Runs the event loop until every queued link has been worked off.
    void waitUntilIdle()
    {
        if (!handler.isBusy())
            return;
        QEventLoop loop;
        QObject::connect(&handler, &PairingURLHandler::idle, &loop, &QEventLoop::quit);
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        loop.exec();
        EXPECT_FALSE(handler.isBusy());
    }

    bool open(const char *url)
    {
        const bool taken = handler.handle(QUrl(QString::fromUtf8(url)));
        waitUntilIdle();
        return taken;
    }

    LoopbackHttpServer proxy;
    PairingURLHandler handler;
    QList<Posted> posted;
    int broughtToFront = 0;
};

} // namespace

TEST_F(Pairing, RejectedLinksTouchNothingAndNeverLogTheToken)
{
    const struct {
        const char *url;
        const char *logStart;
        const char *failure; // nullptr: nothing posted
    } rows[] = {
        {"https://example.com/pair?token=s3cret", "[PairingURLHandler] ignoring URL with foreign scheme: ", nullptr},
        {"nerim:pair?token=s3cret", "[PairingURLHandler] unknown action in URL: ", "Nerim didn't recognize that link."},
        {"nerim://unpair?token=s3cret#s3cret", "[PairingURLHandler] unknown action in URL: ", "Nerim didn't recognize that link."},
        {"nerim://pair", "[PairingURLHandler] pair URL missing ?token=", "This pairing link is missing a token."},
        {"nerim://pair?Token=s3cret", "[PairingURLHandler] pair URL missing ?token=", "This pairing link is missing a token."},
        {"nerim://pair?token=", "[PairingURLHandler] pair URL missing ?token=", "This pairing link is missing a token."},
        {"nerim://pair?token", "[PairingURLHandler] pair URL missing ?token=", "This pairing link is missing a token."},
        {"nerim://pair?token=%0A%0A", "[PairingURLHandler] pair URL missing ?token=", "This pairing link is missing a token."},
        {"nerim://pair?token=%20%20", "[PairingURLHandler] pair URL missing ?token=", "This pairing link is missing a token."},
        // Only printable ASCII without spaces is a token: anything else would
        // end up in request headers and the agents' environment.
        {"nerim://pair?token=s3cret%0D%0AX-Injected:%20yes", "[PairingURLHandler] pair URL missing ?token=",
         "This pairing link is missing a token."},
        {"nerim://pair?token=s3%20cret", "[PairingURLHandler] pair URL missing ?token=", "This pairing link is missing a token."},
        {"nerim://pair?token=s3cr%C3%A9t", "[PairingURLHandler] pair URL missing ?token=", "This pairing link is missing a token."},
        {"nerim://pair?token=s3cret%00", "[PairingURLHandler] pair URL missing ?token=", "This pairing link is missing a token."},
        {"nerim://pair?token=s3cret%7F", "[PairingURLHandler] pair URL missing ?token=", "This pairing link is missing a token."},
    };
    keyring->setToken("kept");
    for (const auto &row : rows) {
        test::LogCapture log;
        posted.clear();
        EXPECT_FALSE(open(row.url)) << row.url;
        ASSERT_EQ(log.lines().size(), 1) << row.url;
        EXPECT_TRUE(log.lines().at(0).startsWith(QString::fromUtf8(row.logStart))) << log.lines().at(0).toStdString();
        EXPECT_FALSE(log.lines().at(0).contains(QStringLiteral("s3cret"))) << log.lines().at(0).toStdString();
        if (row.failure) {
            ASSERT_EQ(posted.size(), 1) << row.url;
            EXPECT_EQ(posted.at(0).name, QStringLiteral("NerimPairingFailed"));
            EXPECT_EQ(posted.at(0).userInfo, (QVariantMap{{QStringLiteral("message"), QString::fromUtf8(row.failure)}}));
        } else {
            EXPECT_TRUE(posted.isEmpty()) << row.url;
        }
    }
    EXPECT_EQ(keyring->token(), QByteArray("kept"));
    EXPECT_EQ(keyring->adds + keyring->updates + keyring->removes, 0);
    EXPECT_EQ(broughtToFront, 0);
    EXPECT_EQ(proxy.requestCount(), 0);
}

TEST_F(Pairing, NewTokenIsStoredTrimmedVerifiedAndAnnounced)
{
    proxy.enqueue(LoopbackHttpServer::Reply::json(200, R"({"balance": 12})"));
    test::LogCapture log;
    EXPECT_TRUE(open("NERIM://PAIR/ignored/path?other=1&token=%20tok-1%0A&token=second"));
    EXPECT_EQ(keyring->token(), QByteArray("tok-1"));
    ASSERT_EQ(proxy.requestCount(), 1);
    EXPECT_EQ(proxy.requests().at(0).header("authorization"), "Bearer tok-1");
    ASSERT_EQ(posted.size(), 1);
    EXPECT_EQ(posted.at(0).name, QStringLiteral("NerimSessionTokenPaired"));
    EXPECT_EQ(posted.at(0).userInfo.value(QStringLiteral("balance")).toLongLong(), 12);
    EXPECT_EQ(broughtToFront, 1);
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST_F(Pairing, RepeatedLinkAnnouncesWithoutBalanceOrRequest)
{
    keyring->setToken("tok-1");
    test::LogCapture log;
    EXPECT_TRUE(open("nerim://pair?token=%20tok-1"));
    ASSERT_EQ(posted.size(), 1);
    EXPECT_EQ(posted.at(0).name, QStringLiteral("NerimSessionTokenPaired"));
    ASSERT_TRUE(posted.at(0).userInfo.contains(QStringLiteral("balance")));
    EXPECT_TRUE(posted.at(0).userInfo.value(QStringLiteral("balance")).isNull());
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("[PairingURLHandler] duplicate pair click \u2014 token already stored")});
    EXPECT_EQ(proxy.requestCount(), 0);
    EXPECT_EQ(keyring->adds, 0);
    EXPECT_EQ(broughtToFront, 1);
}

TEST_F(Pairing, EmptyAccountIsAPairingWithBalanceZero)
{
    proxy.enqueue(LoopbackHttpServer::Reply::json(402, "{}"));
    EXPECT_TRUE(open("nerim://pair?token=tok"));
    ASSERT_EQ(posted.size(), 1);
    EXPECT_EQ(posted.at(0).name, QStringLiteral("NerimSessionTokenPaired"));
    EXPECT_EQ(posted.at(0).userInfo.value(QStringLiteral("balance")).toLongLong(), 0);
}

TEST_F(Pairing, RejectedTokenRestoresThePreviousOne)
{
    const struct {
        std::optional<QByteArray> previous;
    } rows[] = {{QByteArray("old")}, {std::nullopt}};
    for (const auto &row : rows) {
        keyring->items.clear();
        if (row.previous)
            keyring->setToken(*row.previous);
        posted.clear();
        proxy.enqueue(LoopbackHttpServer::Reply::json(401, "{}"));
        EXPECT_TRUE(open("nerim://pair?token=bad"));
        EXPECT_EQ(keyring->token(), row.previous);
        ASSERT_EQ(posted.size(), 1);
        EXPECT_EQ(posted.at(0).name, QStringLiteral("NerimPairingFailed"));
        EXPECT_EQ(posted.at(0).userInfo.value(QStringLiteral("message")).toString(),
                  QStringLiteral("Nerim couldn't verify that pairing link: Session token was rejected. Ask Kest for a fresh token."));
    }
    EXPECT_EQ(broughtToFront, 2);
}

TEST_F(Pairing, RefusedKeyringWriteFailsWithoutComingToTheFront)
{
    keyring->failWrite = platform::SecretStore::Status::serviceUnavailable;
    EXPECT_TRUE(open("nerim://pair?token=tok"));
    ASSERT_EQ(posted.size(), 1);
    EXPECT_EQ(posted.at(0).userInfo.value(QStringLiteral("message")).toString(),
              QStringLiteral("Nerim couldn't save your session token to the system keyring."));
    EXPECT_EQ(broughtToFront, 0);
    EXPECT_EQ(proxy.requestCount(), 0);
}

TEST_F(Pairing, TwoLinksInFlightAreVerifiedOneAtATimeInOrder)
{
    keyring->setToken("previous");
    // The first link's verification is slow and fails; the second succeeds.
    proxy.enqueue(LoopbackHttpServer::Reply::json(401, "{}").delayed(300));
    proxy.enqueue(LoopbackHttpServer::Reply::json(200, R"({"balance": 7})"));
    EXPECT_TRUE(handler.handle(QUrl(QStringLiteral("nerim://pair?token=first"))));
    EXPECT_TRUE(handler.handle(QUrl(QStringLiteral("nerim://pair?token=second"))));
    waitUntilIdle();

    ASSERT_EQ(proxy.requestCount(), 2);
    EXPECT_EQ(proxy.requests().at(0).header("authorization"), "Bearer first");
    EXPECT_EQ(proxy.requests().at(1).header("authorization"), "Bearer second");
    ASSERT_EQ(posted.size(), 2);
    EXPECT_EQ(posted.at(0).name, QStringLiteral("NerimPairingFailed"));
    EXPECT_EQ(posted.at(1).name, QStringLiteral("NerimSessionTokenPaired"));
    EXPECT_EQ(keyring->token(), QByteArray("second"));
}

TEST_F(Pairing, FailedLinkLeavesATokenStoredByOthersInPlace)
{
    keyring->setToken("previous");
    // While the probe is in flight the token is replaced elsewhere (the settings window).
    proxy.setHandler([this](const LoopbackHttpServer::Request &) {
        keyring->setToken("pasted-meanwhile");
        return LoopbackHttpServer::Reply::json(401, "{}");
    });
    EXPECT_TRUE(open("nerim://pair?token=link"));
    EXPECT_EQ(keyring->token(), QByteArray("pasted-meanwhile"));
}

TEST_F(Pairing, FailedLinkDoesNotUndoASignOutMadeMeanwhile)
{
    keyring->setToken("previous");
    // While the probe is in flight the user signs out in the settings window.
    proxy.setHandler([this](const LoopbackHttpServer::Request &) {
        {
            QMutexLocker lock(&keyring->mutex);
            keyring->items.clear();
        }
        return LoopbackHttpServer::Reply::json(401, "{}");
    });
    EXPECT_TRUE(open("nerim://pair?token=link"));
    EXPECT_EQ(keyring->token(), std::nullopt);
    ASSERT_EQ(posted.size(), 1);
    EXPECT_EQ(posted.at(0).name, QStringLiteral("NerimPairingFailed"));
}

TEST_F(Pairing, TokenThatNeverReadsBackRestoresThePreviousOne)
{
    keyring->setToken("previous");
    // The write succeeds but the keyring yields no token afterwards.
    keyring->failReadsAfter = 1; // the first read (the repeat check) works, later ones fail
    EXPECT_TRUE(open("nerim://pair?token=link"));
    ASSERT_EQ(posted.size(), 1);
    EXPECT_EQ(posted.at(0).userInfo.value(QStringLiteral("message")).toString(),
              QStringLiteral("Nerim couldn't verify that pairing link: No session token stored \u2014 paste one first."));
    EXPECT_EQ(proxy.requestCount(), 0);
    EXPECT_EQ(keyring->token(), QByteArray("previous"));
}

TEST_F(Pairing, UnreadableKeyringAbortsTheLinkBeforeAnyWrite)
{
    // A locked collection whose unlock prompt outlasts the time limit: the
    // stored token is unknown, so nothing may be written or cleared.
    keyring->setToken("working");
    keyring->failRead = platform::SecretStore::Status::serviceUnavailable;
    proxy.setDefaultReply(LoopbackHttpServer::Reply::json(401, "{}"));
    open("nerim://pair?token=new");
    EXPECT_EQ(keyring->token(), QByteArray("working"));
    EXPECT_EQ(keyring->adds + keyring->updates + keyring->removes, 0);
    EXPECT_EQ(proxy.requestCount(), 0);
    EXPECT_EQ(broughtToFront, 0);
    ASSERT_EQ(posted.size(), 1);
    EXPECT_EQ(posted.at(0).name, QStringLiteral("NerimPairingFailed"));
    const QString message = posted.at(0).userInfo.value(QStringLiteral("message")).toString();
    EXPECT_TRUE(message.startsWith(QStringLiteral("Nerim couldn't read the system keyring"))) << message.toStdString();
    EXPECT_TRUE(message.contains(QStringLiteral("scripted failure")));
}

TEST_F(Pairing, TimedOutWriteThatLandedIsVerifiedAndRestored)
{
    // Every write is reported as timed out but carried out by the keyring.
    keyring->setToken("old");
    keyring->failWrite = platform::SecretStore::Status::serviceUnavailable;
    keyring->failedWritesLand = true;
    proxy.enqueue(LoopbackHttpServer::Reply::json(401, "{}"));
    EXPECT_TRUE(open("nerim://pair?token=bad"));
    EXPECT_EQ(proxy.requestCount(), 1);
    EXPECT_EQ(keyring->token(), QByteArray("old"));
    ASSERT_EQ(posted.size(), 1);
    EXPECT_EQ(posted.at(0).userInfo.value(QStringLiteral("message")).toString(),
              QStringLiteral("Nerim couldn't verify that pairing link: Session token was rejected. Ask Kest for a fresh token."));
    EXPECT_EQ(broughtToFront, 1);

    posted.clear();
    proxy.enqueue(LoopbackHttpServer::Reply::json(200, R"({"balance": 4})"));
    EXPECT_TRUE(open("nerim://pair?token=good"));
    EXPECT_EQ(keyring->token(), QByteArray("good"));
    ASSERT_EQ(posted.size(), 1);
    EXPECT_EQ(posted.at(0).name, QStringLiteral("NerimSessionTokenPaired"));
}

TEST_F(Pairing, RestoreThatDidNotHappenIsReported)
{
    keyring->setToken("old");
    // The keyring stops taking writes while the probe is out.
    proxy.setHandler([this](const LoopbackHttpServer::Request &) {
        keyring->failWrite = platform::SecretStore::Status::serviceUnavailable;
        return LoopbackHttpServer::Reply::json(401, "{}");
    });
    EXPECT_TRUE(open("nerim://pair?token=bad"));
    EXPECT_EQ(keyring->token(), QByteArray("bad"));
    ASSERT_EQ(posted.size(), 1);
    EXPECT_TRUE(posted.at(0).userInfo.value(QStringLiteral("message")).toString().contains(QStringLiteral("could not be put back")));
}

TEST_F(Pairing, SignOutDuringVerificationDiscardsTheResult)
{
    ManagedKeysSettingsViewModel settings;
    for (const int status : {200, 401}) {
        SCOPED_TRACE(status);
        keyring->setToken("old");
        posted.clear();
        // The user signs out in the settings window while the probe is out.
        std::optional<QCoro::Task<>> signingOut;
        proxy.setHandler([&settings, &signingOut, status](const LoopbackHttpServer::Request &) {
            signingOut.emplace(settings.signOut());
            return LoopbackHttpServer::Reply::json(status, R"({"balance": 5})");
        });
        EXPECT_TRUE(open("nerim://pair?token=new"));
        // The sign-out's own removal may still be queued behind the pairing's
        // keyring calls: let it finish before judging what the keyring holds.
        ASSERT_TRUE(signingOut.has_value());
        test::await(std::move(*signingOut));
        EXPECT_EQ(keyring->token(), std::nullopt);
        EXPECT_TRUE(posted.isEmpty());
    }
}
