#include "ui/workspace/HeaderControlsLook.h"
#include "ui/workspace/SidebarLook.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace nerim {
namespace {

TEST(HeaderControlsLook, AppServerPillByStatus)
{
    struct Row {
        DevServerStatus status;
        bool shown;
        NmRgb dot;
        QString label;
        bool stop;
        QString help;
    };
    const Row rows[] = {
        {DevServerStatus::idle(), false, {}, {}, false, {}},
        {DevServerStatus::starting(u"Starting npm run dev"_s), true, NmColor::warning, u"Starting"_s, false,
         u"Starting npm run dev…"_s},
        {DevServerStatus::running(QUrl(u"http://localhost:5173/"_s)), true, NmColor::success, u"Running"_s, true,
         u"Your app is running at http://localhost:5173/"_s},
        {DevServerStatus::running(std::nullopt), true, NmColor::success, u"Running"_s, true, u"Your app is running."_s},
        {DevServerStatus::stopped(0, true), true, NmColor::neutral, u"Stopped"_s, false, u"Your app stopped."_s},
        {DevServerStatus::stopped(1, false), true, NmColor::neutral, u"Stopped"_s, false, u"Your app crashed."_s},
        {DevServerStatus::failed(u"<b>port</b> taken"_s), true, NmColor::danger, u"Couldn't start"_s, false,
         u"Couldn't start: <b>port</b> taken"_s},
        {DevServerStatus::crashed(u"Missing module"_s, u"run npm install"_s), true, NmColor::danger, u"Crashed"_s,
         false, u"Missing module"_s},
    };
    for (const Row &row : rows) {
        const HeaderControlsLook::AppServerPill pill = HeaderControlsLook::appServerPill(row.status);
        SCOPED_TRACE(row.status.kindName().toStdString());
        EXPECT_EQ(pill.shown, row.shown);
        if (!row.shown)
            continue;
        EXPECT_EQ(pill.dot, TokenColor{row.dot});
        EXPECT_EQ(pill.label, row.label);
        EXPECT_EQ(pill.showsStopButton, row.stop);
        EXPECT_EQ(pill.help, row.help);
    }
}

TEST(HeaderControlsLook, ACrashOutlivesItsProcess)
{
    const DetectedFailure failure{DetectedFailure::Category::nodemonCatchall, u"Your app crashed on startup."_s,
                                  u"Ask an agent."_s, std::nullopt};
    // The exit after a classified failure still reads as the crash, with its reason.
    const auto crashed = HeaderControlsLook::appServerPill(DevServerStatus::stopped(1, false), failure);
    EXPECT_EQ(crashed.label, u"Crashed"_s);
    EXPECT_EQ(crashed.dot, TokenColor{NmColor::danger});
    EXPECT_EQ(crashed.help, failure.summary);
    // A clean stop, a failure-less exit and a running server are shown as they are.
    EXPECT_EQ(HeaderControlsLook::appServerPill(DevServerStatus::stopped(0, true), failure).label, u"Stopped"_s);
    EXPECT_EQ(HeaderControlsLook::appServerPill(DevServerStatus::stopped(1, false), std::nullopt).label, u"Stopped"_s);
    EXPECT_EQ(HeaderControlsLook::appServerPill(DevServerStatus::running(std::nullopt), failure).label, u"Running"_s);
}

TEST(HeaderControlsLook, PanelToggles)
{
    const auto shown = HeaderControlsLook::planToggle(true, 12);
    EXPECT_EQ(shown.symbol, u"list.bullet.rectangle"_s);
    EXPECT_EQ(shown.label, u"Plan"_s);
    EXPECT_EQ(shown.count, u"12"_s);
    EXPECT_EQ(shown.foreground, TokenColor{NmColor::ink});
    EXPECT_EQ(shown.fill, (TokenColor{NmColor::accent, 0.35}));
    EXPECT_EQ(shown.help, u"Hide the plans panel"_s);
    const auto hidden = HeaderControlsLook::planToggle(false, 0);
    EXPECT_FALSE(hidden.count);
    EXPECT_EQ(hidden.foreground, (TokenColor{NmColor::ink, 0.72}));
    EXPECT_EQ(hidden.fill.opacity, 0.0);
    EXPECT_EQ(hidden.help, u"Show the plans panel — describe your vision, Nerim's planning agent builds you a "
                           "step-by-step plan"_s);

    const auto preview = HeaderControlsLook::previewToggle(true);
    EXPECT_EQ(preview.symbol, u"eye.fill"_s);
    EXPECT_EQ(preview.fill, TokenColor{NmColor::accentSoft});
    EXPECT_EQ(preview.help, u"Hide the preview panel"_s);
    EXPECT_FALSE(preview.count);
    const auto noPreview = HeaderControlsLook::previewToggle(false);
    EXPECT_EQ(noPreview.symbol, u"eye"_s);
    EXPECT_EQ(noPreview.foreground, (TokenColor{NmColor::ink, 0.72}));
    EXPECT_EQ(noPreview.help,
              u"Show the preview panel — displays your app once it's running, or any URL you paste"_s);
}

TEST(HeaderControlsLook, OutputModeSegmentsHaveNoSegmentForSummary)
{
    using M = AppState::OutputMode;
    const struct {
        M mode;
        bool fullActive;
        bool highlightsActive;
    } rows[] = {{M::verbose, true, false}, {M::notification, false, true}, {M::summary, false, false}};
    for (const auto &row : rows) {
        const QList<HeaderControlsLook::Segment> segments = HeaderControlsLook::outputModeSegments(row.mode);
        ASSERT_EQ(segments.size(), 2);
        EXPECT_EQ(segments[0].label, u"Full transcript"_s);
        EXPECT_EQ(segments[0].mode, M::verbose);
        EXPECT_EQ(segments[1].label, u"Highlights"_s);
        EXPECT_EQ(segments[1].mode, M::notification);
        EXPECT_EQ(segments[0].active, row.fullActive);
        EXPECT_EQ(segments[1].active, row.highlightsActive);
        for (const auto &segment : segments) {
            EXPECT_EQ(segment.fill, (segment.active ? TokenColor{NmColor::accentSoft} : TokenColor{NmColor::accentSoft, 0}));
            EXPECT_EQ(segment.foreground, (segment.active ? TokenColor{NmColor::ink} : TokenColor{NmColor::ink, 0.7}));
        }
    }
}

TEST(HeaderControlsLook, VoiceIndicatorOnlyWhileVoiceIsBusy)
{
    EXPECT_EQ(HeaderControlsLook::voiceIndicatorLabel(VoiceState::requestingPermissions()), u"Preparing microphone…"_s);
    EXPECT_EQ(HeaderControlsLook::voiceIndicatorLabel(VoiceState::recording()), u"Listening…"_s);
    EXPECT_EQ(HeaderControlsLook::voiceIndicatorLabel(VoiceState::transcribing()), u"Transcribing…"_s);
    EXPECT_EQ(HeaderControlsLook::voiceIndicatorLabel(VoiceState::submitting()), u"Sending…"_s);
    EXPECT_FALSE(HeaderControlsLook::voiceIndicatorLabel(VoiceState::idle()));
    EXPECT_FALSE(HeaderControlsLook::voiceIndicatorLabel(
        VoiceState::permissionDenied(VoiceState::DeniedAuthorization::microphone)));
    EXPECT_FALSE(HeaderControlsLook::voiceIndicatorLabel(VoiceState::error(u"Listening…"_s)));
}

TEST(SidebarLook, FourButtonsOnlyTheFirstWorks)
{
    const QList<SidebarLook::ButtonSpec> buttons = SidebarLook::buttons();
    ASSERT_EQ(buttons.size(), 4);
    const QStringList symbols{u"square.grid.2x2"_s, u"square.and.pencil"_s, u"sparkles"_s, u"gearshape"_s};
    const QStringList tips{u"Projects"_s, u"Notes · coming in V2"_s, u"Extensions · coming in V2"_s,
                           u"Settings · coming in V2"_s};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(buttons[i].symbol, symbols[i]);
        EXPECT_EQ(buttons[i].tooltip, tips[i]);
        EXPECT_EQ(buttons[i].isActive, i == 0);
        EXPECT_EQ(buttons[i].enabled, i == 0);
    }
    EXPECT_EQ(SidebarLook::railHeight(4), 230);
}

TEST(SidebarLook, FirstMatchingRuleGivesTheIcon)
{
    using W = NmSymbolWeight;
    const struct {
        bool enabled, active, hovered;
        W weight;
        TokenColor icon;
    } rows[] = {
        {false, false, false, W::light, {NmColor::inkSecondary, 0.55}},
        {false, true, true, W::light, {NmColor::inkSecondary, 0.55}},
        {true, true, false, W::medium, {NmColor::ink}},
        {true, true, true, W::medium, {NmColor::ink}}, // an active button ignores hover
        {true, false, true, W::regular, {NmColor::ink}},
        {true, false, false, W::light, {NmColor::inkSecondary}},
    };
    for (const auto &row : rows) {
        const SidebarLook::ButtonLook look = SidebarLook::buttonLook(row.enabled, row.active, row.hovered);
        EXPECT_EQ(look.weight, row.weight);
        EXPECT_EQ(look.icon, row.icon);
        EXPECT_EQ(look.selectionBar.opacity, row.active ? 1.0 : 0.0);
    }
}

} // namespace
} // namespace nerim
