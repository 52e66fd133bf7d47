#include "preview/web/PreviewWebView.h"

#include <QApplication>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebEngineHistory>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestInfo>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineScript>
#include <QWebEngineSettings>
#include <QWebEngineView>
#include <functional>
#include <map>

namespace nerim {

namespace {

// Chromium's network error codes that have their own sentence.
constexpr int errFileNotFound = -6;
constexpr int errAborted = -3;
constexpr int errTimedOut = -7;
constexpr int errAccessDenied = -10;
constexpr int errBlockedByClient = -20;
constexpr int errNetworkChanged = -21;
constexpr int errBlockedByAdministrator = -22;
constexpr int errBlockedByResponse = -27;
constexpr int errBlockedByCsp = -30;
constexpr int errConnectionClosed = -100;
constexpr int errConnectionReset = -101;
constexpr int errConnectionRefused = -102;
constexpr int errConnectionAborted = -103;
constexpr int errConnectionFailed = -104;
constexpr int errNameNotResolved = -105;
constexpr int errInternetDisconnected = -106;
constexpr int errSslProtocolError = -107;
constexpr int errAddressInvalid = -108;
constexpr int errAddressUnreachable = -109;
constexpr int errTunnelConnectionFailed = -111;
constexpr int errSslVersionOrCipherMismatch = -113;
constexpr int errConnectionTimedOut = -118;
constexpr int errProxyConnectionFailed = -130;
constexpr int errNameResolutionFailed = -137;
constexpr int errNetworkAccessDenied = -138;
constexpr int errFirstCertificateError = -299; // -200 to -299: the certificate errors
constexpr int errLastCertificateError = -200;
constexpr int errInvalidUrl = -300;
constexpr int errDisallowedUrlScheme = -301;
constexpr int errUnknownUrlScheme = -302;
constexpr int errInvalidRedirect = -303;
constexpr int errTooManyRedirects = -310;
constexpr int errUnsafeRedirect = -311;
constexpr int errUnsafePort = -312;
constexpr int errInvalidResponse = -320;
constexpr int errInvalidChunkedEncoding = -321;
constexpr int errEmptyResponse = -324;
constexpr int errResponseHeadersTooBig = -325;
constexpr int errContentDecodingFailed = -330;
constexpr int errMultipleContentLength = -346;
constexpr int errMultipleContentDisposition = -349;
constexpr int errMultipleLocation = -350;
constexpr int errContentLengthMismatch = -354;
constexpr int errIncompleteChunkedEncoding = -355;
constexpr int errInvalidHttpResponse = -370;

// Chromium describes its errors by code name ("net::ERR_CONNECTION_RESET");
// the user reads a plain sentence instead, and the code name only where no
// sentence fits better.
QString plainDescription(QWebEngineLoadingInfo::ErrorDomain domain, int errorCode, const QString &description)
{
    if (domain == QWebEngineLoadingInfo::CertificateErrorDomain ||
        (errorCode >= errFirstCertificateError && errorCode <= errLastCertificateError))
        return QStringLiteral("The server's security certificate isn't trusted.");
    switch (errorCode) {
    case errNameNotResolved:
    case errNameResolutionFailed:
        return QStringLiteral("No server was found at that address.");
    case errConnectionClosed:
    case errConnectionReset:
    case errConnectionAborted:
    case errEmptyResponse:
    case errContentLengthMismatch:
    case errIncompleteChunkedEncoding:
        return QStringLiteral("The connection to the server was lost.");
    case errTooManyRedirects:
        return QStringLiteral("The page redirected too many times.");
    case errUnsafeRedirect:
    case errInvalidRedirect:
        return QStringLiteral("The page redirected to an address that can't be opened here.");
    case errUnsafePort:
        return QStringLiteral("This port is blocked for safety. Your app needs to run on a different port.");
    case errSslProtocolError:
    case errSslVersionOrCipherMismatch:
        return QStringLiteral("A secure connection to the server couldn't be made. If your app doesn't use https, "
                              "try the address with http:// instead.");
    case errInvalidResponse:
    case errInvalidHttpResponse:
    case errInvalidChunkedEncoding:
    case errResponseHeadersTooBig:
    case errContentDecodingFailed:
    case errMultipleContentLength:
    case errMultipleContentDisposition:
    case errMultipleLocation:
        return QStringLiteral("The server sent a response that couldn't be read.");
    case errFileNotFound:
        return QStringLiteral("The file couldn't be found.");
    case errAccessDenied:
    case errNetworkAccessDenied:
        return QStringLiteral("Access to the page was denied.");
    case errBlockedByClient:
    case errBlockedByAdministrator:
    case errBlockedByResponse:
    case errBlockedByCsp:
        return QStringLiteral("The page was blocked from loading.");
    case errNetworkChanged:
        return QStringLiteral("The network connection changed while the page was loading. Try again.");
    case errTunnelConnectionFailed:
    case errProxyConnectionFailed:
        return QStringLiteral("Couldn't connect to the proxy server.");
    default:
        break;
    }
    const QString code = description.trimmed().isEmpty() ? QStringLiteral("error %1").arg(errorCode) : description.trimmed();
    return QStringLiteral("The page couldn't be loaded (") + code + QStringLiteral(").");
}

// A page that keeps to the allowed schemes and shows no JavaScript dialogs,
// file pickers or new windows, and keeps the page's console out of the log.
class PreviewWebPage : public QWebEnginePage {
public:
    using QWebEnginePage::QWebEnginePage;

