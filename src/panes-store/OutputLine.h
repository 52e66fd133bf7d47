#pragma once

#include "foundation/Json.h"

#include <QJsonObject>
#include <QString>
#include <QUuid>
#include <optional>

namespace nerim {

// One line of a pane's transcript. `text` is kept exactly as given.
struct OutputLine {
    // Where the line comes from; stored by its raw value (the case name).
    enum class Kind { stdout, stderr, system, userPrompt, taskComplete };

    // Identifies the line in the views and in panes.json. A line's content
    // never changes once made, so its id stands for its content.
    QUuid id;
    Kind kind = Kind::system;
    QString text;

    // A new line with a fresh id (`newSequentialUuid`: unique, and cheap to
    // make for every line an agent prints).
    static OutputLine make(Kind kind, QString text);

    // {"id", "kind", "text"}; all three are required when reading.
    QJsonObject toJson() const;
    static OutputLine fromJson(const JsonObjectReader &reader);

    friend bool operator==(const OutputLine &, const OutputLine &) = default;
};

QString rawValue(OutputLine::Kind kind);
const char *rawValueLatin1(OutputLine::Kind kind);
std::optional<OutputLine::Kind> outputLineKindFromRaw(const QString &raw);

} // namespace nerim
