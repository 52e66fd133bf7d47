#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <exception>

namespace nerim {

// The errors of starting (or talking to) an agent. There are no message texts:
// where one is shown, its text form is the case name with its payload, e.g.
//   binaryNotFound(searchedPaths: ["/usr/local/bin/claude", "/home/ada/.local/bin/claude"])
//   spawnFailed(underlying: "No such file or directory")
//   sessionNotAlive
class AgentError : public std::exception {
public:
    enum class Kind { binaryNotFound, workingDirectoryUnavailable, spawnFailed, stdinWriteFailed, sessionNotAlive };

    static AgentError binaryNotFound(QStringList searchedPaths);
    static AgentError workingDirectoryUnavailable(QString underlying);
    static AgentError spawnFailed(QString underlying);
    static AgentError stdinWriteFailed(QString underlying);
    static AgentError sessionNotAlive();

    Kind kind() const { return m_kind; }
    const QStringList &searchedPaths() const { return m_searchedPaths; } // binaryNotFound
    const QString &underlying() const { return m_underlying; }          // the three cases with a description

    // The text form above.
    QString description() const { return m_description; }
    const char *what() const noexcept override { return m_utf8.constData(); }

    friend bool operator==(const AgentError &a, const AgentError &b)
    {
        return a.m_kind == b.m_kind && a.m_searchedPaths == b.m_searchedPaths && a.m_underlying == b.m_underlying;
    }

    // A string written as a quoted literal: backslash before ", ' and \, and
    // tab, line feed and carriage return as \t, \n and \r.
    static QString quoted(const QString &text);

private:
    explicit AgentError(Kind kind) : m_kind(kind) {}
    AgentError &finish();

    Kind m_kind;
    QStringList m_searchedPaths;
    QString m_underlying;
    QString m_description;
    QByteArray m_utf8;
};

} // namespace nerim
