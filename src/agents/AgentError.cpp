#include "agents/AgentError.h"

namespace nerim {

QString AgentError::quoted(const QString &text)
{
    QString out;
    out.reserve(text.size() + 2);
    out += QLatin1Char('"');
    for (QChar c : text) {
        switch (c.unicode()) {
        case '"': out += QStringLiteral("\\\""); break;
        case '\'': out += QStringLiteral("\\'"); break;
        case '\\': out += QStringLiteral("\\\\"); break;
        case '\t': out += QStringLiteral("\\t"); break;
        case '\n': out += QStringLiteral("\\n"); break;
        case '\r': out += QStringLiteral("\\r"); break;
        default: out += c;
        }
    }
    out += QLatin1Char('"');
    return out;
}

AgentError AgentError::binaryNotFound(QStringList searchedPaths)
{
    AgentError e(Kind::binaryNotFound);
    e.m_searchedPaths = std::move(searchedPaths);
    return e.finish();
}

AgentError AgentError::workingDirectoryUnavailable(QString underlying)
{
    AgentError e(Kind::workingDirectoryUnavailable);
    e.m_underlying = std::move(underlying);
    return e.finish();
}

AgentError AgentError::spawnFailed(QString underlying)
{
    AgentError e(Kind::spawnFailed);
    e.m_underlying = std::move(underlying);
    return e.finish();
}

AgentError AgentError::stdinWriteFailed(QString underlying)
{
    AgentError e(Kind::stdinWriteFailed);
    e.m_underlying = std::move(underlying);
    return e.finish();
}

AgentError AgentError::sessionNotAlive() { return AgentError(Kind::sessionNotAlive).finish(); }

AgentError &AgentError::finish()
{
    switch (m_kind) {
    case Kind::binaryNotFound: {
        QStringList items;
        for (const QString &path : m_searchedPaths)
            items.append(quoted(path));
        m_description = QStringLiteral("binaryNotFound(searchedPaths: [") + items.join(QStringLiteral(", ")) +
                        QStringLiteral("])");
        break;
    }
    case Kind::workingDirectoryUnavailable:
        m_description = QStringLiteral("workingDirectoryUnavailable(underlying: ") + quoted(m_underlying) +
                        QLatin1Char(')');
        break;
    case Kind::spawnFailed:
        m_description = QStringLiteral("spawnFailed(underlying: ") + quoted(m_underlying) + QLatin1Char(')');
        break;
    case Kind::stdinWriteFailed:
        m_description = QStringLiteral("stdinWriteFailed(underlying: ") + quoted(m_underlying) + QLatin1Char(')');
        break;
    case Kind::sessionNotAlive:
        m_description = QStringLiteral("sessionNotAlive");
        break;
    }
    m_utf8 = m_description.toUtf8();
    return *this;
}

} // namespace nerim
