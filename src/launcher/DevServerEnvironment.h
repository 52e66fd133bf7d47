#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace nerim {

// The environment a development server runs with: `base` with TERM (kept, or
// "xterm-256color"), FORCE_COLOR=0, NO_COLOR=1, PYTHONUNBUFFERED=1 and
// PYTHONDONTWRITEBYTECODE=1, and without any credential of Nerim's own (see
// isWithheldFromDevServer) or the session bus's address. No side effects;
// callable from any thread.
QProcessEnvironment devServerEnvironment(const QProcessEnvironment &base);

// What the user's program must not read, hidden in its namespace (see
// ChildProcess::Options::hiddenPaths): Nerim's data folder (the key file), the
// agent program's own settings folder and file in the home folder (also when
// they appear only later), the session's runtime folder (the session bus, the
// keyring's sockets, Nerim's runtime files) and a session bus socket kept
// elsewhere.
QStringList devServerHiddenPaths();

// The variable that carries the start command to the launch script (never on
// a command line, which every user can read).
inline constexpr const char *launchCommandVariable = "NERIM_LAUNCH_COMMAND";

// Whether a variable of Nerim's environment is kept from the user's program:
// every ANTHROPIC_* variable, CLAUDE_CODE_OAUTH_TOKEN, GROQ_API_KEY and the
// deploy tokens. Names compare without regard to letter case.
bool isWithheldFromDevServer(const QString &name);

} // namespace nerim
