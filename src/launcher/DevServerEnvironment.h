#pragma once

#include <QProcessEnvironment>
#include <QString>

namespace nerim {

// The environment a development server runs with: `base` with TERM (kept, or
// "xterm-256color"), FORCE_COLOR=0, NO_COLOR=1, PYTHONUNBUFFERED=1 and
// PYTHONDONTWRITEBYTECODE=1, and without any credential of Nerim's own (see
// isWithheldFromDevServer). No side effects; callable from any thread.
QProcessEnvironment devServerEnvironment(const QProcessEnvironment &base);

// Whether a variable of Nerim's environment is kept from the user's program:
// every ANTHROPIC_* variable, CLAUDE_CODE_OAUTH_TOKEN, GROQ_API_KEY and the
// deploy tokens. Names compare without regard to letter case.
bool isWithheldFromDevServer(const QString &name);

} // namespace nerim
