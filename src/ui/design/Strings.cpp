#include "ui/design/Strings.h"

namespace nerim::Strings {

namespace Loading {
const QString openingProject = QStringLiteral("Opening project…");
const QString preparingMemory = QStringLiteral("Preparing memory…");
} // namespace Loading

namespace CodeBlock {
const QString defaultLanguage = QStringLiteral("code");
const QString streaming = QStringLiteral("· streaming");
const QString copy = QStringLiteral("Copy");
const QString copied = QStringLiteral("Copied");
const QString copyHelp = QStringLiteral("Copy the code to your clipboard");
} // namespace CodeBlock

namespace AgentStatusLabel {
const QString idle = QStringLiteral("idle");
const QString spawning = QStringLiteral("spawning…");
const QString working = QStringLiteral("working");
const QString hung = QStringLiteral("waiting");
const QString done = QStringLiteral("done");
const QString error = QStringLiteral("error");
const QString stopped = QStringLiteral("stopped");
} // namespace AgentStatusLabel

namespace Shell {
const QString notReady = QStringLiteral("App state not ready yet — try again.");
const QString unwritableFolder =
    QStringLiteral("Nerim can't write to that folder. Pick another or check its permissions in your file manager.");
const QString couldNotCreate = QStringLiteral("Couldn't create ");
const QString couldNotCreateProjectFolder = QStringLiteral("Couldn't create a new project folder: ");
const QString projectsFolderName = QStringLiteral("Nerim Projects");
const QString blankProjectPrefix = QStringLiteral("Untitled Project ");
const QString dismiss = QStringLiteral("Dismiss");
} // namespace Shell

namespace Overview {
const QString title = QStringLiteral("Projects");
const QString subtitleNone = QStringLiteral("Pick a folder to start a project.");
const QString subtitleOne = QStringLiteral("One project.");
const QString subtitleManySuffix = QStringLiteral(" projects.");
const QString emptyTitle = QStringLiteral("Add your first project");
const QString emptyBody = QStringLiteral("Pick any folder. Nerim will initialize `.nerim/` inside it and open the canvas.");
const QString folderPickerTitle = QStringLiteral("Choose a project folder");
const QString removeAlertTitle = QStringLiteral("Remove this project?");
const QString removeAlertMessageSuffix = QStringLiteral(
    " will be removed from your projects list. The folder and any .nerim/ context stay on disk — you can re-add it later.");
const QString removeAction = QStringLiteral("Remove");
const QString cancelAction = QStringLiteral("Cancel");
const QString openMenuItem = QStringLiteral("Open");
const QString removeMenuItem = QStringLiteral("Remove from Nerim…");
const QString removeButtonHelp = QStringLiteral("Remove from Nerim (folder stays on disk)");
const QString scratchFooter = QStringLiteral("Debug testing directory");
const QString lastOpenedPrefix = QStringLiteral("Last opened ");
const QString addProject = QStringLiteral("Add project");
const QString addProjectHelp = QStringLiteral("Choose any folder to add as a project");
const QString startBlank = QStringLiteral("Start blank");
const QString startBlankHelpPrefix = QStringLiteral("Create an empty project — Nerim will make a fresh folder in ");
} // namespace Overview

namespace Canvas {
const QString memoryUnavailablePrefix = QStringLiteral("Memory unavailable · ");
const QString togglePreviewCommand = QStringLiteral("__toggle-preview");
const QString collapseExpandedPaneCommand = QStringLiteral("__collapse-expanded-pane");
const QString regenerateWithGoal = QStringLiteral("Please regenerate the plan from scratch for this goal: ");
const QString regenerate = QStringLiteral("Please regenerate the plan from scratch.");
} // namespace Canvas

namespace Header {
const QString serverStarting = QStringLiteral("Starting");
const QString serverRunning = QStringLiteral("Running");
const QString serverStopped = QStringLiteral("Stopped");
const QString serverFailed = QStringLiteral("Couldn't start");
const QString serverCrashed = QStringLiteral("Crashed");
const QString stopServerHelp = QStringLiteral("Stop the app");
const QString plan = QStringLiteral("Plan");
const QString hidePlanHelp = QStringLiteral("Hide the plans panel");
const QString showPlanHelp = QStringLiteral(
    "Show the plans panel — describe your vision, Nerim's planning agent builds you a step-by-step plan");
const QString preview = QStringLiteral("Preview");
const QString hidePreviewHelp = QStringLiteral("Hide the preview panel");
const QString showPreviewHelp =
    QStringLiteral("Show the preview panel — displays your app once it's running, or any URL you paste");
const QString fullTranscript = QStringLiteral("Full transcript");
const QString highlights = QStringLiteral("Highlights");
const QString outputModeHelp = QStringLiteral(
    "Full transcript shows every line. Highlights shows only spawn / task-complete / errors + your own prompts.");
const QString voicePreparing = QStringLiteral("Preparing microphone…");
const QString voiceListening = QStringLiteral("Listening…");
const QString voiceTranscribing = QStringLiteral("Transcribing…");
const QString voiceSending = QStringLiteral("Sending…");
} // namespace Header

namespace Sidebar {
const QString projects = QStringLiteral("Projects");
const QString notes = QStringLiteral("Notes · coming in V2");
const QString extensions = QStringLiteral("Extensions · coming in V2");
const QString settings = QStringLiteral("Settings · coming in V2");
} // namespace Sidebar

namespace AgentPane {
const QString renameHelp = QStringLiteral("Double-click to rename");
const QString renameMenuItem = QStringLiteral("Rename\u2026");
const QString systemPaneHelp = QStringLiteral("Nerim-owned pane \u2014 see plans/SELF_HEALING_PREVIEW.md");
const QString roleMenuHelp =
    QStringLiteral("Change this agent's role \u2014 determines which parts of the plan it focuses on and which "
                   "specialized system prompt it gets on the next task.");
const QString expandHelp = QStringLiteral("Expand pane to full canvas");
const QString collapseHelp = QStringLiteral("Return to tiled view");
const QString closeHelp = QStringLiteral("Close pane");
} // namespace AgentPane

namespace AgentColumn {
const QString spawnTitle = QStringLiteral("Spawn agent");
const QString spawnHelp = QStringLiteral("Create an idle agent pane");
const QString spawnLimitHelp = QStringLiteral("Agent limit reached");
const QString spawnLimitSystemPaneHelp = QStringLiteral(
    "Agent limit reached: a Repair or Deploy pane is using one of the %1 places. Close it to spawn another agent.");
const QString spawnCounter = QStringLiteral("%1 / %2");
const QString chipHelpPrefix = QStringLiteral("Switch focus to ");
} // namespace AgentColumn

namespace SpawnPopover {
const QString title = QStringLiteral("New agent");
const QString role = QStringLiteral("Role");
const QString responsibility = QStringLiteral("Responsibility");
const QString responsibilityHelp =
    QStringLiteral("Optional \u00b7 up to %1 characters. Example: \u201cUI build\u201d, \u201creviewer\u201d.");
const QString cancel = QStringLiteral("Cancel");
const QString spawn = QStringLiteral("Spawn");
} // namespace SpawnPopover

namespace PromptTargetPill {
const QString help = QStringLiteral("Choose which agent receives your next prompt");
const QString automatic = QStringLiteral("Auto");
const QString plans = QStringLiteral("Plans");
const QString taskAgents = QStringLiteral("Task agents");
} // namespace PromptTargetPill

namespace PromptBar {
const QString selectPane = QStringLiteral("Click an agent to send it a prompt");
const QString preparingMicrophone = QStringLiteral("Preparing microphone\u2026");
const QString listening = QStringLiteral("Listening\u2026");
const QString transcribing = QStringLiteral("Transcribing\u2026");
const QString sending = QStringLiteral("Sending\u2026");
const QString messagePlans = QStringLiteral("Message the Plans agent");
const QString noPanes = QStringLiteral("Type or hold the mic \u00b7 try \"spawn agent\" or \"open browser\"");
const QString noFocusedPane = QStringLiteral("Type or hold the mic");
const QString paneBusy = QStringLiteral("%1 is busy \u00b7 say \"spawn agent\" to open another");
const QString paneBusyAtLimit = QStringLiteral("%1 is busy \u00b7 it takes a prompt again when it finishes");
const QString promptPane = QStringLiteral("Prompt %1");
const QString promptPaneWithResponsibility = QStringLiteral("Prompt %1 \u00b7 %2");

const QString micPermissionHelp = QStringLiteral("Voice permission needed \u2014 open Settings to enable it");
const QString micStopHelp = QStringLiteral("Click to stop and submit");
const QString micTalkHelp =
    QStringLiteral("Click to talk \u00b7 double-tap \u21e7 (Right Shift) to talk hands-free");

const QString microphoneOff = QStringLiteral("Microphone access is off. Enable it in Settings to use voice.");
const QString speechRecognitionOff =
    QStringLiteral("Speech recognition is off. Enable it in Settings to use voice.");
const QString openSettings = QStringLiteral("Open Settings");
const QString openSettingsHelp =
    QStringLiteral("Opens the Privacy panel of GNOME Settings where you can enable this permission");
const QString dismiss = QStringLiteral("Dismiss");
} // namespace PromptBar

namespace ModelPicker {
const QString help = QStringLiteral("Choose the model that runs your agents and the Plans Agent");
} // namespace ModelPicker

namespace PlansPanel {
const QString title = QStringLiteral("Plan");
const QString organizeHelpFirst = QStringLiteral("Organize this conversation into plan files");
const QString organizeHelpRewrite = QStringLiteral("Rewrite the plan files from the latest conversation");
const QString startOverHelp = QStringLiteral("Ask the planning agent to start over from the same goal");
const QString expandHelp = QStringLiteral("Expand plans to full canvas");
const QString collapseHelp = QStringLiteral("Return plans to tiled view");
const QString closeHelp = QStringLiteral("Close plans panel");
const QString back = QStringLiteral("Back");
const QString missingFile =
    QStringLiteral("_File no longer exists — refresh the workspace or hit Organize to regenerate._");
const QString emptyTitle = QStringLiteral("Plan it out");
const QString emptyDescription = QStringLiteral(
    "Describe what you want to build — say it or type it. Nerim's planning agent will produce a step-by-step plan "
    "you can refine together, then hand to the coding agents.");
const QString voiceHint = QStringLiteral(
    "Tap the mic or double-tap Right Shift, then say something like \"plan out a Next.js blog with markdown posts.\"");
const QString emptyPlaceholder = QStringLiteral("…or type what we're building here");
const QString composerPlaceholder = QStringLiteral("Refine the plan or ask a question…");
const QString planning = QStringLiteral("Planning…");
const QString generatePlan = QStringLiteral("Generate plan");
const QString send = QStringLiteral("Send");
const QString sending = QStringLiteral("Sending…");
const QString openFileHelpPrefix = QStringLiteral("Open ");
const QString agentLabel = QStringLiteral("Nerim");
const QString updatedThePlan = QStringLiteral("• updated the plan");
} // namespace PlansPanel

namespace PreviewPanel {
const QString title = QStringLiteral("Preview");
const QString expandHelp = QStringLiteral("Expand preview to full canvas");
const QString collapseHelp = QStringLiteral("Return to tiled view");
const QString closeHelp = QStringLiteral("Close preview");
const QString emptyMessage =
    QStringLiteral("Paste a link above, or say “run the app” to start yours and open it here.");
const QString back = QStringLiteral("Back");
const QString forward = QStringLiteral("Forward");
const QString reload = QStringLiteral("Reload");
const QString stopReload = QStringLiteral("Stop / reload");
const QString addressPrompt = QStringLiteral("Paste a link, or say “run the app”");
const QString ask = QStringLiteral("Ask Nerim to fix this");
const QString askHelp =
    QStringLiteral("Spawn a Repair agent that will diagnose the crash and try a safe fix.");
const QString dismiss = QStringLiteral("Dismiss");
const QString cancel = QStringLiteral("Cancel");
const QString cancelHelp = QStringLiteral("Stop the current repair attempt.");
const QString cancelSecretHelp = QStringLiteral(
    "Cancel the repair. Your app stays crashed until you supply the value or try a different fix.");
const QString submit = QStringLiteral("Submit");
const QString fixedShort = QStringLiteral("Fixed.");
const QString tryAgain = QStringLiteral("Try again");
const QString tryAgainHelp = QStringLiteral("Start a fresh repair session (retry counter resets to 0).");
} // namespace PreviewPanel

} // namespace nerim::Strings
