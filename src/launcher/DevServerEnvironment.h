#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace nerim {

// The environment a development server runs with: `base` with TERM (kept, or
// "xterm-256color"), FORCE_COLOR=0, NO_COLOR=1, PYTHONUNBUFFERED=1 and
// PYTHONDONTWRITEBYTECODE=1, and without any credential of Nerim's own (see
// isWithheldFromDevServer), the session bus's address or the display's
// (DISPLAY, XAUTHORITY, WAYLAND_DISPLAY). No side effects; callable from any
// thread.
QProcessEnvironment devServerEnvironment(const QProcessEnvironment &base);

// What the user's program must not read, hidden in its namespace (see
// ChildProcess::Options::hiddenPaths): Nerim's data folder (the key file), the
// agent program's own settings folder and file in the home folder (also when
// they appear only later or are replaced), the session's runtime folder (the
// session bus, the keyring's sockets, the display's socket, Nerim's runtime
// files), a session bus socket kept elsewhere and the display's cookie file.
QStringList devServerHiddenPaths();

// Where a development server may write, in its confined namespace (see
// ChildProcess::Options::confined): its project folder, but not the
// project's `.git` and `.nerim` (nor the legacy `.veltra`), nor any other
// repository in it (the guard finds those as the server starts, see
// guard/AppConfinement.h); the home folder
// stays visible read-only (also where it lies in the private /tmp); the
// caches that package tools insist on writing while they run (npm's, yarn's,
// pnpm's, node-gyp's, bun's, cargo's, Go's, the user's cache folder) are
// private copies. Paths are absolute and free of links.
struct DevServerPlaces {
    QStringList writable;
    QStringList readOnly;
    QStringList privateFolders;
};
DevServerPlaces devServerPlaces(const QString &projectFolder);

// The variable that carries the start command to the launch script (never on
// a command line, which every user can read).
inline constexpr const char *launchCommandVariable = "NERIM_LAUNCH_COMMAND";

// Whether a variable of Nerim's environment is kept from the user's program:
// every ANTHROPIC_* variable, CLAUDE_CODE_OAUTH_TOKEN, GROQ_API_KEY and the
// deploy tokens. Names compare without regard to letter case.
bool isWithheldFromDevServer(const QString &name);

} // namespace nerim
