#pragma once

#include "agents/AgentStatus.h"
#include "persistence/PromptTarget.h"
#include "ui/panes/TokenColor.h"
#include "voice/VoiceState.h"

#include <QList>
#include <QString>
#include <QUuid>
#include <optional>

namespace nerim {

class ProjectCanvasViewModel;

// What the prompt bar reads of the canvas controller; every rule of the bar
// is a function of it.
struct PromptBarState {
    struct Pane {
        QUuid id;
        QString agentName;
        QString responsibility;
        AgentStatus status = AgentStatus::idle;
        // A Repair or Deploy pane, and whether its session takes what is typed now.
        bool systemPane = false;
        bool takesPrompts = true;
    };

    QString inputPrompt;
    VoiceState voiceState = VoiceState::idle();
    PromptTarget promptTarget = PromptTarget::automatic();
    QList<Pane> panes;
    std::optional<QUuid> focusedPaneId;
    // The controller's own computed values.
    bool needsPaneSelection = false;
    bool canSubmit = false;
    bool justSubmitted = false;
    // A submission is being routed and has not yet taken its prompt.
    bool isSubmitting = false;
    bool hasTranscriber = false;

    // The pane with the focused id, if it is open.
    const Pane *focusedPane() const;
    const Pane *paneWithId(const QUuid &id) const;

    static PromptBarState of(const ProjectCanvasViewModel &canvas);
};

namespace PromptBarLook {

inline constexpr int width = 640;
inline constexpr int fieldMinimumHeight = 28;
inline constexpr int fieldMaximumHeight = 96;
inline constexpr int fieldVisibleLines = 4;
inline constexpr int discSide = 30;

// Asking for the microphone, recording, transcribing or handing on the text.
bool isVoiceActive(const VoiceState &state);
// Asking for the microphone or recording.
bool isCapturing(const VoiceState &state);

// The field's placeholder: the first row that applies, from choosing a pane
// down to naming the focused (or targeted) pane.
QString placeholder(const PromptBarState &state);

struct MicrophoneLook {
    enum class Action { start, stop };
    QString symbol;
    TokenColor symbolColor;
    TokenColor disc;
    QString help;
    bool enabled = true;
    Action action = Action::start;
    friend bool operator==(const MicrophoneLook &, const MicrophoneLook &) = default;
};

// `unavailableReason` is the help shown when there is no transcriber (what
// the user needs to set up for voice input).
MicrophoneLook microphone(const PromptBarState &state, const QString &unavailableReason);

// The field takes text unless a pane must be chosen first or voice input is active.
bool fieldEnabled(const PromptBarState &state);

struct SendLook {
    enum class Glyph { checkmark, spinner, arrow };
    bool enabled = false;
    TokenColor disc;
    Glyph glyph = Glyph::arrow;
    TokenColor glyphColor;
    friend bool operator==(const SendLook &, const SendLook &) = default;
};

SendLook send(const PromptBarState &state);

// Whether Return (without Shift) submits: always, except while a submission
// is still being routed (a second press would send the prompt twice). It
// checks neither the text nor the checkmark: the controller drops an empty prompt.
bool returnSubmits(const PromptBarState &state);

struct Notice {
    enum class Kind { permission, message };
    Kind kind = Kind::message;
    QString text;
    // permission only.
    VoiceState::DeniedAuthorization denied = VoiceState::DeniedAuthorization::microphone;
    friend bool operator==(const Notice &, const Notice &) = default;
};

// The notice under the bar: a refused permission, or a voice error's message.
std::optional<Notice> notice(const VoiceState &state);

// The field's height for a number of laid-out lines: up to four lines grow
// it, more scroll; never below 28 or above 96 points. `lineHeight` is the
// font's line spacing and `chrome` the field's margins above and below together.
int fieldHeight(int lineCount, int lineHeight, int chrome);

} // namespace PromptBarLook

} // namespace nerim
