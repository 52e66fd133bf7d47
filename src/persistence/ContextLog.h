#pragma once

#include "persistence/ContextEntry.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace nerim {

// A project's activity log as one document (context.json in the project data
// folder): the project's identity, when the log was started, and every entry
// oldest first. Entries' timestamps never decrease; equal ones are allowed.
struct ContextLog {
    static constexpr int currentSchemaVersion = 1;

    int schemaVersion = currentSchemaVersion;
    QString projectId;
    QString projectPath; // the project folder when the log was created; not updated
    Timestamp createdAt;
    QList<ContextEntry> entries;

    // Appends a new entry (fresh id) stamped max(now, newest entry's timestamp),
    // so a wall clock stepped back never breaks the chronological order.
    const ContextEntry &append(ContextEntry::Payload payload, Timestamp now);
    // Appends an entry made elsewhere, keeping its id and payload; its time is
    // likewise raised to the newest entry's when it is earlier.
    const ContextEntry &appendEntry(const ContextEntry &entry);

    // The newest `count` entries in log order (none when count < 1).
    QList<ContextEntry> recentEntries(qsizetype count) const;
    // recentActivitySummary(entries, limit) below, over this log's entries.
    QString recentActivitySummary(qsizetype limit) const;

    // Throws MemoryError::entriesNotChronological(filePath) when an entry is
    // strictly earlier than the one before it.
    void validateChronologicalOrder(const QString &filePath) const;

    // The JSON document: "createdAt", "entries", "projectId", "projectPath",
    // "schemaVersion"; dates as ISO 8601 UTC with whole seconds.
    QJsonObject toJson() const;
    QByteArray encoded() const; // pretty-printed, sorted keys

    // Strict decoding: all five members are required; one bad entry fails the
    // whole document. Neither the version nor the order is checked here.
    // Throws JsonDecodingError.
    static ContextLog fromJson(const JsonObjectReader &object);
    static ContextLog decode(const QByteArray &bytes);

    friend bool operator==(const ContextLog &, const ContextLog &) = default;
};

// The one-line text of a payload as agents read it, e.g.
// "[prompt to Claude 1, via text] Add a login page". Pure; never fails.
QString activityLine(const ContextEntry::Payload &payload);

// The last `limit` entries, one line each ("- 2026-03-14T09:26:53Z " + the
// activity line), joined by "\n"; "(No prior activity in this project yet.)"
// when none are taken. Callers pass 10. Pure; never fails.
QString recentActivitySummary(const QList<ContextEntry> &entries, qsizetype limit);

// The text shown when no entry is selected.
inline const QString noPriorActivityText = QStringLiteral("(No prior activity in this project yet.)");

} // namespace nerim
