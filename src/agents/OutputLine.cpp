#include "agents/OutputLine.h"

#include "foundation/UuidText.h"

namespace nerim {

namespace {
constexpr const char *kindNames[] = {"stdout", "stderr", "system", "userPrompt", "taskComplete"};
}

QString rawValue(OutputLine::Kind kind) { return QString::fromLatin1(kindNames[static_cast<int>(kind)]); }

std::optional<OutputLine::Kind> outputLineKindFromRaw(const QString &raw)
{
    for (int i = 0; i < 5; ++i)
        if (raw == QLatin1String(kindNames[i]))
            return static_cast<OutputLine::Kind>(i);
    return std::nullopt;
}

OutputLine OutputLine::make(Kind kind, QString text) { return OutputLine{newUuid(), kind, std::move(text)}; }

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
