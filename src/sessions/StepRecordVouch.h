#pragma once

#include <QByteArray>
#include <QString>

namespace nerim::StepRecordVouch {

// Nerim's own word on the step records in a project's `.nerim`
// (SystemAgentStepRecord). That folder travels with the project (a clone, a
// copy from another machine, a restored backup, a hand edit), so a record
// found there is taken as a step the user started only when this Nerim wrote
// those very bytes there. What vouches for them is kept in Nerim's own data
// folder, never in the project: `step-records/<id>.json`, one file per record
// file of each project folder (the id a SHA-256 of the folder's path and the
// record's name), holding the SHA-256 of the record bytes Nerim wrote last.
// The files are written crash-safe, mode 0600, in a folder of mode 0700.
//
// A write vouches in two steps around the record's own write: before it, both
// the new bytes and the ones vouched for until then (so a crash before the
// record is in place leaves the record on disk trusted); after it, the new
// bytes alone. Blocking: call off the window's thread.

// Whether `bytes` are what this Nerim last wrote as `fileName` in the project
// folder at `projectPath`. A missing, damaged or oversized vouch file vouches
// for nothing; never throws.
bool vouchesFor(const QString &projectPath, const QString &fileName, const QByteArray &bytes);

// Before writing `bytes` as the record: they are vouched for, and so are the
// bytes vouched for until now. Throws std::runtime_error when it cannot be written.
void vouchBeforeWriting(const QString &projectPath, const QString &fileName, const QByteArray &bytes);

// The record is in place: only `bytes` are vouched for. Throws std::runtime_error
// when it cannot be written (the earlier bytes then stay vouched for as well).
void settle(const QString &projectPath, const QString &fileName, const QByteArray &bytes);

} // namespace nerim::StepRecordVouch
