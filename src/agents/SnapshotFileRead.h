#pragma once

#include "persistence/AtomicFileWriter.h"
#include "persistence/IntentProcessorConstants.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

namespace nerim {

// Reading a per-project snapshot file that is saved next to a backup copy: the
// primary first and, when it exists but cannot be read or decoded, its backup.
// A missing primary means nothing was saved (the backup is not consulted).
template <typename T>
struct SnapshotFileRead {
    std::optional<T> value;
    // Why the primary was unusable (set when it existed but failed).
    std::optional<QString> primaryFailure;
    bool restoredFromBackup = false;
};

template <typename T>
SnapshotFileRead<T> readSnapshotFile(const QString &path, const std::function<T(const QByteArray &)> &decode)
{
    SnapshotFileRead<T> result;
    // A file in a project's data folder is reached beneath the project.
    const QString project = IntentProcessorConstants::projectOfDataFile(path);
    try {
        const std::optional<QByteArray> bytes = AtomicFileWriter::readBytes(path, project);
        if (!bytes)
            return result;
        result.value = decode(*bytes);
        return result;
    } catch (...) {
        result.primaryFailure = AtomicFileWriter::describeFailure(std::current_exception());
    }
    try {
        if (const std::optional<QByteArray> bytes =
                AtomicFileWriter::readBytes(AtomicFileWriter::backupPathFor(path), project)) {
            result.value = decode(*bytes);
            result.restoredFromBackup = true;
        }
    } catch (...) {
        // The backup is no better; the primary's failure is the one reported.
    }
    return result;
}

} // namespace nerim
