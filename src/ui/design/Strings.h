#pragma once

#include <QString>

// Every text a user reads on screen, in one place, exactly as shown: real
// ellipses (…), middle dots (·), dashes (—), arrows (→), the Shift sign (⇧) and
// curly quotes (“ ”), never their ASCII stand-ins. Each screen adds its own
// section. Texts that name a place on disk or a desktop facility name the
// Linux one (the system keyring, Settings, the real data folder).
namespace nerim::Strings {

// Loading hints shown while a project opens and its memory is prepared.
namespace Loading {
inline const QString openingProject = QStringLiteral("Opening project…");
inline const QString preparingMemory = QStringLiteral("Preparing memory…");
} // namespace Loading

// Code blocks in an agent's answer.
namespace CodeBlock {
// The header label of a block without a language.
inline const QString defaultLanguage = QStringLiteral("code");
// Beside the language while the closing fence has not arrived.
inline const QString streaming = QStringLiteral("· streaming");
inline const QString copy = QStringLiteral("Copy");
inline const QString copied = QStringLiteral("Copied");
inline const QString copyHelp = QStringLiteral("Copy the code to your clipboard");
} // namespace CodeBlock

// The status pill of an agent pane (stored lower case, shown in capitals).
namespace AgentStatusLabel {
inline const QString idle = QStringLiteral("idle");
inline const QString spawning = QStringLiteral("spawning…");
inline const QString working = QStringLiteral("working");
inline const QString hung = QStringLiteral("waiting");
inline const QString done = QStringLiteral("done");
inline const QString error = QStringLiteral("error");
inline const QString stopped = QStringLiteral("stopped");
} // namespace AgentStatusLabel

// Agent panes: the pane header, the agent column with its spawn popover, and
// the prompt-target pill.
namespace AgentPane {
inline const QString renameHelp = QStringLiteral("Double-click to rename");
inline const QString renameMenuItem = QStringLiteral("Rename\u2026");
inline const QString systemPaneHelp = QStringLiteral("Nerim-owned pane \u2014 see plans/SELF_HEALING_PREVIEW.md");
inline const QString roleMenuHelp =
    QStringLiteral("Change this agent\u2019s role \u2014 determines which parts of the plan it focuses on and which "
                   "specialized system prompt it gets on the next task.");
inline const QString expandHelp = QStringLiteral("Expand pane to full canvas");
inline const QString collapseHelp = QStringLiteral("Return to tiled view");
inline const QString closeHelp = QStringLiteral("Close pane");
} // namespace AgentPane

namespace AgentColumn {
inline const QString spawnTitle = QStringLiteral("Spawn agent");
inline const QString spawnHelp = QStringLiteral("Create an idle agent pane");
inline const QString spawnLimitHelp = QStringLiteral("Agent limit reached");
// "3 / 3": the number of panes, then the limit.
inline const QString spawnCounter = QStringLiteral("%1 / %2");
// Followed by the agent's name.
inline const QString chipHelpPrefix = QStringLiteral("Switch focus to ");
} // namespace AgentColumn

namespace SpawnPopover {
inline const QString title = QStringLiteral("New agent");
inline const QString role = QStringLiteral("Role");
inline const QString responsibility = QStringLiteral("Responsibility");
// %1: the responsibility's length limit.
inline const QString responsibilityHelp =
    QStringLiteral("Optional \u00b7 up to %1 characters. Example: \u201cUI build\u201d, \u201creviewer\u201d.");
inline const QString cancel = QStringLiteral("Cancel");
inline const QString spawn = QStringLiteral("Spawn");
} // namespace SpawnPopover

namespace PromptTargetPill {
inline const QString help = QStringLiteral("Choose which agent receives your next prompt");
inline const QString automatic = QStringLiteral("Auto");
inline const QString plans = QStringLiteral("Plans");
inline const QString taskAgents = QStringLiteral("Task agents");
} // namespace PromptTargetPill

// The prompt bar, its model picker and its voice notices.
namespace PromptBar {
inline const QString selectPane = QStringLiteral("Click an agent to send it a prompt");
inline const QString preparingMicrophone = QStringLiteral("Preparing microphone\u2026");
inline const QString listening = QStringLiteral("Listening\u2026");
inline const QString transcribing = QStringLiteral("Transcribing\u2026");
inline const QString sending = QStringLiteral("Sending\u2026");
inline const QString messagePlans = QStringLiteral("Message the Plans agent");
inline const QString noPanes = QStringLiteral("Type or hold the mic \u00b7 try \"spawn agent\" or \"open browser\"");
inline const QString noFocusedPane = QStringLiteral("Type or hold the mic");
// %1: the agent's name.
inline const QString paneBusy = QStringLiteral("%1 is busy \u00b7 say \"spawn agent\" to open another");
inline const QString promptPane = QStringLiteral("Prompt %1");
// %1: the agent's name, %2: its responsibility.
inline const QString promptPaneWithResponsibility = QStringLiteral("Prompt %1 \u00b7 %2");

inline const QString micPermissionHelp = QStringLiteral("Voice permission needed \u2014 open Settings to enable it");
inline const QString micStopHelp = QStringLiteral("Click to stop and submit");
inline const QString micTalkHelp =
    QStringLiteral("Click to talk \u00b7 double-tap \u21e7 (Right Shift) to talk hands-free");

inline const QString microphoneOff = QStringLiteral("Microphone access is off. Enable it in Settings to use voice.");
inline const QString speechRecognitionOff =
    QStringLiteral("Speech recognition is off. Enable it in Settings to use voice.");
inline const QString openSettings = QStringLiteral("Open Settings");
inline const QString openSettingsHelp =
    QStringLiteral("Opens the Privacy section of Settings where you can enable this permission");
inline const QString dismiss = QStringLiteral("Dismiss");
// The microphone's help without a transcriber; %1: the key file, "~" for home.
inline const QString voiceNeedsKey = QStringLiteral("Voice input needs a Groq key in %1.");
} // namespace PromptBar

namespace ModelPicker {
inline const QString help = QStringLiteral("Choose the model that runs your agents and the Plans Agent");
} // namespace ModelPicker

} // namespace nerim::Strings
