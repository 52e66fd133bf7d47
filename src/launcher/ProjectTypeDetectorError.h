#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

namespace nerim {

// Why ProjectTypeDetector could not say how to start a project folder. The
// description is the sentence the canvas shows.
class ProjectTypeDetectorError : public std::exception {
public:
    enum class Kind {
        unknown,    // the folder is not recognised; the payload is the hint for the user
        readFailed, // the folder could not be listed; the payload is the underlying reason
    };

    static ProjectTypeDetectorError unknown(const QString &hint) { return {Kind::unknown, hint}; }
    static ProjectTypeDetectorError readFailed(const QString &underlying) { return {Kind::readFailed, underlying}; }

    Kind kind() const { return m_kind; }
    const QString &hint() const { return m_payload; }       // unknown
    const QString &underlying() const { return m_payload; } // readFailed

    // `unknown`: the hint itself; `readFailed`: "Couldn't read the project folder: " and the reason.
    QString description() const
    {
        return m_kind == Kind::unknown ? m_payload : QStringLiteral("Couldn't read the project folder: ") + m_payload;
    }
    const char *what() const noexcept override { return m_utf8.constData(); }

    friend bool operator==(const ProjectTypeDetectorError &a, const ProjectTypeDetectorError &b)
    {
        return a.m_kind == b.m_kind && a.m_payload == b.m_payload;
    }

private:
    ProjectTypeDetectorError(Kind kind, QString payload)
        : m_kind(kind), m_payload(std::move(payload)), m_utf8(description().toUtf8())
    {
    }

    Kind m_kind;
    QString m_payload;
    QByteArray m_utf8;
};

} // namespace nerim
