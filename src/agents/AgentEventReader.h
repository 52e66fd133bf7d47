#pragma once

#include "agents/AgentOutput.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

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
// - A retry notice (a `system` event of subtype "api_retry": the program got
//   no answer from the model's service and tries again by itself) becomes a
//   status line, `retryStatusText`.
// - Tool calls and results, the opening `system` event and every other event
//   show nothing.
// - A line that is not strict JSON, or not an object with a "type", is passed
//   on unchanged, as a standard-output line (a program that prints plain text
//   still shows), cut like any shown line.
//
// Events are read whole, however large (a tool call that writes a big file
// carries the whole file): the reader scans an event's bytes in place and
// decodes only the few strings it shows or compares. Only the text it shows
// is cut: a shown line longer than `maxShownLineBytes` goes out in pieces,
// each led by "(part K of N) " and all but the last ending with `cutNotice()`.
// So no piece passes for a marker line: none starts like one, and none ends
// where a marker's payload would seem to end (the notice holds no closing
// bracket either). Each piece is marked as one (`AgentOutput::isPieceOfLine`),
// so that no marker is read inside one either: a marker late in a long line
// is not what the whole line says.
//
// The events as the installed program (2.1.197) writes them, seen against a
// loopback stand-in of the Messages API:
// - {"type":"assistant","message":{"model":…,"content":[{"type":"text",
//   "text":…}]}}: one event per content block, as soon as the block is
//   complete; `tool_use` blocks show nothing. The program's own failures come
//   the same way with "model":"<synthetic>" and an "error" field
//   ("authentication_failed", "model_not_found", …) and texts such as "Not
//   logged in · Please run /login", "Invalid API key · Fix external API key",
//   "API Error: 500 …" or "There's an issue with the selected model (…)";
//   either sign makes the text standard error.
// - {"type":"result","subtype":"success","is_error":…,"result":…}, last. The
//   program sets `is_error` for the failures above with the subtype still
//   "success". A failed result without text shows its `errors` list, one per
//   line, or "The agent stopped: <subtype>".
// - {"type":"system","subtype":"api_retry","attempt":n,"max_retries":10,
//   "error_status":500|null,…}, written while the program retries a request
//   the service failed (checked against a server answering 500) or did not
//   answer (a closed port): "AI service error 500 — trying again (attempt n of
//   10)…". The canvas shows it as a system line, so Highlights leaves it out.
// - Not shown: `system` (`init`, `task_started`, `task_notification`), `user`
//   (tool results) and any type not known here.
// Strict JSON means no leading zeros, no bare decimal point, no unknown
// escape and no raw control character inside a string; all of an event is
// checked (strings sixteen bytes at a time) before anything of it is shown.
// Events are large because a `Write` tool call carries the whole file in its
// input and its `user` result carries it again (`tool_use_result.content`).
// A line longer than `maxEventBytes` is dropped by the line splitter as it
// arrives and reported once through `readLeftOut`.
//
// One reader per run; it only keeps what the next result needs to compare.
class AgentEventReader {
public:
    // The longest event read; a longer one is left out (see `readLeftOut`).
    static constexpr qsizetype maxEventBytes = qsizetype(64) << 20;
    // The longest line of shown text given out in one piece.
    static constexpr qsizetype maxShownLineBytes = qsizetype(1) << 20;

    // " … (cut: the line is longer than 1 MiB)"
    static QString cutNotice();
    // The status line of a retry notice: why the program waits (no answer, or
    // the HTTP status it got) and which attempt of how many comes next.
    static QString retryStatusText(std::optional<qint64> attempt, std::optional<qint64> maxRetries,
                                   std::optional<qint64> errorStatus);

    // Reads one line of the program's standard output (UTF-8, without its
    // terminator) and appends what the pane shows to `out`.
    void readLine(QByteArrayView line, QList<AgentOutput> &out);
    void readLine(const QByteArray &line, QList<AgentOutput> &out) { readLine(QByteArrayView(line), out); }
    void readLine(const QString &line, QList<AgentOutput> &out) { readLine(QByteArrayView(line.toUtf8()), out); }

    // An event longer than `maxEventBytes` went by unread: one standard-error
    // line says so, "[An agent message over 64 MiB was left out]".
    void readLeftOut(QList<AgentOutput> &out);

private:
    void showText(QByteArrayView text, bool standardError, QList<AgentOutput> &out);

    QByteArray m_lastShown;
    bool m_lastShownWasError = false;
    bool m_shownAny = false;
};

} // namespace nerim
