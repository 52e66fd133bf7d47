// What one project's pages leave in the preview never reaches another's, a
// local page reads no other local file and reaches no server, and a page
// process that dies ends only the page.
#include "preview/web/PreviewWebView.h"

#include "LoopbackHttpServer.h"
#include "TestEnvironment.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <csignal>
#include <gtest/gtest.h>
#include <functional>
#include <memory>

using nerim::PreviewState;
using nerim::PreviewWebView;
using nerim::test::LoopbackHttpServer;

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

LoopbackHttpServer::Reply reply(const QByteArray &type, const QByteArray &body)
{
    LoopbackHttpServer::Reply r;
    r.status = 200;
    r.headers = {{"Content-Type", type}};
    r.body = body;
    return r;
}

// One open project's preview: its state and its view.
struct Preview {
    PreviewState state;
    std::unique_ptr<PreviewWebView> view = std::make_unique<PreviewWebView>(&state);

    Preview() { view->resize(640, 480); }

    // Loads the address and waits until the page's script has set a title of
    // the form "done:..." (the page's own title, which it may change late).
    QString titleAfterLoading(const QUrl &url)
    {
        QWebEnginePage *page = view->webView()->page();
        state.navigate(url.toString());
        waitUntil([&] {
            return (page->url() == url && page->title().startsWith(QStringLiteral("done:"))) ||
                   state.hasVisibleError();
        });
        return page->title();
    }
};

// Sets a cookie, an entry in localStorage and a service worker, then reports
// what it finds of each.
const QByteArray storagePage = R"(<html><head><title>loading</title></head><body><script>
async function run() {
  if (location.search === '?write') {
    document.cookie = 'project=A; max-age=86400';
    localStorage.setItem('project', 'A');
    const registration = await navigator.serviceWorker.register('/sw.js');
    await navigator.serviceWorker.ready;
  }
  const workers = await navigator.serviceWorker.getRegistrations();
  document.title = 'done:' + (localStorage.getItem('project') || '-') + '|' + (document.cookie || '-') + '|' +
                   workers.length;
}
run().catch(e => { document.title = 'done:error ' + e; });
</script></body></html>)";

} // namespace

TEST(PreviewIsolation, TwoProjectsOnOneAddressShareNoStorageCookiesOrServiceWorkers)
{
    LoopbackHttpServer server;
    server.setHandler([](const LoopbackHttpServer::Request &request) {
        if (request.path() == "/sw.js")
            return reply("text/javascript", "self.addEventListener('fetch', () => {});");
        return reply("text/html; charset=utf-8", storagePage);
    });
    const QUrl write = server.url(QStringLiteral("/?write"));
    const QUrl read = server.url(QStringLiteral("/"));

    auto projectA = std::make_unique<Preview>();
    ASSERT_EQ(projectA->titleAfterLoading(write), QStringLiteral("done:A|project=A|1"));
    ASSERT_EQ(projectA->titleAfterLoading(read), QStringLiteral("done:A|project=A|1"));

    // Project B's page on the very same address finds nothing of A's.
    Preview projectB;
    EXPECT_EQ(projectB.titleAfterLoading(read), QStringLiteral("done:-|-|0"));

    // Nor does a project opened after A was closed (as after a restart).
    projectA.reset();
    Preview projectC;
    EXPECT_EQ(projectC.titleAfterLoading(read), QStringLiteral("done:-|-|0"));
}

TEST(PreviewIsolation, ALocalPageReadsNoSiblingFileAndReachesNoServer)
{
    LoopbackHttpServer server;
    server.setHandler([](const LoopbackHttpServer::Request &) { return reply("text/plain", "ok"); });
    const QString folder = nerim::test::makeTempDir(QStringLiteral("site"));
    ASSERT_TRUE(nerim::test::writeFile(folder + QStringLiteral("/key.txt"), "SECRET-KEY"));
    const QByteArray page = QStringLiteral(R"(<html><head><title>loading</title></head><body><script>
let outcome = [];
function finish(part) {
  outcome.push(part);
  if (outcome.length === 3) document.title = 'done:' + outcome.sort().join('|');
}
const xhr = new XMLHttpRequest();
xhr.onload = () => finish('file read ' + xhr.responseText);
xhr.onerror = () => finish('file blocked');
try { xhr.open('GET', 'key.txt'); xhr.send(); } catch (e) { finish('file blocked'); }
fetch('%1/exfil').then(() => finish('server reached'), () => finish('server blocked'));
try {
  const socket = new WebSocket('%2/socket');
  socket.onopen = () => finish('socket open');
  socket.onerror = () => finish('socket blocked');
} catch (e) { finish('socket blocked'); }
</script></body></html>)")
                               .arg(server.baseUrl().toString(),
                                    server.baseUrl().toString().replace(QStringLiteral("http:"), QStringLiteral("ws:")))
                               .toUtf8();
    ASSERT_TRUE(nerim::test::writeFile(folder + QStringLiteral("/page.html"), page));

    Preview preview;
    EXPECT_EQ(preview.titleAfterLoading(QUrl::fromLocalFile(folder + QStringLiteral("/page.html"))),
              QStringLiteral("done:file blocked|server blocked|socket blocked"));
    settle(300);
    EXPECT_TRUE(server.requests().isEmpty());
}

