#include "repair/RepairSessionState.h"

namespace nerim {

namespace {

// A text payload as a debug description shows it: in double quotes, with
// backslashes, quotes and line breaks escaped.
QString quoted(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size() + 2);
    escaped += QLatin1Char('"');
    for (const QChar c : text) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            escaped += QLatin1Char('\\') + QString(c);
        else if (c == QLatin1Char('\n'))
            escaped += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            escaped += QLatin1String("\\r");
        else if (c == QLatin1Char('\t'))
            escaped += QLatin1String("\\t");
        else
            escaped += c;
    }
    escaped += QLatin1Char('"');
    return escaped;
}

} // namespace

using Phase = RepairSessionState::Phase;

Phase Phase::awaitingSecret(QString varName, QString explanation, int attempt)
{
    Phase phase(Kind::awaitingSecret, attempt);
    phase.m_varName = std::move(varName);
    phase.m_explanation = std::move(explanation);
    return phase;
}

Phase Phase::stuck(QString reason)
{
    Phase phase(Kind::stuck);
    phase.m_reason = std::move(reason);
    return phase;
}

bool Phase::isActive() const
{
    switch (m_kind) {
    case Kind::preparing:
    case Kind::repairing:
    case Kind::retryingApp:
    case Kind::awaitingSecret:
        return true;
    case Kind::stuck:
    case Kind::idle:
    case Kind::fixed:
    case Kind::cancelled:
        break;
    }
    return false;
}

bool Phase::isTerminal() const
{
    return m_kind == Kind::stuck || m_kind == Kind::fixed || m_kind == Kind::cancelled;
}

QString Phase::displayText() const
{
    switch (m_kind) {
    case Kind::repairing:
        return QStringLiteral("Nerim is fixing it… (attempt %1)").arg(m_attempt);
    case Kind::retryingApp:
        return QStringLiteral("Restarting your app… (attempt %1)").arg(m_attempt);
    case Kind::awaitingSecret:
        return QStringLiteral("Nerim needs ") + m_varName;
    case Kind::stuck:
        return QStringLiteral("I tried but I'm stuck — ") + m_reason;
    case Kind::preparing:
        return QStringLiteral("Nerim is looking at the crash…");
    case Kind::fixed:
        return QStringLiteral("Fixed. Your app is running.");
    case Kind::idle:
    case Kind::cancelled:
        break;
    }
    return QString();
}

QString Phase::debugDescription() const
{
    switch (m_kind) {
    case Kind::repairing:
        return QStringLiteral("repairing(attempt: %1)").arg(m_attempt);
    case Kind::retryingApp:
        return QStringLiteral("retryingApp(attempt: %1)").arg(m_attempt);
    case Kind::awaitingSecret:
        return QStringLiteral("awaitingSecret(varName: ") + quoted(m_varName) + QStringLiteral(", explanation: ") +
               quoted(m_explanation) + QStringLiteral(", attempt: ") + QString::number(m_attempt) +
               QLatin1Char(')');
    case Kind::stuck:
        return QStringLiteral("stuck(reason: ") + quoted(m_reason) + QLatin1Char(')');
    case Kind::idle:
        return QStringLiteral("idle");
    case Kind::preparing:
        return QStringLiteral("preparing");
    case Kind::fixed:
        return QStringLiteral("fixed");
    case Kind::cancelled:
        return QStringLiteral("cancelled");
    }
    return QString();
}

RepairSessionState::RepairSessionState(QObject *parent) : QObject(parent) {}

void RepairSessionState::setPhase(const Phase &phase)
{
    if (m_phase == phase)
        return;
    m_phase = phase;
    emit phaseChanged();
}

void RepairSessionState::setRepairPaneID(const std::optional<QUuid> &id)
{
    if (m_repairPaneID == id)
        return;
    m_repairPaneID = id;
    emit repairPaneIDChanged();
}

void RepairSessionState::setContext(const std::optional<RepairContext> &context)
{
    if (m_context == context)
        return;
    m_context = context;
    emit contextChanged();
}

void RepairSessionState::setLastErrorText(const std::optional<QString> &text)
{
    if (m_lastErrorText == text)
        return;
    m_lastErrorText = text;
    emit lastErrorTextChanged();
}

} // namespace nerim
