#pragma once

#include "preview/PreviewState.h"

#include <QDateTime>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <QWebEngineLoadingInfo>
#include <chrono>
#include <memory>

class QTimer;
class QWebEngineProfile;
class QWebEngineView;

namespace nerim {

// The user's running app inside the preview panel: one QWebEngineView bound
// to the project's PreviewState. Requests travel from the model through its
// single pendingNavigation slot, each carried out once; page progress travels
// back into the model (loading flag, committed address, title, history flags,
// load errors in plain words). Only http, https, file and about addresses
// navigate; JavaScript dialogs and new windows are not shown. GUI thread only.
//
// Isolation: the profile (profileFor) is one per PreviewState, shared by the
// views bound to that state and deleted after the last of them (each view
// deletes its page first), so a page of one project on the same
// 127.0.0.1:<port> as another's finds nothing of the other's, and a state
// destroyed and a new one made at the same address never share a profile.
// (The folder the earlier shared "NerimPreview" profile used is no longer
// read.) LocalContentCanAccessFileUrls and LocalContentCanAccessRemoteUrls are
// off, a request interceptor applies isAllowedRequest, and clipboard reads and
// drops that navigate are off too. A page process that crashes or is killed
// ends only the page: the preview shows pageProcessEndedText() and a reload
// starts a new one.
//
// This library (`nerim_preview_web`) is linked only into the engine library
// `libnerim_preview_engine.so`, a Qt plugin offering PreviewPageFactory, put
// beside `nerim`; `nerim` itself links no WebEngine, so a start loads neither
// the engine nor the OpenGL driver.
class PreviewWebView : public QWidget {
    Q_OBJECT

public:
    struct Options {
        // A page whose own request takes longer than this is stopped and
        // reported as "The server took too long to respond.". When the page
        // itself has arrived, what still hangs then is given up instead and
        // the page counts as finished.
        std::chrono::milliseconds requestTimeout{60000};
    };

    explicit PreviewWebView(PreviewState *state, QWidget *parent = nullptr);
    PreviewWebView(PreviewState *state, Options options, QWidget *parent = nullptr);
    ~PreviewWebView() override;

    PreviewState *state() const { return m_state; }
    QWebEngineView *webView() const { return m_view; }

    // The browser profile of the previews bound to `state`, which is one
    // project's: off the record (cookies, site storage, caches and service
    // workers live in memory only and go with the profile), so no page of
    // one project can read what another project's pages stored, even on the
    // same address, nor can a service worker of one answer for another, now
    // or after a restart. Every view bound to the same state shares it; it
    // goes with the last of them. A null state gets a profile of the view's own.
    // Local (file:) pages reach neither other local files nor the network.
    static QWebEngineProfile *profileFor(PreviewState *state);

    // http, https, file and about, in any letter case.
    static bool isAllowedScheme(const QUrl &url);

    // Whether a request may go out. A local (file:) page loads only local,
    // data, blob and about addresses: no server, no WebSocket. A web page
    // loads anything but local files. A navigation of the main frame (a new
    // page replacing the local one) always goes. Pure.
    static bool isAllowedRequest(const QUrl &requestUrl, const QUrl &firstPartyUrl, const QUrl &initiator,
                                 bool isMainFrameNavigation);

    // The sentence the preview shows when the web engine's page process ended
    // abnormally (crashed, killed, out of memory).
    static QString pageProcessEndedText();

    // The sentence for a failed load, in plain words for every error; empty for
    // a cancelled one. An error without a sentence of its own gets a generic
    // one with Chromium's name for it (`description`) in parentheses.
    // `addressBar` is the address field's text as it stands.
    static QString loadErrorText(QWebEngineLoadingInfo::ErrorDomain domain, int errorCode, const QString &description,
                                 const QString &addressBar);

private:
    void carryOutPendingNavigation();
    void startLoad(const QUrl &url);
    void handleLoadingChanged(const QWebEngineLoadingInfo &info);
    void handleCommit(const QUrl &url);
    void handleFinished();
    // Starts the time limit of a page request.
    void startRequestClock();
    void handleTimeout();
    void copyHistoryFlags();
    void handlePageProcessEnded();

    QPointer<PreviewState> m_state;
    // Keeps the profile alive while this view's page uses it.
    std::shared_ptr<QObject> m_profileHold;
    Options m_options;
    QWebEngineView *m_view = nullptr;
    QTimer *m_timeout = nullptr;
    // Set when the time limit stopped a load, so that the abort that follows
    // sets no sentence of its own.
    bool m_timedOut = false;
    // Set when the page process ended abnormally, until the next load starts:
    // the load it cut off reports no sentence of its own.
    bool m_pageProcessEnded = false;
    // When the current history entry was last committed, as it stood when the
    // running load started; a different value means the load's page arrived.
    QDateTime m_visitAtLoadStart;
};

} // namespace nerim
