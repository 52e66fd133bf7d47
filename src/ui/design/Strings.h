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

// The window between its screens: the shell's error banner and the messages of
// opening, adding, removing and starting projects.
namespace Shell {
inline const QString notReady = QStringLiteral("App state not ready yet — try again.");
inline const QString unwritableFolder =
    QStringLiteral("Nerim can't write to that folder. Pick another or check its permissions in your file manager.");
// Followed by the folder (home as "~"), ": " and the reason.
inline const QString couldNotCreate = QStringLiteral("Couldn't create ");
inline const QString couldNotCreateProjectFolder = QStringLiteral("Couldn't create a new project folder: ");
inline const QString projectsFolderName = QStringLiteral("Nerim Projects");
inline const QString blankProjectPrefix = QStringLiteral("Untitled Project ");
inline const QString dismiss = QStringLiteral("Dismiss");
} // namespace Shell

// The projects overview and its cards.
namespace Overview {
inline const QString title = QStringLiteral("Projects");
inline const QString subtitleNone = QStringLiteral("Pick a folder to start a project.");
inline const QString subtitleOne = QStringLiteral("One project.");
// After the count.
inline const QString subtitleManySuffix = QStringLiteral(" projects.");
inline const QString emptyTitle = QStringLiteral("Add your first project");
// The part between backticks is shown as inline code.
inline const QString emptyBody = QStringLiteral("Pick any folder. Nerim will initialize `.nerim/` inside it and open the canvas.");
inline const QString folderPickerTitle = QStringLiteral("Choose a project folder");
inline const QString removeAlertTitle = QStringLiteral("Remove this project?");
// After the project's name.
inline const QString removeAlertMessageSuffix = QStringLiteral(
    " will be removed from your projects list. The folder and any .nerim/ context stay on disk — you can re-add it later.");
inline const QString removeAction = QStringLiteral("Remove");
inline const QString cancelAction = QStringLiteral("Cancel");
inline const QString openMenuItem = QStringLiteral("Open");
inline const QString removeMenuItem = QStringLiteral("Remove from Nerim…");
inline const QString removeButtonHelp = QStringLiteral("Remove from Nerim (folder stays on disk)");
inline const QString scratchFooter = QStringLiteral("Debug testing directory");
inline const QString lastOpenedPrefix = QStringLiteral("Last opened ");
inline const QString addProject = QStringLiteral("Add project");
inline const QString addProjectHelp = QStringLiteral("Choose any folder to add as a project");
inline const QString startBlank = QStringLiteral("Start blank");
// Followed by where blank projects are made (Documents/Nerim Projects).
inline const QString startBlankHelpPrefix = QStringLiteral("Create an empty project — Nerim will make a fresh folder in ");
} // namespace Overview

// The project canvas screen, its header controls and its sidebar.
namespace Canvas {
inline const QString memoryUnavailablePrefix = QStringLiteral("Memory unavailable · ");
inline const QString togglePreviewCommand = QStringLiteral("__toggle-preview");
inline const QString collapseExpandedPaneCommand = QStringLiteral("__collapse-expanded-pane");
inline const QString regenerateWithGoal = QStringLiteral("Please regenerate the plan from scratch for this goal: ");
inline const QString regenerate = QStringLiteral("Please regenerate the plan from scratch.");
} // namespace Canvas

namespace Header {
inline const QString serverStarting = QStringLiteral("Starting");
inline const QString serverRunning = QStringLiteral("Running");
inline const QString serverStopped = QStringLiteral("Stopped");
inline const QString serverFailed = QStringLiteral("Couldn't start");
inline const QString serverCrashed = QStringLiteral("Crashed");
inline const QString stopServerHelp = QStringLiteral("Stop the app");
inline const QString plan = QStringLiteral("Plan");
inline const QString hidePlanHelp = QStringLiteral("Hide the plans panel");
inline const QString showPlanHelp = QStringLiteral(
    "Show the plans panel — describe your vision, Nerim's planning agent builds you a step-by-step plan");
inline const QString preview = QStringLiteral("Preview");
inline const QString hidePreviewHelp = QStringLiteral("Hide the preview panel");
inline const QString showPreviewHelp =
    QStringLiteral("Show the preview panel — displays your app once it's running, or any URL you paste");
inline const QString fullTranscript = QStringLiteral("Full transcript");
inline const QString highlights = QStringLiteral("Highlights");
inline const QString outputModeHelp = QStringLiteral(
    "Full transcript shows every line. Highlights shows only spawn / task-complete / errors + your own prompts.");
inline const QString voicePreparing = QStringLiteral("Preparing microphone…");
inline const QString voiceListening = QStringLiteral("Listening…");
inline const QString voiceTranscribing = QStringLiteral("Transcribing…");
inline const QString voiceSending = QStringLiteral("Sending…");
} // namespace Header

