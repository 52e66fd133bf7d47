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

} // namespace nerim::Strings
