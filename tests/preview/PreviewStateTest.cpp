#include "preview/PreviewState.h"

#include <gtest/gtest.h>

using nerim::PreviewState;
using Pending = PreviewState::PendingNavigation;

namespace {

struct Normalized {
    const char *text;
    const char *expected; // nullptr: none
};

void PrintTo(const Normalized &c, std::ostream *os) { *os << '"' << c.text << '"'; }

class NormalizedURL : public ::testing::TestWithParam<Normalized> {};

TEST_P(NormalizedURL, Maps)
{
    const auto url = PreviewState::normalizedURL(QString::fromUtf8(GetParam().text));
    if (!GetParam().expected) {
        EXPECT_FALSE(url.has_value()) << url->toString().toStdString();
        return;
    }
    ASSERT_TRUE(url.has_value());
    EXPECT_EQ(url->toString().toStdString(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, NormalizedURL,
                         ::testing::Values(Normalized{"  localhost:5173 \n", "http://localhost:5173"},
                                           Normalized{"localhost:3000", "http://localhost:3000"},
                                           Normalized{"https://example.com/a?b=1", "https://example.com/a?b=1"},
                                           // QUrl lower-cases the scheme; the address is otherwise kept.
                                           Normalized{"FILE:///tmp/index.html", "file:///tmp/index.html"},
                                           Normalized{"127.0.0.1:8000/docs", "http://127.0.0.1:8000/docs"},
                                           Normalized{"about:blank", nullptr}, Normalized{"", nullptr},
                                           Normalized{" \t\n", nullptr}, Normalized{"http://local host", nullptr}));

// Counts the change notifications of one signal.
struct Counter {
    int count = 0;
    template <typename Signal>
    Counter(PreviewState &state, Signal signal)
    {
        QObject::connect(&state, signal, [this] { ++count; });
    }
};

TEST(PreviewState, InitialValues)
{
    PreviewState state;
    EXPECT_FALSE(state.isVisible());
    EXPECT_FALSE(state.isExpanded());
    EXPECT_TRUE(state.addressBar().isEmpty());
    EXPECT_FALSE(state.loadedURL().has_value());
    EXPECT_FALSE(state.isLoading());
    EXPECT_FALSE(state.canGoBack());
    EXPECT_FALSE(state.canGoForward());
    EXPECT_TRUE(state.title().isEmpty());
    EXPECT_FALSE(state.error().has_value());
    EXPECT_FALSE(state.pendingNavigation().has_value());
}

TEST(PreviewState, NavigateRequestsTheNormalisedAddress)
{
    PreviewState state;
    state.setError(QStringLiteral("old error"));
    state.navigate(QStringLiteral("  localhost:5173\n"));
    EXPECT_EQ(state.addressBar(), QStringLiteral("http://localhost:5173"));
    EXPECT_EQ(state.pendingNavigation(), Pending::load(QUrl(QStringLiteral("http://localhost:5173"))));
    EXPECT_FALSE(state.error().has_value());
    EXPECT_FALSE(state.isVisible()); // navigating never shows the panel
}

TEST(PreviewState, UnusableAddressOnlySetsTheError)
{
    PreviewState state;
    state.setAddressBar(QStringLiteral("typed"));
    state.setPendingNavigation(Pending::back());
    state.navigate(QStringLiteral("   "));
    EXPECT_EQ(state.error(), PreviewState::invalidAddressText);
    EXPECT_EQ(state.error(), QStringLiteral("That doesn't look like a URL. Try http://localhost:3000 or paste a full address."));
    EXPECT_EQ(state.addressBar(), QStringLiteral("typed"));
    EXPECT_EQ(state.pendingNavigation(), Pending::back());
}

TEST(PreviewState, PendingRequestsReplaceAndNotifyOnlyOnChange)
{
    PreviewState state;
    Counter pending(state, &PreviewState::pendingNavigationChanged);
    Counter address(state, &PreviewState::addressBarChanged);
    state.navigate(QStringLiteral("localhost:3000"));
    state.navigate(QStringLiteral("http://localhost:3000"));
    EXPECT_EQ(pending.count, 1);
    EXPECT_EQ(address.count, 1);
    state.setPendingNavigation(Pending::reload());
    EXPECT_EQ(state.pendingNavigation(), Pending::reload());
    EXPECT_EQ(pending.count, 2);
    EXPECT_NE(Pending::load(QUrl(QStringLiteral("http://a:1"))), Pending::load(QUrl(QStringLiteral("http://a:2"))));
    EXPECT_NE(Pending::back(), Pending::forward());

    Counter loading(state, &PreviewState::isLoadingChanged);
    state.setLoading(false);
    state.setLoading(true);
    state.setLoading(true);
    EXPECT_EQ(loading.count, 1);
}

TEST(PreviewState, ToggleVisibility)
{
    PreviewState state;
    state.toggleVisibility();
    EXPECT_TRUE(state.isVisible());
    EXPECT_FALSE(state.pendingNavigation().has_value()); // empty address: only shown

    state.toggleExpanded();
    ASSERT_TRUE(state.isExpanded());
    state.toggleVisibility();
    EXPECT_FALSE(state.isVisible());
    EXPECT_FALSE(state.isExpanded());

    state.setAddressBar(QStringLiteral("localhost:3000"));
    state.toggleVisibility();
    EXPECT_EQ(state.pendingNavigation(), Pending::load(QUrl(QStringLiteral("http://localhost:3000"))));

    // Something loaded already: showing again requests nothing.
    state.setPendingNavigation(std::nullopt);
    state.setLoadedURL(QUrl(QStringLiteral("http://localhost:3000/")));
    state.hide();
    state.toggleVisibility();
    EXPECT_FALSE(state.pendingNavigation().has_value());
}

TEST(PreviewState, ToggleExpandedShowsAHiddenPanelExpanded)
{
    PreviewState state;
    state.setAddressBar(QStringLiteral("localhost:4000"));
    state.toggleExpanded();
    EXPECT_TRUE(state.isVisible());
    EXPECT_TRUE(state.isExpanded());
    EXPECT_EQ(state.pendingNavigation(), Pending::load(QUrl(QStringLiteral("http://localhost:4000"))));
    state.toggleExpanded();
    EXPECT_TRUE(state.isVisible());
    EXPECT_FALSE(state.isExpanded());
    state.hide();
    EXPECT_FALSE(state.isVisible());
}

TEST(PreviewState, EmptyErrorIsNoVisibleError)
{
    PreviewState state;
    state.setError(QString());
    EXPECT_TRUE(state.error().has_value());
    EXPECT_FALSE(state.hasVisibleError());
    state.setError(QStringLiteral("x"));
    EXPECT_TRUE(state.hasVisibleError());
}

} // namespace