TEST(PreviewIsolation, RequestRulesForLocalAndWebPages)
{
    const QUrl file(QStringLiteral("file:///home/u/site/index.html"));
    const QUrl sibling(QStringLiteral("file:///home/u/.ssh/id_ed25519"));
    const QUrl web(QStringLiteral("http://127.0.0.1:3000/"));
    const QUrl socket(QStringLiteral("ws://127.0.0.1:3000/live"));
    // A local page: local subresources only; a new page in the main frame may load.
    EXPECT_TRUE(PreviewWebView::isAllowedRequest(sibling, file, file, false));
    EXPECT_TRUE(PreviewWebView::isAllowedRequest(QUrl(QStringLiteral("data:image/png;base64,AA")), file, QUrl(), false));
    EXPECT_FALSE(PreviewWebView::isAllowedRequest(web, file, file, false));
    EXPECT_FALSE(PreviewWebView::isAllowedRequest(socket, file, QUrl(), false));
    EXPECT_FALSE(PreviewWebView::isAllowedRequest(web, QUrl(), file, false));
    EXPECT_TRUE(PreviewWebView::isAllowedRequest(web, file, file, true));
    // A web page: anything but local files.
    EXPECT_TRUE(PreviewWebView::isAllowedRequest(socket, web, web, false));
    EXPECT_TRUE(PreviewWebView::isAllowedRequest(QUrl(QStringLiteral("https://cdn.example/x.js")), web, web, false));
    EXPECT_FALSE(PreviewWebView::isAllowedRequest(sibling, web, web, false));
}

TEST(PreviewIsolation, ACrashedPageProcessLeavesTheAppRunningWithASentence)
{
    LoopbackHttpServer server;
    server.setHandler([](const LoopbackHttpServer::Request &) {
        return reply("text/html", "<html><head><title>done:page</title></head><body>hi</body></html>");
    });
    Preview preview;
    preview.view->show();
    ASSERT_EQ(preview.titleAfterLoading(server.url(QStringLiteral("/"))), QStringLiteral("done:page"));
    ASSERT_TRUE(waitUntil([&] { return !preview.state.isLoading() && preview.state.title() == "done:page"; }));
    const qint64 renderer = preview.view->webView()->page()->renderProcessPid();
    ASSERT_GT(renderer, 0);

    ASSERT_EQ(::kill(static_cast<pid_t>(renderer), SIGKILL), 0);
    ASSERT_TRUE(waitUntil([&] { return preview.state.hasVisibleError(); }));
    EXPECT_EQ(*preview.state.error(), PreviewWebView::pageProcessEndedText());
    EXPECT_FALSE(preview.state.isLoading());

    // This process (the app) goes on, and a reload brings the page back.
    preview.state.setTitle(QString());
    preview.state.setPendingNavigation(PreviewState::PendingNavigation::reload());
    ASSERT_TRUE(waitUntil([&] { return preview.state.title() == QStringLiteral("done:page"); }));
    EXPECT_FALSE(preview.state.hasVisibleError());
    EXPECT_NE(preview.view->webView()->page()->renderProcessPid(), renderer);
}

// The engine started as the application starts it, for root (uid 0 injected),
// without the test environment's own way of turning the sandbox off: the page
// loads instead of the engine ending the process.
TEST(PreviewSandboxStart, AsRootTheEngineStartsAndLoadsAPage)
{
    const QString folder = nerim::test::makeTempDir(QStringLiteral("site"));
    ASSERT_TRUE(nerim::test::writeFile(folder + QStringLiteral("/index.html"),
                                       "<html><head><title>Probe page</title></head><body>hi</body></html>"));
    QProcess probe;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"));
    environment.remove(QStringLiteral("QTWEBENGINE_CHROMIUM_FLAGS"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    probe.setProcessEnvironment(environment);
    probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    probe.start(QStringLiteral(NERIM_PREVIEW_ENGINE_PROBE),
                {QStringLiteral("0"), QUrl::fromLocalFile(folder + QStringLiteral("/index.html")).toString()});
    ASSERT_TRUE(probe.waitForStarted());
    ASSERT_TRUE(probe.waitForFinished(90000));
    EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(probe.exitCode(), 0);
    EXPECT_EQ(probe.readAllStandardOutput(), QByteArray("loaded Probe page\n"));
}
