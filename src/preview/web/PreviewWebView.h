#pragma once

#include "preview/PreviewState.h"

#include <QDateTime>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <QWebEngineLoadingInfo>
#include <chrono>

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

    // One named, persistent profile shared by every preview: cookies and site
    // storage survive restarts and are shared by all projects.
    static QWebEngineProfile *sharedProfile();

    // http, https, file and about, in any letter case.
    static bool isAllowedScheme(const QUrl &url);

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

    QPointer<PreviewState> m_state;
    Options m_options;
    QWebEngineView *m_view = nullptr;
    QTimer *m_timeout = nullptr;
    // Set when the time limit stopped a load, so that the abort that follows
    // sets no sentence of its own.
    bool m_timedOut = false;
    // When the current history entry was last committed, as it stood when the
    // running load started; a different value means the load's page arrived.
    QDateTime m_visitAtLoadStart;
};

} // namespace nerim
