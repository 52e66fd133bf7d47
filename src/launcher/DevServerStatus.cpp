#include "launcher/DevServerStatus.h"

namespace nerim {

DevServerStatus DevServerStatus::starting(const QString &planDescription)
{
    DevServerStatus s;
    s.m_kind = Kind::starting;
    s.m_text = planDescription;
    return s;
}

DevServerStatus DevServerStatus::running(const std::optional<QUrl> &url)
{
    DevServerStatus s;
    s.m_kind = Kind::running;
    s.m_url = url;
    return s;
}

DevServerStatus DevServerStatus::stopped(qint32 exitCode, bool wasClean)
{
    DevServerStatus s;
    s.m_kind = Kind::stopped;
    s.m_exitCode = exitCode;
    s.m_wasClean = wasClean;
    return s;
}

DevServerStatus DevServerStatus::failed(const QString &reason)
{
    DevServerStatus s;
    s.m_kind = Kind::failed;
    s.m_text = reason;
    return s;
}

DevServerStatus DevServerStatus::crashed(const QString &summary, const std::optional<QString> &hint)
{
    DevServerStatus s;
    s.m_kind = Kind::crashed;
    s.m_text = summary;
    s.m_hint = hint;
    return s;
}

QString DevServerStatus::displayText() const
{
    switch (m_kind) {
    case Kind::starting:
        return m_text + QStringLiteral("…");
    case Kind::running:
        if (m_url)
            return QStringLiteral("Your app is running at ") + m_url->toString(QUrl::FullyEncoded);
        return QStringLiteral("Your app is running.");
    case Kind::stopped:
        return m_wasClean ? QStringLiteral("Your app stopped.") : QStringLiteral("Your app crashed.");
    case Kind::failed:
        return QStringLiteral("Couldn't start: ") + m_text;
    case Kind::crashed:
        return m_text;
    case Kind::idle:
        break;
    }
    return QStringLiteral("Ready when you are.");
}

QString DevServerStatus::kindName() const
{
    switch (m_kind) {
    case Kind::idle:
        return QStringLiteral("idle");
    case Kind::starting:
        return QStringLiteral("starting");
    case Kind::running:
        return QStringLiteral("running");
    case Kind::stopped:
        return QStringLiteral("stopped");
    case Kind::failed:
        return QStringLiteral("failed");
    case Kind::crashed:
        return QStringLiteral("crashed");
    }
    return {};
}

} // namespace nerim
