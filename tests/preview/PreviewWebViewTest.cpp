#include "preview/web/PreviewWebView.h"

#include "LoopbackHttpServer.h"
#include "TestEnvironment.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <gtest/gtest.h>
#include <functional>
#include <utility>

using nerim::PreviewState;
using nerim::PreviewWebView;
using nerim::test::LoopbackHttpServer;
using Pending = PreviewState::PendingNavigation;

namespace {

bool waitUntil(const std::function<bool()> &done, int timeoutMs = 30000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

void settle(int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

LoopbackHttpServer::Reply html(const QByteArray &body)
{
    LoopbackHttpServer::Reply reply;
    reply.status = 200;
    reply.headers = {{"Content-Type", "text/html; charset=utf-8"}};
    reply.body = body;
    return reply;
}

// Pages of a tiny site; anything else is 404.
class WebViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.setHandler([](const LoopbackHttpServer::Request &request) {
            const QByteArray path = request.path();
            if (path == "/")
                return html("<html><head><title>Fixture page</title></head><body><a id=next href='/two'>two</a></body></html>");
            if (path == "/two")
                return html("<html><head><title>Second</title></head><body>two</body></html>");
            if (path == "/untitled")
                return html("<html><body>no title here</body></html>");
            if (path == "/alert")
                return html("<html><head><title>Alerted</title></head><body><script>alert('hi'); confirm('ok?'); "
                            "prompt('name?'); window.open('/two');</script></body></html>");
            if (path == "/slow-image")
                return html("<html><head><title>Slow image</title></head><body>page<img src='/hang'></body></html>");
            if (path == "/two-lengths") {
                auto reply = html("<p>hi</p>");
                reply.headers.append(qMakePair(QByteArray("Content-Length"), QByteArray("999"))); // beside the server's own
                return reply;
            }
            if (path == "/closed")
                return LoopbackHttpServer::Reply::close();
            if (path == "/hang")
                return LoopbackHttpServer::Reply::hang();
            return LoopbackHttpServer::Reply::withStatus(404, "missing");
        });
        view = std::make_unique<PreviewWebView>(&state, options);
        view->resize(800, 600);
        view->show();
    }

    void TearDown() override
    {
        view.reset();
        server.closeAllConnections();
    }

    int requestsFor(const QByteArray &path) const
    {
        int count = 0;
        for (const auto &request : server.requests())
            count += request.path() == path ? 1 : 0;
        return count;
    }

    bool loadAndWait(const QUrl &url)
    {
        state.navigate(url.toString());
        return waitUntil([&] { return state.loadedURL() == url && !state.isLoading() && !state.title().isEmpty(); });
    }

    LoopbackHttpServer server;
    PreviewState state;
    PreviewWebView::Options options;
    std::unique_ptr<PreviewWebView> view;
};

TEST_F(WebViewTest, LoadsThePendingRequestOnceAndReportsProgress)
{
    QList<bool> loading;
    QObject::connect(&state, &PreviewState::isLoadingChanged, [&] { loading.append(state.isLoading()); });
    const QUrl url = server.url(QStringLiteral("/"));
    state.navigate(url.toString());
    EXPECT_FALSE(state.pendingNavigation().has_value()); // taken out at once
    ASSERT_TRUE(waitUntil([&] { return state.title() == QStringLiteral("Fixture page"); }))
        << state.error().value_or(QStringLiteral("-")).toStdString();
    EXPECT_EQ(state.loadedURL(), url);
    EXPECT_EQ(state.addressBar(), url.toString());
    EXPECT_FALSE(state.isLoading());
    EXPECT_EQ(loading, (QList<bool>{true, false}));
    EXPECT_FALSE(state.hasVisibleError());
    EXPECT_FALSE(state.canGoBack());
    EXPECT_EQ(requestsFor("/"), 1);
}

TEST_F(WebViewTest, BackForwardAndReload)
{
    ASSERT_TRUE(loadAndWait(server.url(QStringLiteral("/"))));
    ASSERT_TRUE(loadAndWait(server.url(QStringLiteral("/two"))));
    EXPECT_TRUE(state.canGoBack());
    EXPECT_FALSE(state.canGoForward());

    state.setPendingNavigation(Pending::back());
    ASSERT_TRUE(waitUntil([&] { return state.loadedURL() == server.url(QStringLiteral("/")) && !state.isLoading(); }));
    EXPECT_FALSE(state.pendingNavigation().has_value());
    EXPECT_TRUE(waitUntil([&] { return state.canGoForward(); }));
    EXPECT_EQ(state.addressBar(), server.url(QStringLiteral("/")).toString());

    state.setPendingNavigation(Pending::forward());
    ASSERT_TRUE(waitUntil([&] { return state.loadedURL() == server.url(QStringLiteral("/two")) && !state.isLoading(); }));

    const int before = requestsFor("/two");
    state.setPendingNavigation(Pending::reload());
    ASSERT_TRUE(waitUntil([&] { return requestsFor("/two") > before && !state.isLoading(); }));
    EXPECT_EQ(state.loadedURL(), server.url(QStringLiteral("/two")));
}

TEST_F(WebViewTest, ReloadWithNothingLoadedUsesTheAddressField)
{
    const QString typed = QStringLiteral("127.0.0.1:%1").arg(server.port());
    state.setAddressBar(typed);
    state.setPendingNavigation(Pending::reload());
    ASSERT_TRUE(waitUntil([&] { return state.title() == QStringLiteral("Fixture page"); }));
    EXPECT_EQ(state.loadedURL(), QUrl(QStringLiteral("http://") + typed + QLatin1Char('/')));
}

TEST_F(WebViewTest, BackOnAFreshViewOnlyClearsTheRequest)
{
    state.setPendingNavigation(Pending::back());
    EXPECT_FALSE(state.pendingNavigation().has_value());
    settle(300);
    EXPECT_FALSE(state.loadedURL().has_value());
    EXPECT_FALSE(state.isLoading());
    EXPECT_FALSE(state.error().has_value());
}

TEST_F(WebViewTest, RefusedPortReportsItInPlainWords)
{
    const QUrl refused = LoopbackHttpServer::refusedUrl(QStringLiteral("/"));
    state.navigate(refused.toString());
    const QString typed = state.addressBar();
    ASSERT_TRUE(waitUntil([&] { return state.hasVisibleError(); }));
    EXPECT_EQ(*state.error(), QStringLiteral("Couldn't connect to ") + typed + QStringLiteral(". Is your dev server running?"));
    EXPECT_FALSE(state.isLoading());
    EXPECT_EQ(state.addressBar(), typed);
    // No error page committed an address or a title of its own.
    EXPECT_FALSE(state.loadedURL().has_value());
    EXPECT_TRUE(state.title().isEmpty());
}

TEST_F(WebViewTest, ServerErrorsShowTheServersPageOrPlainWords)
{
    // A 404 with a body is the server's own page, not a load failure.
    state.navigate(server.url(QStringLiteral("/missing")).toString());
    ASSERT_TRUE(waitUntil([&] { return state.loadedURL() == server.url(QStringLiteral("/missing")) && !state.isLoading(); }));
    settle(200);
    EXPECT_FALSE(state.hasVisibleError()) << state.error().value_or(QString()).toStdString();

    // A connection closed without an answer.
    state.navigate(server.url(QStringLiteral("/closed")).toString());
    ASSERT_TRUE(waitUntil([&] { return state.hasVisibleError(); }));
    EXPECT_EQ(*state.error(), QStringLiteral("Load failed: The connection to the server was lost."));
    EXPECT_FALSE(state.isLoading());
}

TEST_F(WebViewTest, BlockedPortAndUnreadableResponseInPlainWords)
{
    const std::pair<QString, QString> cases[] = {
        // Chromium refuses port 6000 before connecting to anything.
        {QStringLiteral("http://127.0.0.1:6000/"),
         QStringLiteral("Load failed: This port is blocked for safety. Your app needs to run on a different port.")},
        {server.url(QStringLiteral("/two-lengths")).toString(),
         QStringLiteral("Load failed: The server sent a response that couldn't be read.")},
    };
    for (const auto &[address, sentence] : cases) {
        state.navigate(address);
        waitUntil([&] { return state.error() == sentence && !state.isLoading(); });
        EXPECT_EQ(state.error().value_or(QStringLiteral("(none)")), sentence) << address.toStdString();
    }
}

TEST_F(WebViewTest, PageWithoutTitleHasAnEmptyTitle)
{
    ASSERT_TRUE(loadAndWait(server.url(QStringLiteral("/"))));
    state.navigate(server.url(QStringLiteral("/untitled")).toString());
    ASSERT_TRUE(waitUntil([&] { return state.loadedURL() == server.url(QStringLiteral("/untitled")) && !state.isLoading(); }));
    EXPECT_TRUE(waitUntil([&] { return state.title().isEmpty(); }));
}

TEST_F(WebViewTest, DialogsAndNewWindowsAreNotShown)
{
    const auto visibleWindows = [] {
        int count = 0;
        for (QWidget *widget : QApplication::topLevelWidgets())
            count += widget->isVisible() ? 1 : 0;
        return count;
    };
    const int before = visibleWindows();
    ASSERT_TRUE(loadAndWait(server.url(QStringLiteral("/alert"))));
    EXPECT_EQ(state.title(), QStringLiteral("Alerted"));
    settle(300);
    EXPECT_EQ(visibleWindows(), before);
    for (QWidget *widget : QApplication::topLevelWidgets())
        EXPECT_FALSE(qobject_cast<QDialog *>(widget)) << widget->metaObject()->className();
    // window.open did not load the page anywhere.
    EXPECT_EQ(requestsFor("/two"), 0);
}

TEST_F(WebViewTest, OtherSchemesDoNotNavigate)
{
    const QUrl page = server.url(QStringLiteral("/"));
    ASSERT_TRUE(loadAndWait(page));
    for (const char *target : {"mailto:someone@example.com", "nerim-test-scheme://open", "javascript-free:x"}) {
        view->webView()->page()->runJavaScript(QStringLiteral("location.href = '%1';").arg(QString::fromLatin1(target)));
        settle(400);
        EXPECT_EQ(state.loadedURL(), page) << target;
        EXPECT_FALSE(state.hasVisibleError()) << target;
        EXPECT_FALSE(state.isLoading()) << target;
    }
    EXPECT_FALSE(PreviewWebView::isAllowedScheme(QUrl(QStringLiteral("data:text/html,hi"))));
    EXPECT_TRUE(PreviewWebView::isAllowedScheme(QUrl(QStringLiteral("ABOUT:blank"))));
}

TEST_F(WebViewTest, ProfileIsNamedAndPersistent)
{
    QWebEngineProfile *profile = PreviewWebView::sharedProfile();
    EXPECT_FALSE(profile->isOffTheRecord());
    EXPECT_EQ(profile->storageName(), QStringLiteral("NerimPreview"));
    EXPECT_EQ(view->webView()->page()->profile(), profile);
}

class SlowServerTest : public WebViewTest {
protected:
    void SetUp() override
    {
        options.requestTimeout = std::chrono::milliseconds(700);
        WebViewTest::SetUp();
    }
};

TEST_F(SlowServerTest, ServerThatNeverAnswersHitsTheTimeLimit)
{
    state.navigate(server.url(QStringLiteral("/hang")).toString());
    ASSERT_TRUE(waitUntil([&] { return state.hasVisibleError(); }, 15000));
    EXPECT_EQ(*state.error(), QStringLiteral("The server took too long to respond."));
    EXPECT_FALSE(state.isLoading());
    // The abort that follows the stop leaves the sentence in place.
    settle(500);
    EXPECT_EQ(*state.error(), QStringLiteral("The server took too long to respond."));

    // The next load starts afresh.
    ASSERT_TRUE(loadAndWait(server.url(QStringLiteral("/"))));
    EXPECT_FALSE(state.hasVisibleError());
}

TEST_F(SlowServerTest, PageThatArrivedStaysShownWhileAnImageHangs)
{
    const QUrl url = server.url(QStringLiteral("/slow-image"));
    state.navigate(url.toString());
    ASSERT_TRUE(waitUntil([&] { return state.loadedURL() == url; }));
    settle(1500); // past the time limit
    EXPECT_FALSE(state.hasVisibleError()) << state.error().value_or(QString()).toStdString();
    EXPECT_EQ(view->webView()->url(), url);
    // The hanging image was given up; the page counts as finished.
    EXPECT_FALSE(state.isLoading());
    EXPECT_EQ(state.title(), QStringLiteral("Slow image"));

    // A reload of the same page commits without a new address; it counts as arrived too.
    state.setPendingNavigation(Pending::reload());
    ASSERT_TRUE(waitUntil([&] { return requestsFor("/slow-image") == 2; }));
    settle(1500);
    EXPECT_FALSE(state.hasVisibleError()) << state.error().value_or(QString()).toStdString();
    EXPECT_FALSE(state.isLoading());

    // A page that never answers, asked for from there, still hits the limit.
    state.navigate(server.url(QStringLiteral("/hang")).toString());
    ASSERT_TRUE(waitUntil([&] { return state.hasVisibleError(); }, 15000));
    EXPECT_EQ(*state.error(), QStringLiteral("The server took too long to respond."));
}

TEST_F(WebViewTest, RequestsWaitingBeforeTheViewExistsAreCarriedOut)
{
    view.reset();
    const QUrl url = server.url(QStringLiteral("/two"));
    state.navigate(url.toString());
    view = std::make_unique<PreviewWebView>(&state);
    EXPECT_FALSE(state.pendingNavigation().has_value()); // a load is taken at once
    ASSERT_TRUE(waitUntil([&] { return state.title() == QStringLiteral("Second"); }));

    // Any other request waits for the next turn of the event loop.
    view.reset();
    state.setLoadedURL(std::nullopt);
    state.setAddressBar(server.url(QStringLiteral("/")).toString());
    state.setPendingNavigation(Pending::reload());
    view = std::make_unique<PreviewWebView>(&state);
    EXPECT_TRUE(state.pendingNavigation().has_value());
    ASSERT_TRUE(waitUntil([&] { return state.title() == QStringLiteral("Fixture page"); }));
    EXPECT_FALSE(state.pendingNavigation().has_value());
}

TEST(LoadErrorText, EveryChromiumCodeGetsPlainWords)
{
    using Info = QWebEngineLoadingInfo;
    const QString bar = QStringLiteral("localhost:3000");
    const QString lost = QStringLiteral("Load failed: The connection to the server was lost.");
    const QString unreadable = QStringLiteral("Load failed: The server sent a response that couldn't be read.");
    const QString certificate = QStringLiteral("Load failed: The server's security certificate isn't trusted.");
    const QString notFound = QStringLiteral("Load failed: No server was found at that address.");
    const QString badUrl = QStringLiteral("That URL couldn't be loaded.");
    const QString secure = QStringLiteral("Load failed: A secure connection to the server couldn't be made. If your "
                                          "app doesn't use https, try the address with http:// instead.");
    const QString blocked = QStringLiteral("Load failed: The page was blocked from loading.");
    struct Case {
        Info::ErrorDomain domain;
        int code;
        const char *description;
        QString sentence;
    };
    const Case cases[] = {
        {Info::ConnectionErrorDomain, -102, "x", QStringLiteral("Couldn't connect to localhost:3000. Is your dev server running?")},
        {Info::ConnectionErrorDomain, -104, "x", QStringLiteral("Couldn't connect to localhost:3000. Is your dev server running?")},
        {Info::ConnectionErrorDomain, -118, "x", QStringLiteral("The server took too long to respond.")},
        {Info::InternalErrorDomain, -7, "x", QStringLiteral("The server took too long to respond.")},
        {Info::InternalErrorDomain, -106, "x", QStringLiteral("You appear to be offline.")},
        {Info::InternalErrorDomain, -300, "x", badUrl},
        {Info::InternalErrorDomain, -302, "x", badUrl},
        {Info::ConnectionErrorDomain, -108, "net::ERR_ADDRESS_INVALID", badUrl},
        {Info::InternalErrorDomain, -3, "x", QString()},
        {Info::DnsErrorDomain, -105, "net::ERR_NAME_NOT_RESOLVED", notFound},
        {Info::DnsErrorDomain, -137, "net::ERR_NAME_RESOLUTION_FAILED", notFound},
        {Info::CertificateErrorDomain, -202, "net::ERR_CERT_AUTHORITY_INVALID", certificate},
        {Info::ConnectionErrorDomain, -201, "net::ERR_CERT_DATE_INVALID", certificate},
        {Info::ConnectionErrorDomain, -100, "x", lost},
        {Info::ConnectionErrorDomain, -101, "net::ERR_CONNECTION_RESET", lost},
        {Info::ConnectionErrorDomain, -103, "net::ERR_CONNECTION_ABORTED", lost},
        {Info::ConnectionErrorDomain, -324, "x", lost},
        {Info::HttpErrorDomain, -354, "net::ERR_CONTENT_LENGTH_MISMATCH", lost},
        {Info::HttpErrorDomain, -355, "net::ERR_INCOMPLETE_CHUNKED_ENCODING", lost},
        {Info::HttpErrorDomain, -310, "net::ERR_TOO_MANY_REDIRECTS", QStringLiteral("Load failed: The page redirected too many times.")},
        {Info::HttpErrorDomain, -311, "net::ERR_UNSAFE_REDIRECT",
         QStringLiteral("Load failed: The page redirected to an address that can't be opened here.")},
        {Info::HttpErrorDomain, -312, "net::ERR_UNSAFE_PORT",
         QStringLiteral("Load failed: This port is blocked for safety. Your app needs to run on a different port.")},
        {Info::ConnectionErrorDomain, -107, "net::ERR_SSL_PROTOCOL_ERROR", secure},
        {Info::ConnectionErrorDomain, -113, "net::ERR_SSL_VERSION_OR_CIPHER_MISMATCH", secure},
        {Info::HttpErrorDomain, -320, "net::ERR_INVALID_RESPONSE", unreadable},
        {Info::HttpErrorDomain, -321, "net::ERR_INVALID_CHUNKED_ENCODING", unreadable},
        {Info::HttpErrorDomain, -325, "net::ERR_RESPONSE_HEADERS_TOO_BIG", unreadable},
        {Info::HttpErrorDomain, -330, "net::ERR_CONTENT_DECODING_FAILED", unreadable},
        {Info::HttpErrorDomain, -346, "net::ERR_RESPONSE_HEADERS_MULTIPLE_CONTENT_LENGTH", unreadable},
        {Info::HttpErrorDomain, -350, "net::ERR_RESPONSE_HEADERS_MULTIPLE_LOCATION", unreadable},
        {Info::HttpErrorDomain, -370, "net::ERR_INVALID_HTTP_RESPONSE", unreadable},
        {Info::InternalErrorDomain, -6, "net::ERR_FILE_NOT_FOUND", QStringLiteral("Load failed: The file couldn't be found.")},
        {Info::InternalErrorDomain, -10, "net::ERR_ACCESS_DENIED", QStringLiteral("Load failed: Access to the page was denied.")},
        {Info::InternalErrorDomain, -20, "net::ERR_BLOCKED_BY_CLIENT", blocked},
        {Info::InternalErrorDomain, -27, "net::ERR_BLOCKED_BY_RESPONSE", blocked},
        {Info::InternalErrorDomain, -21, "net::ERR_NETWORK_CHANGED",
         QStringLiteral("Load failed: The network connection changed while the page was loading. Try again.")},
        {Info::ConnectionErrorDomain, -130, "net::ERR_PROXY_CONNECTION_FAILED",
         QStringLiteral("Load failed: Couldn't connect to the proxy server.")},
        // Anything else: a plain sentence, with Chromium's name for the error kept in parentheses.
        {Info::InternalErrorDomain, -2, "net::ERR_FAILED", QStringLiteral("Load failed: The page couldn't be loaded (net::ERR_FAILED).")},
        {Info::HttpErrorDomain, -9999, "net::ERR_SOMETHING_NEW",
         QStringLiteral("Load failed: The page couldn't be loaded (net::ERR_SOMETHING_NEW).")},
        {Info::InternalErrorDomain, -9999, "", QStringLiteral("Load failed: The page couldn't be loaded (error -9999).")},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(PreviewWebView::loadErrorText(c.domain, c.code, QString::fromUtf8(c.description), bar), c.sentence)
            << c.code;
    }
}

} // namespace
