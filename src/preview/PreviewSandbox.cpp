#include "preview/PreviewSandbox.h"

namespace nerim::PreviewSandbox {

bool runsWithoutSandbox(uid_t effectiveUid) { return effectiveUid == 0; }

QStringList engineArguments(uid_t effectiveUid)
{
    if (runsWithoutSandbox(effectiveUid))
        // The engine takes the application's arguments only after this marker.
        return {QStringLiteral("--webEngineArgs"), QStringLiteral("--no-sandbox")};
    return {};
}

QString withoutSandboxLogLine()
{
    return QStringLiteral("[Nerim] Running as root: the preview's web engine starts without its sandbox");
}

} // namespace nerim::PreviewSandbox
