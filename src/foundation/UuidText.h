#pragma once

#include <QString>
#include <QStringView>
#include <QUuid>
#include <optional>

namespace nerim {

// UUIDs as text: upper-case, canonical 36-character form, no braces.
QString uuidText(const QUuid &id);

// Writes the 36 characters of `uuidText(id)` as ASCII to `out`.
void writeUuidText(const QUuid &id, char *out);

// Strict parse of the canonical form (either letter case); braces, missing
// hyphens or any other shape yield nothing.
std::optional<QUuid> parseUuid(QStringView text);
inline std::optional<QUuid> parseUuid(const QString &text) { return parseUuid(QStringView(text)); }

// A new random (version 4) UUID.
QUuid newUuid();

// A new version-4 UUID made cheaply, for values created in bulk (transcript
// lines): the random bits of one `newUuid()` taken per process, with the low
// 48 bits mixed with a per-process counter. Never repeats within a process;
// ids of different runs differ in their random part.
QUuid newSequentialUuid();

} // namespace nerim
