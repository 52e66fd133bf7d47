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

EngineCommandLine::EngineCommandLine(int argc, char **argv, uid_t effectiveUid)
    : m_argv(argv, argv + argc)
{
    for (const QString &argument : engineArguments(effectiveUid))
        m_added.push_back(argument.toUtf8());
    for (QByteArray &argument : m_added)
        m_argv.push_back(argument.data());
    m_argc = static_cast<int>(m_argv.size());
    // Like the array main is given, it ends with a null pointer.
    m_argv.push_back(nullptr);
}

} // namespace nerim::PreviewSandbox