    // Called for every page navigation that goes ahead, including those that
    // begin while an earlier page is still loading (which report no new start).
    std::function<void()> onPageNavigation;

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType, bool isMainFrame) override
    {
        if (!PreviewWebView::isAllowedScheme(url))
            return false;
        if (isMainFrame && onPageNavigation)
            onPageNavigation();
        return true;
    }
    void javaScriptAlert(const QUrl &, const QString &) override {}
    bool javaScriptConfirm(const QUrl &, const QString &) override { return false; }
    bool javaScriptPrompt(const QUrl &, const QString &, const QString &, QString *) override { return false; }
    QStringList chooseFiles(FileSelectionMode, const QStringList &, const QStringList &) override { return {}; }
    QWebEnginePage *createWindow(WebWindowType) override { return nullptr; }
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString &, int, const QString &) override {}
};

bool onGuiThread()
{
    return QThread::currentThread() == qApp->thread();
}

} // namespace

namespace {

// Holds back every request a local page must not make (see isAllowedRequest).
class LocalPageFence : public QWebEngineUrlRequestInterceptor {
public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;

    void interceptRequest(QWebEngineUrlRequestInfo &info) override
    {
        const bool mainFrameNavigation = info.resourceType() == QWebEngineUrlRequestInfo::ResourceTypeMainFrame;
        if (!PreviewWebView::isAllowedRequest(info.requestUrl(), info.firstPartyUrl(), info.initiator(),
                                              mainFrameNavigation))
            info.block(true);
    }
};

// Owns one project's profile. The profile is deleted only after every page
// that used it: each view deletes its page before letting go of its hold.
class ProfileOwner : public QObject {
public:
    ProfileOwner()
    {
        // No storage name: off the record.
        profile = new QWebEngineProfile(this);
        auto *fence = new LocalPageFence(profile);
        profile->setUrlRequestInterceptor(fence);
        profile->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
        profile->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
        QWebEngineSettings *settings = profile->settings();
        // Error pages commit an address and a title of their own; errors are
        // shown by the panel instead.
        settings->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
        settings->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
        // A local page (an address typed in the field, a file in the
        // project) reads no other local file and reaches no server.
        settings->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
        settings->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
        settings->setAttribute(QWebEngineSettings::AllowRunningInsecureContent, false);
        settings->setAttribute(QWebEngineSettings::NavigateOnDropEnabled, false);
        settings->setAttribute(QWebEngineSettings::JavascriptCanAccessClipboard, false);
        settings->setAttribute(QWebEngineSettings::JavascriptCanPaste, false);
    }

    QWebEngineProfile *profile = nullptr;
};

// The profile of each preview state that has a view. GUI thread only.
std::map<const PreviewState *, std::weak_ptr<QObject>> &profileOwners()
{
    static std::map<const PreviewState *, std::weak_ptr<QObject>> owners;
    return owners;
}

std::shared_ptr<QObject> holdProfileFor(PreviewState *state)
{
    if (state) {
        auto found = profileOwners().find(state);
        if (found != profileOwners().end()) {
            if (std::shared_ptr<QObject> owner = found->second.lock())
                return owner;
        }
    }
    std::shared_ptr<QObject> owner(new ProfileOwner, [](QObject *o) { delete o; });
    if (state) {
        const bool firstTime = profileOwners().find(state) == profileOwners().end();
        profileOwners()[state] = owner;
        // A later state at the same address is another project's: it must
        // never find this profile.
        if (firstTime)
            QObject::connect(state, &QObject::destroyed, qApp, [state] { profileOwners().erase(state); });
    }
    return owner;
}

QWebEngineProfile *profileOf(const std::shared_ptr<QObject> &owner)
{
    return static_cast<ProfileOwner *>(owner.get())->profile;
}

bool isLocal(const QUrl &url)
{
    return url.scheme().compare(QLatin1String("file"), Qt::CaseInsensitive) == 0;
}

} // namespace

