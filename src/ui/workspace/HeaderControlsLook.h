#pragma once

#include "launcher/DetectedFailure.h"
#include "launcher/DevServerStatus.h"
#include "persistence/AppState.h"
#include "ui/panes/TokenColor.h"
#include "voice/VoiceState.h"

#include <QList>
#include <QString>
#include <optional>

namespace nerim {

// The rules of the canvas header's controls and the voice indicator, as plain
// functions of what they show; the widgets only apply them.
namespace HeaderControlsLook {

// The frame the four header controls share: a capsule filled and outlined.
inline constexpr TokenColor pillFill{NmColor::paperBright, 0.92};
inline constexpr TokenColor pillStroke{NmColor::hairline, 0.55};
inline constexpr double pillStrokeWidth = 0.75;

// The development server's pill; not shown at all while the server is idle.
struct AppServerPill {
    bool shown = false;
    TokenColor dot;
    QString label; // drawn upper case
    bool showsStopButton = false;
    QString help; // the status's one-line text
};
AppServerPill appServerPill(const DevServerStatus &status);
// The same, for a run whose classified failure is known: a run that crashed
// stays "crashed" (with its reason) when its process then exits, unless the
// exit was clean.
AppServerPill appServerPill(const DevServerStatus &status, const std::optional<DetectedFailure> &failure);

// The plan and preview toggles.
struct Toggle {
    QString symbol;
    QString label; // drawn upper case
    std::optional<QString> count;
    TokenColor foreground;
    TokenColor fill;
    QString help;
};
Toggle planToggle(bool visible, qsizetype stepCount);
Toggle previewToggle(bool visible);
// The step count's colour (both states).
inline constexpr TokenColor planCountColor{NmColor::ink, 0.7};

// The two segments of the output-mode switch, in order. With `summary`
// neither is active.
struct Segment {
    QString label; // drawn upper case
    AppState::OutputMode mode; // written on click
    bool active = false;
    TokenColor foreground;
    TokenColor fill;
};
QList<Segment> outputModeSegments(AppState::OutputMode current);

// The voice indicator's label, or none when it is not shown.
std::optional<QString> voiceIndicatorLabel(const VoiceState &state);

} // namespace HeaderControlsLook

} // namespace nerim
