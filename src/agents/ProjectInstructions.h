#pragma once

#include <QString>
#include <QtGlobal>
#include <memory>
#include <optional>

namespace nerim {

// The project's own notes for agents: CLAUDE.md at the root of the project
// folder, which users and agents keep instructions in. Runs load only the
// user's own settings (so that a project's settings, hooks and MCP servers
// never apply), and with them the program no longer reads this file itself;
// Nerim reads it instead, like any project file, and hands its text to the
// agent as the program would have shown it.
//
// ClaudeCodeProvider reads it on the spawn's worker thread for every run but
// the Deploy agent's (which holds a provider's token), writes `forAgent`'s text
// into a `File` (0600) kept until the run has ended, and passes that file with
// "--append-system-prompt-file".
namespace ProjectInstructions {

// Larger notes are left out of the run (with a log line): they would crowd
// every request of it.
inline constexpr qint64 maxBytes = 128 * 1024;

// The text of <projectPath>/CLAUDE.md, or nothing when there is none. Only a
// regular file is read, at most `maxBytes` of it: a link, a named pipe, a
// device or a larger file is left out with a log line (never waited on).
// Bytes that are not UTF-8 read as U+FFFD. Blocks on disk: call it off the
// GUI thread.
std::optional<QString> read(const QString &projectPath);

// What the agent is given for notes `text` read from the project at
// `projectPath`: the text under the line that names where it came from, as
// the program presents a project's CLAUDE.md.
QString forAgent(const QString &projectPath, const QString &text);

// A private copy of the text for the agent program to read at its start: a
// file only its owner can read, in the user's runtime folder, removed when
// this object goes.
class File {
public:
    // Writes the file; nothing (with a log line) when it cannot be written.
    static std::unique_ptr<File> write(const QString &text);
    ~File();
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    const QString &path() const { return m_path; }

private:
    explicit File(QString path) : m_path(std::move(path)) {}
    QString m_path;
};

} // namespace ProjectInstructions
} // namespace nerim
