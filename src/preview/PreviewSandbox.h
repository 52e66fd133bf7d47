#pragma once

#include <QString>
#include <QStringList>
#include <sys/types.h>

namespace nerim::PreviewSandbox {

// The preview's web engine runs its page processes in a sandbox, which it
// refuses to start for the root user (the whole process would exit). So it
// runs without one exactly when Nerim runs as root (effective user id 0), and
// keeps it for everyone else. Pure functions of the user id.
bool runsWithoutSandbox(uid_t effectiveUid);

// The arguments to add at the end of the application's command line, where
// the web engine reads its own options (those after "--webEngineArgs"):
// "--webEngineArgs --no-sandbox" for root, else none.
QStringList engineArguments(uid_t effectiveUid);

// The one log line said when the sandbox is left off.
QString withoutSandboxLogLine();

} // namespace nerim::PreviewSandbox
