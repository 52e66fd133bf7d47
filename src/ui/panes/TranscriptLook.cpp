#include "ui/panes/TranscriptLook.h"

#include "ui/design/Strings.h"

namespace nerim {

OutputLineLook outputLineLook(OutputLine::Kind kind)
{
    OutputLineLook look;
    switch (kind) {
    case OutputLine::Kind::stdout:
        look.font = NmFontSpecs::body;
        look.color = {NmColor::ink};
        look.inlineMarkdown = true;
        break;
    case OutputLine::Kind::stderr:
        look.font = NmFontSpecs::mono;
        look.color = {NmColor::danger};
        break;
    case OutputLine::Kind::system:
        look.font = NmFontSpecs::monoSmall;
        look.color = {NmColor::inkTertiary};
        look.verticalPadding = 1;
        break;
    case OutputLine::Kind::userPrompt:
        look.font = NmFontSpecs::bodyMedium;
        look.color = {NmColor::ink};
        look.arrangement = OutputLineLook::Arrangement::promptBar;
        look.decoration = {NmColor::accent};
        look.spacing = 10;
        look.verticalPadding = 4;
        break;
    case OutputLine::Kind::taskComplete:
        look.font = NmFontSpecs::captionMedium;
        look.color = {NmColor::ink};
        look.arrangement = OutputLineLook::Arrangement::capsule;
        look.decoration = {NmColor::accentSoft, 0.6};
        look.symbol = QStringLiteral("checkmark.circle.fill");
        look.symbolSize = 10;
        look.symbolColor = {NmColor::success};
        look.capsuleHorizontalPadding = 10;
        look.capsuleVerticalPadding = 6;
        look.spacing = 6;
        look.verticalPadding = 4;
        break;
    }
    return look;
}

StatusLook statusLook(AgentStatus status)
{
    namespace S = Strings::AgentStatusLabel;
    const TokenColor dot{color(status)};
    switch (status) {
    case AgentStatus::idle: return {S::idle, dot, false};
    case AgentStatus::spawning: return {S::spawning, dot, true};
    case AgentStatus::working: return {S::working, dot, true};
    case AgentStatus::hung: return {S::hung, dot, false};
    case AgentStatus::done: return {S::done, dot, false};
    case AgentStatus::error: return {S::error, dot, false};
    case AgentStatus::stopped: return {S::stopped, dot, false};
    }
    return {S::idle, dot, false};
}

double pulseOpacity(bool active, bool reduceMotion, bool pulse)
{
    return active && !reduceMotion && pulse ? 0.35 : 1.0;
}

} // namespace nerim
