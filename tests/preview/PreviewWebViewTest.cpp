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

TEST_F(WebViewTest, EachProjectsPreviewHasAnOffTheRecordProfileOfItsOwn)
{
    QWebEngineProfile *profile = PreviewWebView::profileFor(&state);
    ASSERT_NE(profile, nullptr);
    EXPECT_TRUE(profile->isOffTheRecord());
    EXPECT_EQ(view->webView()->page()->profile(), profile);
    // A second view of the same project shares it; another project's does not.
    PreviewWebView sameProject(&state);
    EXPECT_EQ(sameProject.webView()->page()->profile(), profile);
    PreviewState otherState;
    PreviewWebView otherProject(&otherState);
    EXPECT_NE(otherProject.webView()->page()->profile(), profile);
    EXPECT_TRUE(otherProject.webView()->page()->profile()->isOffTheRecord());
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

TEST(LoadErrorText, CommonChromiumCodesGetPlainWords)
{
    using Info = QWebEngineLoadingInfo;
    const QString bar = QStringLiteral("localhost:3000");
    // The sentences of the platform's own descriptions, and the cancelled load.
    EXPECT_EQ(PreviewWebView::loadErrorText(Info::ConnectionErrorDomain, -102, QStringLiteral("x"), bar),
              QStringLiteral("Couldn't connect to localhost:3000. Is your dev server running?"));
    EXPECT_EQ(PreviewWebView::loadErrorText(Info::ConnectionErrorDomain, -118, QStringLiteral("x"), bar),
              QStringLiteral("The server took too long to respond."));
    EXPECT_EQ(PreviewWebView::loadErrorText(Info::InternalErrorDomain, -106, QStringLiteral("x"), bar),
              QStringLiteral("You appear to be offline."));
    EXPECT_EQ(PreviewWebView::loadErrorText(Info::InternalErrorDomain, -300, QStringLiteral("x"), bar),
              QStringLiteral("That URL couldn't be loaded."));
    EXPECT_EQ(PreviewWebView::loadErrorText(Info::InternalErrorDomain, -3, QStringLiteral("x"), bar), QString());
    EXPECT_EQ(PreviewWebView::loadErrorText(Info::CertificateErrorDomain, -202, QStringLiteral("net::ERR_CERT"), bar),
              QStringLiteral("Load failed: The server's security certificate isn't trusted."));

    // Errors a development server commonly runs into, by the names Chromium
    // gives them: none may reach the user as a code name.
    const std::pair<int, const char *> common[] = {
        {-2, "FAILED"}, {-6, "FILE_NOT_FOUND"}, {-10, "ACCESS_DENIED"}, {-20, "BLOCKED_BY_CLIENT"},
        {-21, "NETWORK_CHANGED"}, {-27, "BLOCKED_BY_RESPONSE"}, {-100, "CONNECTION_CLOSED"},
        {-101, "CONNECTION_RESET"}, {-103, "CONNECTION_ABORTED"}, {-105, "NAME_NOT_RESOLVED"},
        {-107, "SSL_PROTOCOL_ERROR"}, {-108, "ADDRESS_INVALID"}, {-113, "SSL_VERSION_OR_CIPHER_MISMATCH"},
        {-130, "PROXY_CONNECTION_FAILED"}, {-137, "NAME_RESOLUTION_FAILED"}, {-201, "CERT_DATE_INVALID"},
        {-310, "TOO_MANY_REDIRECTS"}, {-311, "UNSAFE_REDIRECT"}, {-312, "UNSAFE_PORT"},
        {-320, "INVALID_RESPONSE"}, {-321, "INVALID_CHUNKED_ENCODING"}, {-324, "EMPTY_RESPONSE"},
        {-325, "RESPONSE_HEADERS_TOO_BIG"}, {-330, "CONTENT_DECODING_FAILED"},
        {-346, "RESPONSE_HEADERS_MULTIPLE_CONTENT_LENGTH"}, {-350, "RESPONSE_HEADERS_MULTIPLE_LOCATION"},
        {-354, "CONTENT_LENGTH_MISMATCH"}, {-355, "INCOMPLETE_CHUNKED_ENCODING"}, {-370, "INVALID_HTTP_RESPONSE"},
    };
    for (const auto &[code, name] : common) {
        const QString text = PreviewWebView::loadErrorText(Info::HttpErrorDomain, code,
                                                           QStringLiteral("net::ERR_") + QLatin1String(name), bar);
        EXPECT_TRUE(text.startsWith(QStringLiteral("Load failed: ")) || text == QStringLiteral("That URL couldn't be loaded."))
            << name;
        // A generic sentence may name the code in parentheses; only FAILED, which
        // says nothing more than the sentence, is left to it here.
        EXPECT_EQ(text.contains(QStringLiteral("ERR_")), code == -2) << text.toStdString();
    }
    EXPECT_EQ(PreviewWebView::loadErrorText(Info::HttpErrorDomain, -312, QStringLiteral("net::ERR_UNSAFE_PORT"), bar),
              QStringLiteral("Load failed: This port is blocked for safety. Your app needs to run on a different port."));
    EXPECT_EQ(PreviewWebView::loadErrorText(Info::ConnectionErrorDomain, -107, QStringLiteral("net::ERR_SSL_PROTOCOL_ERROR"), bar),
              QStringLiteral("Load failed: A secure connection to the server couldn't be made. If your app doesn't use "
                             "https, try the address with http:// instead."));

    // Anything else: a plain sentence, with Chromium's name for the error in parentheses.
    EXPECT_EQ(PreviewWebView::loadErrorText(Info::HttpErrorDomain, -9999, QStringLiteral("net::ERR_SOMETHING_NEW"), bar),
              QStringLiteral("Load failed: The page couldn't be loaded (net::ERR_SOMETHING_NEW)."));
    EXPECT_EQ(PreviewWebView::loadErrorText(Info::InternalErrorDomain, -9999, QString(), bar),
              QStringLiteral("Load failed: The page couldn't be loaded (error -9999)."));
}

} // namespace