QWebEngineProfile *PreviewWebView::profileFor(PreviewState *state)
{
    if (!state)
        return nullptr;
    auto found = profileOwners().find(state);
    if (found == profileOwners().end())
        return nullptr;
    const std::shared_ptr<QObject> owner = found->second.lock();
    return owner ? profileOf(owner) : nullptr;
}

bool PreviewWebView::isAllowedRequest(const QUrl &requestUrl, const QUrl &firstPartyUrl, const QUrl &initiator,
                                      bool isMainFrameNavigation)
{
    if (isMainFrameNavigation)
        return true;
    // A local page's origin is opaque ("null") or "file://"; its first party is
    // the file's address.
    const bool fromLocalPage = isLocal(firstPartyUrl) || isLocal(initiator);
    if (!fromLocalPage)
        return !isLocal(requestUrl);
    const QString scheme = requestUrl.scheme().toLower();
    return scheme == QLatin1String("file") || scheme == QLatin1String("data") || scheme == QLatin1String("blob") ||
           scheme == QLatin1String("about");
}

QString PreviewWebView::pageProcessEndedText()
{
    return QStringLiteral("The preview stopped working. Reload to try again.");
}

bool PreviewWebView::isAllowedScheme(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("file") ||
           scheme == QLatin1String("about");
}

QString PreviewWebView::loadErrorText(QWebEngineLoadingInfo::ErrorDomain domain, int errorCode,
                                      const QString &description, const QString &addressBar)
{
    // Chromium's error codes are unique across its error domains.
    switch (errorCode) {
    case errTimedOut:
    case errConnectionTimedOut:
        return QStringLiteral("The server took too long to respond.");
    case errInternetDisconnected:
        return QStringLiteral("You appear to be offline.");
    case errConnectionRefused:
    case errConnectionFailed:
    case errAddressUnreachable:
        return QStringLiteral("Couldn't connect to ") + addressBar + QStringLiteral(". Is your dev server running?");
    case errInvalidUrl:
    case errDisallowedUrlScheme:
    case errUnknownUrlScheme:
    case errAddressInvalid:
        return QStringLiteral("That URL couldn't be loaded.");
    case errAborted:
        return QString();
    default:
        break;
    }
    return QStringLiteral("Load failed: ") + plainDescription(domain, errorCode, description);
}

PreviewWebView::PreviewWebView(PreviewState *state, QWidget *parent) : PreviewWebView(state, Options{}, parent) {}

PreviewWebView::PreviewWebView(PreviewState *state, Options options, QWidget *parent)
    : QWidget(parent), m_state(state), m_options(options)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_view = new QWebEngineView(this);
    m_profileHold = holdProfileFor(m_state);
    auto *page = new PreviewWebPage(profileOf(m_profileHold), m_view);
    page->setBackgroundColor(Qt::white);
    page->onPageNavigation = [this] { startRequestClock(); };
    m_view->setPage(page);
    layout->addWidget(m_view);

    m_timeout = new QTimer(this);
    m_timeout->setSingleShot(true);
    connect(m_timeout, &QTimer::timeout, this, &PreviewWebView::handleTimeout);

    connect(page, &QWebEnginePage::loadingChanged, this, &PreviewWebView::handleLoadingChanged);
    connect(page, &QWebEnginePage::urlChanged, this, &PreviewWebView::handleCommit);
    // A page process that crashes or is killed ends only the page: the
    // preview says so in a sentence, and a reload starts a new process.
    connect(page, &QWebEnginePage::renderProcessTerminated, this,
            [this](QWebEnginePage::RenderProcessTerminationStatus status, int) {
                if (status != QWebEnginePage::NormalTerminationStatus)
                    handlePageProcessEnded();
            });

    if (m_state) {
        connect(m_state, &PreviewState::pendingNavigationChanged, this, &PreviewWebView::carryOutPendingNavigation);
        // A load already waiting is carried out at once; any other request
        // on the next turn of the event loop, like any later one.
        if (const auto &pending = m_state->pendingNavigation();
            pending && pending->kind() == PreviewState::PendingNavigation::Kind::load) {
            carryOutPendingNavigation();
        } else if (pending) {
            QTimer::singleShot(0, this, &PreviewWebView::carryOutPendingNavigation);
        }
    }
}

PreviewWebView::~PreviewWebView()
{
    // The page goes before the profile it uses, telling this view nothing more.
    m_view->page()->disconnect(this);
    delete m_view;
    m_view = nullptr;
    m_profileHold.reset();
}

