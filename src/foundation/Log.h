#pragma once

#include <QString>
#include <functional>

namespace nerim {

// Writes one diagnostic line. Lines begin with a bracketed area tag, e.g.
// "[Nerim memory] Restored app.json from backup". There are no levels.
// By default the line goes to standard error (the journal keeps it).
// Never pass a secret (key, token, deploy secret) to this function.
//
// Lines often carry text from agents, servers and project files, so every
// control character is escaped before the line goes anywhere (see
// escapedForLog): a terminal showing the log runs no escape sequence, and
// each call stays one line.
void logLine(const QString &line);

// `line` with its control characters (U+0000-U+001F, U+007F-U+009F) written
// as escapes: "\n", "\r" and "\t" for line feed, carriage return and tab,
// "\x1B" for the other C0 ones and DEL, "\u009B" for the C1 ones. Everything
// else stays as it is.
QString escapedForLog(const QString &line);

using LogSink = std::function<void(const QString &line)>;

// Replaces where log lines go; returns the previous sink. An empty sink restores
// standard error. Thread-safe.
LogSink setLogSink(LogSink sink);

} // namespace nerim
