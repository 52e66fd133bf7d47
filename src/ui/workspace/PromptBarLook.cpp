#include "ui/workspace/PromptBarLook.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "ui/design/Strings.h"
#include "ui/panes/AgentColumnLook.h"

#include <algorithm>

namespace nerim {

namespace S = Strings::PromptBar;

const PromptBarState::Pane *PromptBarState::paneWithId(const QUuid &id) const
{
    for (const Pane &pane : panes)
        if (pane.id == id)
            return &pane;
    return nullptr;
}

const PromptBarState::Pane *PromptBarState::focusedPane() const
{
    return focusedPaneId ? paneWithId(*focusedPaneId) : nullptr;
}

PromptBarState PromptBarState::of(const ProjectCanvasViewModel &canvas)
{
    PromptBarState state;
    state.inputPrompt = canvas.inputPrompt();
    state.voiceState = canvas.voiceState();
    state.promptTarget = canvas.promptTarget();
    state.panes.reserve(canvas.panes().size());
    for (const AgentPaneState *pane : canvas.panes())
        state.panes.append({pane->id(), pane->agentName(), pane->responsibility(), pane->status(),
                            pane->isSystemPane(),
                            !pane->isSystemPane() || canvas.systemPaneTakesPrompts(pane)});
    state.focusedPaneId = canvas.focusedPaneId();
    state.needsPaneSelection = canvas.needsPaneSelection();
    state.canSubmit = canvas.canSubmit();
    state.justSubmitted = canvas.justSubmitted();
    state.isSubmitting = canvas.isSubmitting();
    state.hasTranscriber = canvas.voiceTranscriber() != nullptr;
    return state;
}

namespace PromptBarLook {

bool isVoiceActive(const VoiceState &state)
{
    switch (state.kind()) {
    case VoiceState::Kind::requestingPermissions:
    case VoiceState::Kind::recording:
    case VoiceState::Kind::transcribing:
    case VoiceState::Kind::submitting: return true;
    case VoiceState::Kind::idle:
    case VoiceState::Kind::permissionDenied:
    case VoiceState::Kind::error: return false;
    }
    return false;
}

bool isCapturing(const VoiceState &state)
{
    return state.kind() == VoiceState::Kind::requestingPermissions || state.kind() == VoiceState::Kind::recording;
}

namespace {

QString paneText(const PromptBarState &state, const PromptBarState::Pane &pane)
{
    // A Repair or Deploy pane whose session is over takes no prompt: Enter
    // starts a new agent when there is no agent pane (as on an empty canvas),
    // and otherwise asks for one of the agent panes.
    if (pane.systemPane && !pane.takesPrompts) {
        const bool anyAgentPane = std::any_of(state.panes.cbegin(), state.panes.cend(),
                                              [](const PromptBarState::Pane &other) { return !other.systemPane; });
        return !anyAgentPane && state.promptTarget.kind() == PromptTarget::Kind::automatic ? S::noPanes
                                                                                            : S::selectPane;
    }
    if (isBusy(pane.status))
        // No "spawn agent" once no other pane can be opened.
        return state.panes.size() >= AgentColumnLook::paneLimit ? S::paneBusyAtLimit.arg(pane.agentName)
                                               : S::paneBusy.arg(pane.agentName);
    if (!pane.responsibility.isEmpty())
        return S::promptPaneWithResponsibility.arg(pane.agentName, pane.responsibility);
    return S::promptPane.arg(pane.agentName);
}

} // namespace

QString placeholder(const PromptBarState &state)
{
    if (state.needsPaneSelection)
        return S::selectPane;
    switch (state.voiceState.kind()) {
    case VoiceState::Kind::requestingPermissions: return S::preparingMicrophone;
    case VoiceState::Kind::recording: return S::listening;
    case VoiceState::Kind::transcribing: return S::transcribing;
    case VoiceState::Kind::submitting: return S::sending;
    case VoiceState::Kind::idle:
    case VoiceState::Kind::permissionDenied:
    case VoiceState::Kind::error: break;
    }
    if (state.promptTarget.kind() == PromptTarget::Kind::plans)
        return S::messagePlans;
    if (state.promptTarget.isPane())
        if (const PromptBarState::Pane *pane = state.paneWithId(state.promptTarget.paneId()))
            return paneText(state, *pane);
    if (state.panes.isEmpty())
        return S::noPanes;
    const PromptBarState::Pane *focused = state.focusedPane();
    if (!focused)
        return S::noFocusedPane;
    return paneText(state, *focused);
}

MicrophoneLook microphone(const PromptBarState &state, const QString &unavailableReason)
{
    const bool active = isVoiceActive(state.voiceState);
    const bool capturing = isCapturing(state.voiceState);
    MicrophoneLook look;
    look.symbol = capturing ? QStringLiteral("mic.fill") : QStringLiteral("mic");
    if (!state.hasTranscriber)
        look.symbolColor = {NmColor::inkTertiary, 0.55};
    else if (active)
        look.symbolColor = {NmColor::paperBright};
    else
        look.symbolColor = {NmColor::ink};
    look.disc = capturing ? TokenColor{NmColor::accent} : TokenColor{NmColor::hairline, 0.25};
    if (!state.hasTranscriber)
        look.help = unavailableReason;
    else if (state.voiceState.kind() == VoiceState::Kind::permissionDenied)
        look.help = S::micPermissionHelp;
    else if (active)
        look.help = S::micStopHelp;
    else
        look.help = S::micTalkHelp;
    // A recording that is under way can always be stopped, even when a pane
    // must be chosen before a new one may start.
    look.enabled = state.hasTranscriber && (!state.needsPaneSelection || active);
    look.action = active ? MicrophoneLook::Action::stop : MicrophoneLook::Action::start;
    return look;
}

bool fieldEnabled(const PromptBarState &state)
{
    return !state.needsPaneSelection && !isVoiceActive(state.voiceState);
}

SendLook send(const PromptBarState &state)
{
    const PromptBarState::Pane *focused = state.focusedPane();
    const bool focusedBusy = focused && isBusy(focused->status);
    SendLook look;
    look.enabled = state.canSubmit && !state.justSubmitted && !state.isSubmitting;
    look.disc = (state.justSubmitted || focusedBusy || state.canSubmit) ? TokenColor{NmColor::accent}
                                                                         : TokenColor{NmColor::hairline, 0.35};
    if (state.justSubmitted) {
        look.glyph = SendLook::Glyph::checkmark;
        look.glyphColor = {NmColor::paperBright};
    } else if (focusedBusy) {
        look.glyph = SendLook::Glyph::spinner;
        look.glyphColor = {NmColor::paperBright};
    } else {
        look.glyph = SendLook::Glyph::arrow;
        look.glyphColor = state.canSubmit ? TokenColor{NmColor::paperBright} : TokenColor{NmColor::inkTertiary, 0.6};
    }
    return look;
}

bool returnSubmits(const PromptBarState &state) { return !state.isSubmitting; }

std::optional<Notice> notice(const VoiceState &state)
{
    if (state.kind() == VoiceState::Kind::permissionDenied) {
        const bool microphone = state.deniedAuthorization() == VoiceState::DeniedAuthorization::microphone;
        return Notice{Notice::Kind::permission, microphone ? S::microphoneOff : S::speechRecognitionOff,
                      state.deniedAuthorization()};
    }
    if (state.kind() == VoiceState::Kind::error)
        return Notice{Notice::Kind::message, state.message(), VoiceState::DeniedAuthorization::microphone};
    return std::nullopt;
}

int fieldHeight(int lineCount, int lineHeight, int chrome)
{
    const int lines = std::clamp(lineCount, 1, fieldVisibleLines);
    return std::clamp(lines * lineHeight + chrome, fieldMinimumHeight, fieldMaximumHeight);
}

} // namespace PromptBarLook

} // namespace nerim
