#pragma once

#include <QString>
#include <optional>
#include <variant>

namespace nerim::RepairMarkers {

// The four marker lines the Repair agent prints to talk back to the application.
// The Repair prompt teaches the agent these same literals, so the two cannot drift.
inline const QString readyToRetry = QStringLiteral("[NERIM_READY_TO_RETRY]");
inline const QString stuck = QStringLiteral("[NERIM_REPAIR_STUCK]");
inline const QString askSecret = QStringLiteral("[NERIM_REPAIR_ASK_SECRET]");
inline const QString launchOverride = QStringLiteral("[NERIM_REPAIR_LAUNCH_OVERRIDE]");

inline const QString defaultSecretExplanation = QStringLiteral(
    "Your app needs this value to start. If you don't know what it is, cancel this repair and ask whoever set up "
    "the project.");
inline const QString defaultStuckReason = QStringLiteral("The Repair agent didn't say why.");

// The agent gives up; `reason` is one line for the user.
struct StuckSignal {
    QString reason;
    friend bool operator==(const StuckSignal &, const StuckSignal &) = default;
};

// The agent needs a secret value from the user. The name is taken as written.
struct AskSecretSignal {
    QString name;
    QString explanation;
    friend bool operator==(const AskSecretSignal &, const AskSecretSignal &) = default;
};

// The agent has settled the project's start command.
struct LaunchOverrideSignal {
    QString command;
    // The marker came without a command. Such a signal parses, but it names
    // nothing to run: it must never be saved as the project's launch command.
    bool isBlank() const { return command.trimmed().isEmpty(); }
    friend bool operator==(const LaunchOverrideSignal &, const LaunchOverrideSignal &) = default;
};

// The fix is in place; the application should start the app again.
struct ReadyToRetrySignal {
    friend bool operator==(const ReadyToRetrySignal &, const ReadyToRetrySignal &) = default;
};

using Signal = std::variant<StuckSignal, AskSecretSignal, LaunchOverrideSignal, ReadyToRetrySignal>;

// Turns one output line of the Repair agent into at most one signal. Pure.
//
// The ready marker counts anywhere in the line (agents tend to finish a sentence
// with it) and wins over everything else; the other three must open the line,
// after any Markdown quote or code-span characters. A launch-override command
// keeps a closing quote that belongs to it: only unbalanced trailing quotes go.
std::optional<Signal> parse(const QString &line);

} // namespace nerim::RepairMarkers