namespace Sidebar {
inline const QString projects = QStringLiteral("Projects");
inline const QString notes = QStringLiteral("Notes · coming in V2");
inline const QString extensions = QStringLiteral("Extensions · coming in V2");
inline const QString settings = QStringLiteral("Settings · coming in V2");
} // namespace Sidebar

// Agent panes: the pane header, the agent column with its spawn popover, and
// the prompt-target pill.
namespace AgentPane {
inline const QString renameHelp = QStringLiteral("Double-click to rename");
inline const QString renameMenuItem = QStringLiteral("Rename\u2026");
inline const QString systemPaneHelp = QStringLiteral("Nerim-owned pane \u2014 see plans/SELF_HEALING_PREVIEW.md");
inline const QString roleMenuHelp =
    QStringLiteral("Change this agent's role \u2014 determines which parts of the plan it focuses on and which "
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
    QStringLiteral("Opens the Privacy panel of GNOME Settings where you can enable this permission");
inline const QString dismiss = QStringLiteral("Dismiss");
// The microphone's help without a transcriber; %1: the key file, "~" for home.
} // namespace PromptBar

namespace ModelPicker {
inline const QString help = QStringLiteral("Choose the model that runs your agents and the Plans Agent");
} // namespace ModelPicker


// The Plans side panel.
namespace PlansPanel {
inline const QString title = QStringLiteral("Plan");
inline const QString organizeHelpFirst = QStringLiteral("Organize this conversation into plan files");
inline const QString organizeHelpRewrite = QStringLiteral("Rewrite the plan files from the latest conversation");
inline const QString startOverHelp = QStringLiteral("Ask the planning agent to start over from the same goal");
inline const QString expandHelp = QStringLiteral("Expand plans to full canvas");
inline const QString collapseHelp = QStringLiteral("Return plans to tiled view");
inline const QString closeHelp = QStringLiteral("Close plans panel");
inline const QString back = QStringLiteral("Back");
inline const QString missingFile =
    QStringLiteral("_File no longer exists — refresh the workspace or hit Organize to regenerate._");
inline const QString emptyTitle = QStringLiteral("Plan it out");
inline const QString emptyDescription = QStringLiteral(
    "Describe what you want to build — say it or type it. Nerim's planning agent will produce a step-by-step plan "
    "you can refine together, then hand to the coding agents.");
inline const QString voiceHint = QStringLiteral(
    "Tap the mic or double-tap Right Shift, then say something like \"plan out a Next.js blog with markdown posts.\"");
inline const QString emptyPlaceholder = QStringLiteral("…or type what we're building here");
inline const QString composerPlaceholder = QStringLiteral("Refine the plan or ask a question…");
inline const QString planning = QStringLiteral("Planning…");
inline const QString generatePlan = QStringLiteral("Generate plan");
inline const QString send = QStringLiteral("Send");
inline const QString sending = QStringLiteral("Sending…");
// Followed by the file's full name.
inline const QString openFileHelpPrefix = QStringLiteral("Open ");
inline const QString agentLabel = QStringLiteral("Nerim");
inline const QString updatedThePlan = QStringLiteral("• updated the plan");
} // namespace PlansPanel

// The preview panel, its toolbar and the repair banner.
namespace PreviewPanel {
inline const QString title = QStringLiteral("Preview");
inline const QString expandHelp = QStringLiteral("Expand preview to full canvas");
inline const QString collapseHelp = QStringLiteral("Return to tiled view");
inline const QString closeHelp = QStringLiteral("Close preview");
inline const QString emptyMessage =
    QStringLiteral("Paste a link above, or say “run the app” to start yours and open it here.");
inline const QString back = QStringLiteral("Back");
inline const QString forward = QStringLiteral("Forward");
inline const QString reload = QStringLiteral("Reload");
inline const QString stopReload = QStringLiteral("Stop / reload");
inline const QString addressPrompt = QStringLiteral("Paste a link, or say “run the app”");
inline const QString ask = QStringLiteral("Ask Nerim to fix this");
inline const QString askHelp =
    QStringLiteral("Spawn a Repair agent that will diagnose the crash and try a safe fix.");
inline const QString dismiss = QStringLiteral("Dismiss");
inline const QString cancel = QStringLiteral("Cancel");
inline const QString cancelHelp = QStringLiteral("Stop the current repair attempt.");
inline const QString cancelSecretHelp = QStringLiteral(
    "Cancel the repair. Your app stays crashed until you supply the value or try a different fix.");
inline const QString submit = QStringLiteral("Submit");
inline const QString fixedShort = QStringLiteral("Fixed.");
inline const QString tryAgain = QStringLiteral("Try again");
inline const QString tryAgainHelp = QStringLiteral("Start a fresh repair session (retry counter resets to 0).");
} // namespace PreviewPanel

} // namespace nerim::Strings
