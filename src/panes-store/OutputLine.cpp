#include "panes-store/OutputLine.h"

#include "foundation/RawValues.h"
#include "foundation/UuidText.h"

namespace nerim {

namespace {
constexpr auto kindNames = rawValues<OutputLine::Kind>("stdout", "stderr", "system", "userPrompt", "taskComplete");
}

QString rawValue(OutputLine::Kind kind) { return kindNames.raw(kind); }

const char *rawValueLatin1(OutputLine::Kind kind) { return kindNames.rawLatin1(kind); }

std::optional<OutputLine::Kind> outputLineKindFromRaw(const QString &raw) { return kindNames.fromRaw(raw); }

OutputLine OutputLine::make(Kind kind, QString text) { return OutputLine{newSequentialUuid(), kind, std::move(text)}; }

QJsonObject OutputLine::toJson() const
{
    QJsonObject object;
    object.insert(QStringLiteral("id"), json::uuid(id));
    object.insert(QStringLiteral("kind"), rawValue(kind));
    object.insert(QStringLiteral("text"), text);
    return object;
}

OutputLine OutputLine::fromJson(const JsonObjectReader &reader)
{
    OutputLine line;
    line.id = reader.uuid(QStringLiteral("id"));
    line.kind = reader.enumeration(QStringLiteral("kind"), &outputLineKindFromRaw);
    line.text = reader.string(QStringLiteral("text"));
    return line;
}

} // namespace nerim
