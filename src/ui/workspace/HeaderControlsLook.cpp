#include "ui/workspace/HeaderControlsLook.h"

#include "ui/design/Strings.h"

namespace nerim::HeaderControlsLook {

AppServerPill appServerPill(const DevServerStatus &status)
{
    AppServerPill pill;
    using Kind = DevServerStatus::Kind;
    switch (status.kind()) {
    case Kind::idle:
        return pill;
    case Kind::starting:
        pill.dot = {NmColor::warning};
        pill.label = Strings::Header::serverStarting;
        break;
    case Kind::running:
        pill.dot = {NmColor::success};
        pill.label = Strings::Header::serverRunning;
        pill.showsStopButton = true;
        break;
    case Kind::stopped:
        pill.dot = {NmColor::neutral};
        pill.label = Strings::Header::serverStopped;
        break;
    case Kind::failed:
        pill.dot = {NmColor::danger};
        pill.label = Strings::Header::serverFailed;
        break;
    case Kind::crashed:
        pill.dot = {NmColor::danger};
        pill.label = Strings::Header::serverCrashed;
        break;
    }
    pill.shown = true;
    pill.help = status.displayText();
    return pill;
}

AppServerPill appServerPill(const DevServerStatus &status, const std::optional<DetectedFailure> &failure)
{
    if (failure && status.is(DevServerStatus::Kind::stopped) && !status.wasClean())
        return appServerPill(DevServerStatus::crashed(failure->summary, failure->hint));
    return appServerPill(status);
}

Toggle planToggle(bool visible, qsizetype stepCount)
{
    Toggle toggle;
    toggle.symbol = QStringLiteral("list.bullet.rectangle");
    toggle.label = Strings::Header::plan;
    if (stepCount > 0)
        toggle.count = QString::number(stepCount);
    toggle.foreground = visible ? TokenColor{NmColor::ink} : TokenColor{NmColor::ink, 0.72};
    toggle.fill = visible ? TokenColor{NmColor::accent, 0.35} : TokenColor{NmColor::accent, 0.0};
    toggle.help = visible ? Strings::Header::hidePlanHelp : Strings::Header::showPlanHelp;
    return toggle;
}

Toggle previewToggle(bool visible)
{
    Toggle toggle;
    toggle.symbol = visible ? QStringLiteral("eye.fill") : QStringLiteral("eye");
    toggle.label = Strings::Header::preview;
    toggle.foreground = visible ? TokenColor{NmColor::ink} : TokenColor{NmColor::ink, 0.72};
    toggle.fill = visible ? TokenColor{NmColor::accentSoft} : TokenColor{NmColor::accentSoft, 0.0};
    toggle.help = visible ? Strings::Header::hidePreviewHelp : Strings::Header::showPreviewHelp;
    return toggle;
}

QList<Segment> outputModeSegments(AppState::OutputMode current)
{
    QList<Segment> segments;
    const auto make = [current](const QString &label, AppState::OutputMode mode) {
        Segment segment;
        segment.label = label;
        segment.mode = mode;
        segment.active = current == mode;
        segment.foreground = segment.active ? TokenColor{NmColor::ink} : TokenColor{NmColor::ink, 0.7};
        segment.fill = segment.active ? TokenColor{NmColor::accentSoft} : TokenColor{NmColor::accentSoft, 0.0};
        return segment;
    };
    segments.append(make(Strings::Header::fullTranscript, AppState::OutputMode::verbose));
    segments.append(make(Strings::Header::highlights, AppState::OutputMode::notification));
    return segments;
}

std::optional<QString> voiceIndicatorLabel(const VoiceState &state)
{
    switch (state.kind()) {
    case VoiceState::Kind::requestingPermissions:
        return Strings::Header::voicePreparing;
    case VoiceState::Kind::recording:
        return Strings::Header::voiceListening;
    case VoiceState::Kind::transcribing:
        return Strings::Header::voiceTranscribing;
    case VoiceState::Kind::submitting:
        return Strings::Header::voiceSending;
    case VoiceState::Kind::idle:
    case VoiceState::Kind::permissionDenied:
    case VoiceState::Kind::error:
        break;
    }
    return std::nullopt;
}

} // namespace nerim::HeaderControlsLook
