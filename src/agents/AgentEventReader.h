#pragma once

#include "agents/AgentOutput.h"

#include <QList>
#include <QString>

namespace nerim {

// Turns the standard output of `claude --output-format stream-json` (one JSON
// event per line) into the lines a pane shows, as each event arrives.
//
// - The text of an assistant message becomes standard-output lines at once,
//   cut at LF, CRLF or a lone CR the way the program's plain-text output is
//   cut; a terminator at the end of the text adds no empty line, and each
//   message ends its last line.
// - A message the program writes itself instead of the model (its model is
//   "<synthetic>", and the event carries an "error": API errors, a missing
//   login, an unknown or retired model) becomes
//   standard-error lines: it reports a failure in the program's own words.
// - The closing `result` event repeats the last message: it shows nothing,
//   unless the run showed no text at all. A failed result (`is_error`, or a
//   subtype other than "success") becomes standard-error lines with its text,
//   unless those very words were just shown.
// - Tool calls and results, the opening `system` event and every other event
//   show nothing.
// - A line that is not a JSON object with a "type" is passed on unchanged, as
//   a standard-output line (a program that prints plain text still shows).
//
// One reader per run; it only keeps what the next result needs to compare.
class AgentEventReader {
public:
    // Reads one line of the program's standard output (without its
    // terminator) and appends what the pane shows to `out`.
    void readLine(const QString &line, QList<AgentOutput> &out);

    // Splits text into lines the way plain-text output is split.
    static void appendLines(const QString &text, bool standardError, QList<AgentOutput> &out);

private:
    void showText(const QString &text, bool standardError, QList<AgentOutput> &out);

    QString m_lastShown;
    bool m_lastShownWasError = false;
    bool m_shownAny = false;
};

} // namespace nerim
