#pragma once

#include <QString>
#include <QUuid>
#include <optional>

namespace nerim {

// UUIDs as text: upper-case, canonical 36-character form, no braces.
QString uuidText(const QUuid &id);

// Strict parse of the canonical form (either letter case); braces, missing
// hyphens or any other shape yield nothing.
std::optional<QUuid> parseUuid(const QString &text);

// A new random (version 4) UUID.
QUuid newUuid();

} // namespace nerim