void PreviewWebView::handlePageProcessEnded()
{
    m_timeout->stop();
    m_pageProcessEnded = true;
    if (!m_state)
        return;
    m_state->setLoading(false);
    m_state->setError(pageProcessEndedText());
}

void PreviewWebView::carryOutPendingNavigation()
{
    Q_ASSERT(onGuiThread());
    if (!m_state)
        return;
    const auto pending = m_state->pendingNavigation();
    if (!pending)
        return;
    m_state->setPendingNavigation(std::nullopt);

    using Kind = PreviewState::PendingNavigation::Kind;
    switch (pending->kind()) {
    case Kind::load:
        startLoad(pending->url());
        break;
    case Kind::back:
        if (m_view->history()->canGoBack())
            m_view->back();
        break;
    case Kind::forward:
        if (m_view->history()->canGoForward())
            m_view->forward();
        break;
    case Kind::reload:
        if (!m_view->url().isEmpty())
            m_view->reload();
        else if (const auto url = PreviewState::normalizedURL(m_state->addressBar()))
            startLoad(*url);
        break;
    }
}

void PreviewWebView::startLoad(const QUrl &url)
{
    m_view->load(url);
}

void PreviewWebView::handleLoadingChanged(const QWebEngineLoadingInfo &info)
{
    Q_ASSERT(onGuiThread());
    if (!m_state)
        return;
    switch (info.status()) {
    case QWebEngineLoadingInfo::LoadStartedStatus:
        m_pageProcessEnded = false;
        startRequestClock();
        m_state->setLoading(true);
        m_state->setError(std::nullopt);
        break;
    case QWebEngineLoadingInfo::LoadSucceededStatus:
        m_timeout->stop();
        handleFinished();
        break;
    case QWebEngineLoadingInfo::LoadStoppedStatus:
        m_timeout->stop();
        m_state->setLoading(false);
        if (!m_timedOut && !m_pageProcessEnded)
            m_state->setError(QString()); // cancelled: no visible sentence
        break;
    case QWebEngineLoadingInfo::LoadFailedStatus:
        m_timeout->stop();
        // The server answered with an error status: its page is what it is, as in any browser.
        if (info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain) {
            handleFinished();
            break;
        }
        m_state->setLoading(false);
        // A load cut off by the end of the page process keeps that sentence.
        if (!m_timedOut && !m_pageProcessEnded) {
            m_state->setError(
                loadErrorText(info.errorDomain(), info.errorCode(), info.errorString(), m_state->addressBar()));
        }
        break;
    }
}

void PreviewWebView::handleCommit(const QUrl &url)
{
    Q_ASSERT(onGuiThread());
    if (!m_state)
        return;
    if (url.isValid() && !url.isEmpty()) {
        m_state->setLoadedURL(url);
        m_state->setAddressBar(url.toString(QUrl::FullyEncoded));
    } else {
        m_state->setLoadedURL(std::nullopt);
    }
    copyHistoryFlags();
}

void PreviewWebView::handleFinished()
{
    m_state->setLoading(false);
    copyHistoryFlags();
    // QWebEnginePage::title() falls back to "host:port" for a page without a
    // title; the document's own title is what the panel shows.
    QPointer<PreviewWebView> self(this);
    m_view->page()->runJavaScript(QStringLiteral("document.title"), QWebEngineScript::ApplicationWorld,
                                  [self](const QVariant &result) {
                                      if (self && self->m_state)
                                          self->m_state->setTitle(result.toString());
                                  });
}

void PreviewWebView::startRequestClock()
{
    m_timedOut = false;
    m_visitAtLoadStart = m_view->history()->currentItem().lastVisited();
    m_timeout->start(m_options.requestTimeout);
}

void PreviewWebView::handleTimeout()
{
    if (!m_state)
        return;
    // The limit is on the page's own request. A page that has arrived (its
    // history entry was committed during this load, reloads included) stays
    // shown: only the images or scripts still hanging are given up, and the
    // page counts as finished.
    if (m_view->history()->currentItem().lastVisited() != m_visitAtLoadStart) {
        m_timedOut = true; // the abort that follows sets no sentence
        m_view->page()->triggerAction(QWebEnginePage::Stop);
        handleFinished();
        return;
    }
    m_timedOut = true;
    m_state->setLoading(false);
    m_state->setError(QStringLiteral("The server took too long to respond."));
    m_view->page()->triggerAction(QWebEnginePage::Stop);
}

void PreviewWebView::copyHistoryFlags()
{
    m_state->setCanGoBack(m_view->history()->canGoBack());
    m_state->setCanGoForward(m_view->history()->canGoForward());
}

} // namespace nerim
