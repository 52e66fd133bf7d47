#pragma once

#include <QString>
#include <functional>

namespace nerim {

// Writes one diagnostic line. Lines begin with a bracketed area tag, e.g.
// "[Nerim memory] Restored app.json from backup". There are no levels.
// By default the line goes to standard error (the journal keeps it).
// Never pass a secret (key, token, deploy secret) to this function.
void logLine(const QString &line);

using LogSink = std::function<void(const QString &line)>;

// Replaces where log lines go; returns the previous sink. An empty sink restores
// standard error. Thread-safe.
LogSink setLogSink(LogSink sink);

} // namespace nerim
