#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

namespace nerim {

// The one error type of the persistence layer. Every case carries its payload
// and a fixed English description that the shell, onboarding and the canvas show.
class MemoryError : public std::exception {
public:
    enum class Kind {
        bothPrimaryAndBackupUnreadable,
        primaryUnreadableRestoredFromBackup,
        schemaVersionMismatch,
        writeFailed,
        atomicRenameFailed,
        appSupportDirectoryUnavailable,
        projectDotfolderUnavailable,
        projectDirectoryMissing,
        unknownEntryKind,
        entriesNotChronological,
        // A file exists but cannot be read (permission denied, a folder in its
        // place, an I/O error): the owner leaves it untouched and reports it.
        readFailed,
    };

    static MemoryError bothPrimaryAndBackupUnreadable(const QString &filePath, const QString &primaryReason,
                                                      const QString &backupReason);
    static MemoryError primaryUnreadableRestoredFromBackup(const QString &filePath, const QString &primaryReason);
    static MemoryError schemaVersionMismatch(int expected, int found, const QString &filePath);
    static MemoryError writeFailed(const QString &filePath, const QString &underlyingReason);
    static MemoryError atomicRenameFailed(const QString &fromPath, const QString &toPath, const QString &underlyingReason);
    static MemoryError appSupportDirectoryUnavailable(const QString &underlyingReason);
    static MemoryError projectDotfolderUnavailable(const QString &projectPath, const QString &underlyingReason);
    static MemoryError projectDirectoryMissing(const QString &projectPath);
    static MemoryError unknownEntryKind(const QString &kindString, const QString &filePath);
    static MemoryError entriesNotChronological(const QString &filePath);
    static MemoryError readFailed(const QString &filePath, const QString &underlyingReason);

    Kind kind() const { return m_kind; }

    // Payload fields; those a case does not carry are empty (or 0).
    const QString &filePath() const { return m_filePath; }   // fileURL / projectURL / fromURL
    const QString &toPath() const { return m_toPath; }       // atomicRenameFailed only
    const QString &primaryReason() const { return m_reason; } // also underlyingReason
    const QString &underlyingReason() const { return m_reason; }
    const QString &backupReason() const { return m_backupReason; }
    const QString &kindString() const { return m_backupReason; }
    int expected() const { return m_expected; }
    int found() const { return m_found; }

    QString description() const;
    const char *what() const noexcept override { return m_utf8.constData(); }

    friend bool operator==(const MemoryError &a, const MemoryError &b)
    {
        return a.m_kind == b.m_kind && a.m_filePath == b.m_filePath && a.m_toPath == b.m_toPath &&
               a.m_reason == b.m_reason && a.m_backupReason == b.m_backupReason && a.m_expected == b.m_expected &&
               a.m_found == b.m_found;
    }

private:
    explicit MemoryError(Kind kind) : m_kind(kind) {}
    MemoryError &finish();

    Kind m_kind;
    QString m_filePath;
    QString m_toPath;
    QString m_reason;
    QString m_backupReason;
    int m_expected = 0;
    int m_found = 0;
    QByteArray m_utf8;
};

} // namespace nerim
