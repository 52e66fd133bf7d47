#pragma once

#include <QString>

// Every text a user reads on screen, named here and written out in
// Strings.cpp exactly as shown: real ellipses (…), middle dots (·), dashes (—),
// arrows (→), the Shift sign (⇧) and curly quotes (“ ”), never their ASCII
// stand-ins. Each screen adds its own section to both. Texts that name a place
// on disk or a desktop facility name the Linux one (the system keyring,
// Settings, the real data folder).
//
// The texts are defined once in Strings.cpp rather than as inline variables
// here: an inline QString is made by start-up code in every file that includes
// the header, which put some 600 KB of start-up code into the program.
namespace nerim::Strings {

// Loading hints shown while a project opens and its memory is prepared.
namespace Loading {
extern const QString openingProject;
extern const QString preparingMemory;
} // namespace Loading

// Code blocks in an agent's answer.
namespace CodeBlock {
// The header label of a block without a language.
extern const QString defaultLanguage;
// Beside the language while the closing fence has not arrived.
extern const QString streaming;
extern const QString copy;
extern const QString copied;
extern const QString copyHelp;
} // namespace CodeBlock

// The status pill of an agent pane (stored lower case, shown in capitals).
namespace AgentStatusLabel {
extern const QString idle;
extern const QString spawning;
extern const QString working;
extern const QString hung;
extern const QString done;
extern const QString error;
extern const QString stopped;
} // namespace AgentStatusLabel

// The window between its screens: the shell's error banner and the messages of
// opening, adding, removing and starting projects.
namespace Shell {
extern const QString notReady;
extern const QString unwritableFolder;
// Followed by the folder (home as "~"), ": " and the reason.
extern const QString couldNotCreate;
extern const QString couldNotCreateProjectFolder;
extern const QString projectsFolderName;
extern const QString blankProjectPrefix;
extern const QString dismiss;
} // namespace Shell

// The projects overview and its cards.
namespace Overview {
extern const QString title;
extern const QString subtitleNone;
extern const QString subtitleOne;
// After the count.
extern const QString subtitleManySuffix;
extern const QString emptyTitle;
// The part between backticks is shown as inline code.
extern const QString emptyBody;
extern const QString folderPickerTitle;
extern const QString removeAlertTitle;
// After the project's name.
extern const QString removeAlertMessageSuffix;
extern const QString removeAction;
extern const QString cancelAction;
extern const QString openMenuItem;
extern const QString removeMenuItem;
extern const QString removeButtonHelp;
extern const QString scratchFooter;
extern const QString lastOpenedPrefix;
extern const QString addProject;
extern const QString addProjectHelp;
extern const QString startBlank;
// Followed by where blank projects are made (Documents/Nerim Projects).
extern const QString startBlankHelpPrefix;
} // namespace Overview

// The project canvas screen, its header controls and its sidebar.
namespace Canvas {
extern const QString memoryUnavailablePrefix;
extern const QString togglePreviewCommand;
extern const QString collapseExpandedPaneCommand;
extern const QString regenerateWithGoal;
extern const QString regenerate;
} // namespace Canvas

namespace Header {
extern const QString serverStarting;
extern const QString serverRunning;
extern const QString serverStopped;
extern const QString serverFailed;
extern const QString serverCrashed;
extern const QString stopServerHelp;
extern const QString plan;
extern const QString hidePlanHelp;
extern const QString showPlanHelp;
extern const QString preview;
extern const QString hidePreviewHelp;
extern const QString showPreviewHelp;
extern const QString fullTranscript;
extern const QString highlights;
extern const QString outputModeHelp;
extern const QString voicePreparing;
extern const QString voiceListening;
extern const QString voiceTranscribing;
extern const QString voiceSending;
} // namespace Header

namespace Sidebar {
extern const QString projects;
extern const QString notes;
extern const QString extensions;
extern const QString settings;
} // namespace Sidebar

// Agent panes: the pane header, the agent column with its spawn popover, and
// the prompt-target pill.
namespace AgentPane {
extern const QString renameHelp;
extern const QString renameMenuItem;
extern const QString systemPaneHelp;
extern const QString roleMenuHelp;
extern const QString expandHelp;
extern const QString collapseHelp;
extern const QString closeHelp;
} // namespace AgentPane

namespace AgentColumn {
extern const QString spawnTitle;
extern const QString spawnHelp;
extern const QString spawnLimitHelp;
extern const QString spawnLimitSystemPaneHelp; // %1: the pane limit
// "3 / 3": the number of panes, then the limit.
extern const QString spawnCounter;
// Followed by the agent's name.
extern const QString chipHelpPrefix;
} // namespace AgentColumn

namespace SpawnPopover {
extern const QString title;
extern const QString role;
extern const QString responsibility;
// %1: the responsibility's length limit.
extern const QString responsibilityHelp;
extern const QString cancel;
extern const QString spawn;
} // namespace SpawnPopover

namespace PromptTargetPill {
extern const QString help;
extern const QString automatic;
extern const QString plans;
extern const QString taskAgents;
} // namespace PromptTargetPill

// The prompt bar, its model picker and its voice notices.
namespace PromptBar {
extern const QString selectPane;
extern const QString preparingMicrophone;
extern const QString listening;
extern const QString transcribing;
extern const QString sending;
extern const QString messagePlans;
extern const QString noPanes;
extern const QString noFocusedPane;
// %1: the agent's name.
extern const QString paneBusy;
// Busy while no other pane can be opened.
extern const QString paneBusyAtLimit;
extern const QString promptPane;
// %1: the agent's name, %2: its responsibility.
extern const QString promptPaneWithResponsibility;

extern const QString micPermissionHelp;
extern const QString micStopHelp;
extern const QString micTalkHelp;

extern const QString microphoneOff;
extern const QString speechRecognitionOff;
extern const QString openSettings;
extern const QString openSettingsHelp;
extern const QString dismiss;
// The microphone's help without a transcriber; %1: the key file, "~" for home.
} // namespace PromptBar

namespace ModelPicker {
extern const QString help;
} // namespace ModelPicker


// The Plans side panel.
namespace PlansPanel {
extern const QString title;
extern const QString organizeHelpFirst;
extern const QString organizeHelpRewrite;
extern const QString startOverHelp;
extern const QString expandHelp;
extern const QString collapseHelp;
extern const QString closeHelp;
extern const QString back;
extern const QString missingFile;
extern const QString emptyTitle;
extern const QString emptyDescription;
extern const QString voiceHint;
extern const QString emptyPlaceholder;
extern const QString composerPlaceholder;
extern const QString planning;
extern const QString generatePlan;
extern const QString send;
extern const QString sending;
// Followed by the file's full name.
extern const QString openFileHelpPrefix;
extern const QString agentLabel;
extern const QString updatedThePlan;
} // namespace PlansPanel

// The preview panel, its toolbar and the repair banner.
namespace PreviewPanel {
extern const QString title;
extern const QString expandHelp;
extern const QString collapseHelp;
extern const QString closeHelp;
extern const QString emptyMessage;
extern const QString back;
extern const QString forward;
extern const QString reload;
extern const QString stopReload;
extern const QString addressPrompt;
extern const QString ask;
extern const QString askHelp;
extern const QString dismiss;
extern const QString cancel;
extern const QString cancelHelp;
extern const QString cancelSecretHelp;
extern const QString submit;
extern const QString fixedShort;
extern const QString tryAgain;
extern const QString tryAgainHelp;
} // namespace PreviewPanel

} // namespace nerim::Strings
