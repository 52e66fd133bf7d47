#include "preview/PreviewState.h"

namespace nerim {

namespace {

template <typename T, typename Signal>
void assign(PreviewState *state, T &field, const T &value, Signal changed)
{
    if (field == value)
        return;
    field = value;
    emit(state->*changed)();
}

} // namespace

PreviewState::PreviewState(QObject *parent) : QObject(parent) {}

void PreviewState::setVisible(bool visible) { assign(this, m_isVisible, visible, &PreviewState::isVisibleChanged); }
void PreviewState::setExpanded(bool expanded) { assign(this, m_isExpanded, expanded, &PreviewState::isExpandedChanged); }
void PreviewState::setAddressBar(const QString &text) { assign(this, m_addressBar, text, &PreviewState::addressBarChanged); }
void PreviewState::setLoadedURL(const std::optional<QUrl> &url) { assign(this, m_loadedURL, url, &PreviewState::loadedURLChanged); }
void PreviewState::setLoading(bool loading) { assign(this, m_isLoading, loading, &PreviewState::isLoadingChanged); }
void PreviewState::setCanGoBack(bool canGoBack) { assign(this, m_canGoBack, canGoBack, &PreviewState::canGoBackChanged); }
void PreviewState::setCanGoForward(bool canGoForward)
{
    assign(this, m_canGoForward, canGoForward, &PreviewState::canGoForwardChanged);
}
void PreviewState::setTitle(const QString &title) { assign(this, m_title, title, &PreviewState::titleChanged); }
void PreviewState::setError(const std::optional<QString> &error) { assign(this, m_error, error, &PreviewState::errorChanged); }
void PreviewState::setPendingNavigation(const std::optional<PendingNavigation> &navigation)
{
    assign(this, m_pendingNavigation, navigation, &PreviewState::pendingNavigationChanged);
}

std::optional<QUrl> PreviewState::normalizedURL(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    const QUrl direct(trimmed, QUrl::StrictMode);
    if (direct.isValid()) {
        const QString scheme = direct.scheme().toLower();
        if (scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("file"))
            return direct;
    }
    const QUrl prefixed(QStringLiteral("http://") + trimmed, QUrl::StrictMode);
    if (!prefixed.isValid() || prefixed.host().isEmpty())
        return std::nullopt;
    return prefixed;
}

void PreviewState::navigate(const QString &text)
{
    setError(std::nullopt);
    const auto url = normalizedURL(text);
    if (!url) {
        setError(invalidAddressText);
        return;
    }
    setAddressBar(url->toString(QUrl::FullyEncoded));
    setPendingNavigation(PendingNavigation::load(*url));
}

void PreviewState::loadAddressBarIfNothingLoaded()
{
    if (m_isVisible && !m_loadedURL && !m_addressBar.isEmpty())
        navigate(m_addressBar);
}

void PreviewState::toggleVisibility()
{
    setVisible(!m_isVisible);
    if (!m_isVisible)
        setExpanded(false);
    else
        loadAddressBarIfNothingLoaded();
}

void PreviewState::hide()
{
    setVisible(false);
    setExpanded(false);
}

void PreviewState::toggleExpanded()
{
    if (!m_isVisible)
        setVisible(true);
    setExpanded(!m_isExpanded);
    loadAddressBarIfNothingLoaded();
}

} // namespace nerim
