#include "persistence/MemoryError.h"

#include <QFileInfo>

namespace nerim {

namespace {
QString lastComponent(const QString &path)
{
    QString p = path;
    while (p.size() > 1 && p.endsWith(QLatin1Char('/')))
        p.chop(1);
    return QFileInfo(p).fileName();
}
} // namespace

MemoryError &MemoryError::finish()
{
    m_utf8 = description().toUtf8();
    return *this;
}

MemoryError MemoryError::bothPrimaryAndBackupUnreadable(const QString &filePath, const QString &primaryReason,
                                                        const QString &backupReason)
{
    MemoryError e(Kind::bothPrimaryAndBackupUnreadable);
    e.m_filePath = filePath;
    e.m_reason = primaryReason;
    e.m_backupReason = backupReason;
    return e.finish();
}

MemoryError MemoryError::primaryUnreadableRestoredFromBackup(const QString &filePath, const QString &primaryReason)
{
    MemoryError e(Kind::primaryUnreadableRestoredFromBackup);
    e.m_filePath = filePath;
    e.m_reason = primaryReason;
    return e.finish();
}

MemoryError MemoryError::schemaVersionMismatch(int expected, int found, const QString &filePath)
{
    MemoryError e(Kind::schemaVersionMismatch);
    e.m_expected = expected;
    e.m_found = found;
    e.m_filePath = filePath;
    return e.finish();
}

MemoryError MemoryError::writeFailed(const QString &filePath, const QString &underlyingReason)
{
    MemoryError e(Kind::writeFailed);
    e.m_filePath = filePath;
    e.m_reason = underlyingReason;
    return e.finish();
}

MemoryError MemoryError::atomicRenameFailed(const QString &fromPath, const QString &toPath,
                                            const QString &underlyingReason)
{
    MemoryError e(Kind::atomicRenameFailed);
    e.m_filePath = fromPath;
    e.m_toPath = toPath;
    e.m_reason = underlyingReason;
    return e.finish();
}

MemoryError MemoryError::appSupportDirectoryUnavailable(const QString &underlyingReason)
{
    MemoryError e(Kind::appSupportDirectoryUnavailable);
    e.m_reason = underlyingReason;
    return e.finish();
}

MemoryError MemoryError::projectDotfolderUnavailable(const QString &projectPath, const QString &underlyingReason)
{
    MemoryError e(Kind::projectDotfolderUnavailable);
    e.m_filePath = projectPath;
    e.m_reason = underlyingReason;
    return e.finish();
}

MemoryError MemoryError::projectDirectoryMissing(const QString &projectPath)
{
    MemoryError e(Kind::projectDirectoryMissing);
    e.m_filePath = projectPath;
    return e.finish();
}

MemoryError MemoryError::unknownEntryKind(const QString &kindString, const QString &filePath)
{
    MemoryError e(Kind::unknownEntryKind);
    e.m_backupReason = kindString;
    e.m_filePath = filePath;
    return e.finish();
}

MemoryError MemoryError::entriesNotChronological(const QString &filePath)
{
    MemoryError e(Kind::entriesNotChronological);
    e.m_filePath = filePath;
    return e.finish();
}

MemoryError MemoryError::readFailed(const QString &filePath, const QString &underlyingReason)
{
    MemoryError e(Kind::readFailed);
    e.m_filePath = filePath;
    e.m_reason = underlyingReason;
    return e.finish();
}

QString MemoryError::description() const
{
    switch (m_kind) {
    case Kind::bothPrimaryAndBackupUnreadable:
        return QStringLiteral("Both files unreadable at ") + m_filePath + QStringLiteral(": primary=") + m_reason +
               QStringLiteral("; backup=") + m_backupReason;
    case Kind::primaryUnreadableRestoredFromBackup:
        return QStringLiteral("Primary unreadable at ") + m_filePath +
               QStringLiteral(", restored from backup. Cause: ") + m_reason;
    case Kind::schemaVersionMismatch:
        return QStringLiteral("Schema version mismatch at ") + m_filePath + QStringLiteral(": expected ") +
               QString::number(m_expected) + QStringLiteral(", found ") + QString::number(m_found);
    case Kind::writeFailed:
        return QStringLiteral("Write failed at ") + m_filePath + QStringLiteral(": ") + m_reason;
    case Kind::atomicRenameFailed:
        return QStringLiteral("Atomic rename failed ") + lastComponent(m_filePath) + QStringLiteral(" \u2192 ") +
               lastComponent(m_toPath) + QStringLiteral(": ") + m_reason;
    case Kind::appSupportDirectoryUnavailable:
        return QStringLiteral("Application Support directory unavailable: ") + m_reason;
    case Kind::projectDotfolderUnavailable:
        return QStringLiteral("Cannot create .nerim/ in ") + m_filePath + QStringLiteral(": ") + m_reason;
    case Kind::projectDirectoryMissing:
        return QStringLiteral("Project directory missing: ") + m_filePath;
    case Kind::unknownEntryKind:
        return QStringLiteral("Unknown context entry kind '") + m_backupReason + QStringLiteral("' at ") + m_filePath;
    case Kind::entriesNotChronological:
        return QStringLiteral("Context entries out of chronological order at ") + m_filePath;
    case Kind::readFailed:
        return QStringLiteral("Read failed at ") + m_filePath + QStringLiteral(": ") + m_reason;
    }
    return QString();
}

} // namespace nerim
