#pragma once

#include <QObject>
#include <QString>
#include <QUrl>
#include <optional>

namespace nerim {

// The observable model of the built-in browser on a project's canvas, shared
// by the canvas controller, the preview panel and the web view. Views and
// controller never talk to the web view directly: they leave one pending
// request here, which the web view takes out and carries out, and the web
// view writes back what the page is doing. GUI thread only; every setter
// notifies only when the value changes. Nothing here is saved.
class PreviewState : public QObject {
    Q_OBJECT

public:
    // One request for the web view: show an address, go back, go forward, reload.
    class PendingNavigation {
    public:
        enum class Kind { load, back, forward, reload };

        static PendingNavigation load(const QUrl &url) { return PendingNavigation(Kind::load, url); }
        static PendingNavigation back() { return PendingNavigation(Kind::back, {}); }
        static PendingNavigation forward() { return PendingNavigation(Kind::forward, {}); }
        static PendingNavigation reload() { return PendingNavigation(Kind::reload, {}); }

        Kind kind() const { return m_kind; }
        // The address of a `load`; empty for the other cases.
        const QUrl &url() const { return m_url; }

        friend bool operator==(const PendingNavigation &, const PendingNavigation &) = default;

    private:
        PendingNavigation(Kind kind, QUrl url) : m_kind(kind), m_url(std::move(url)) {}
        Kind m_kind;
        QUrl m_url;
    };

    static inline const QString invalidAddressText =
        QStringLiteral("That doesn't look like a URL. Try http://localhost:3000 or paste a full address.");

    explicit PreviewState(QObject *parent = nullptr);

    bool isVisible() const { return m_isVisible; }
    bool isExpanded() const { return m_isExpanded; }
    const QString &addressBar() const { return m_addressBar; }
    const std::optional<QUrl> &loadedURL() const { return m_loadedURL; }
    bool isLoading() const { return m_isLoading; }
    bool canGoBack() const { return m_canGoBack; }
    bool canGoForward() const { return m_canGoForward; }
    const QString &title() const { return m_title; }
    // A sentence shown in place of the page; an empty text counts as no error.
    const std::optional<QString> &error() const { return m_error; }
    // True when error() holds a non-empty sentence.
    bool hasVisibleError() const { return m_error && !m_error->isEmpty(); }
    const std::optional<PendingNavigation> &pendingNavigation() const { return m_pendingNavigation; }

    void setVisible(bool visible);
    void setExpanded(bool expanded);
    void setAddressBar(const QString &text);
    void setLoadedURL(const std::optional<QUrl> &url);
    void setLoading(bool loading);
    void setCanGoBack(bool canGoBack);
    void setCanGoForward(bool canGoForward);
    void setTitle(const QString &title);
    void setError(const std::optional<QString> &error);
    // A new request replaces one that has not been carried out yet.
    void setPendingNavigation(const std::optional<PendingNavigation> &navigation);

    // The address for a typed or detected text: http, https and file addresses
    // as written, anything else with "http://" put in front; none for blank or
    // unusable text. No side effects.
    static std::optional<QUrl> normalizedURL(const QString &text);

    // Clears the error, then requests a load of the normalised address and
    // shows it in the address field; an unusable text sets the invalid-address
    // error and changes nothing else. Never changes visibility.
    void navigate(const QString &text);

    // Shows or hides the panel; hiding also shrinks it, and showing it with
    // nothing loaded and an address typed loads that address.
    void toggleVisibility();
    void hide();
    // Enlarges or shrinks the panel, showing it first when hidden.
    void toggleExpanded();

signals:
    void isVisibleChanged();
    void isExpandedChanged();
    void addressBarChanged();
    void loadedURLChanged();
    void isLoadingChanged();
    void canGoBackChanged();
    void canGoForwardChanged();
    void titleChanged();
    void errorChanged();
    void pendingNavigationChanged();

private:
    void loadAddressBarIfNothingLoaded();

    bool m_isVisible = false;
    bool m_isExpanded = false;
    QString m_addressBar;
    std::optional<QUrl> m_loadedURL;
    bool m_isLoading = false;
    bool m_canGoBack = false;
    bool m_canGoForward = false;
    QString m_title;
    std::optional<QString> m_error;
    std::optional<PendingNavigation> m_pendingNavigation;
};

} // namespace nerim
