#include "persistence/ModelChoice.h"

namespace nerim {

namespace {
struct Row {
    ModelChoice choice;
    const char *raw;
    const char *id;
    const char *name;
};
constexpr Row rows[] = {
    {ModelChoice::haiku45, "haiku45", "claude-haiku-4-5-20251001", "Haiku 4.5"},
    {ModelChoice::sonnet45, "sonnet45", "claude-sonnet-4-5-20250929", "Sonnet 4.5"},
    {ModelChoice::sonnet46, "sonnet46", "claude-sonnet-4-6", "Sonnet 4.6"},
    {ModelChoice::sonnet5, "sonnet5", "claude-sonnet-5", "Sonnet 5"},
    {ModelChoice::opus46, "opus46", "claude-opus-4-6", "Opus 4.6"},
    {ModelChoice::opus47, "opus47", "claude-opus-4-7", "Opus 4.7"},
    {ModelChoice::opus48, "opus48", "claude-opus-4-8", "Opus 4.8"},
    {ModelChoice::fable5, "fable5", "claude-fable-5", "Fable 5"},
};
const Row &row(ModelChoice choice) { return rows[static_cast<int>(choice)]; }
} // namespace

const QList<ModelChoice> &allModelChoices()
{
    static const QList<ModelChoice> all = [] {
        QList<ModelChoice> list;
        for (const auto &r : rows)
            list.append(r.choice);
        return list;
    }();
    return all;
}

QString rawValue(ModelChoice choice) { return QString::fromLatin1(row(choice).raw); }

std::optional<ModelChoice> modelChoiceFromRaw(const QString &raw)
{
    for (const auto &r : rows)
        if (raw == QLatin1String(r.raw))
            return r.choice;
    return std::nullopt;
}

QString modelId(ModelChoice choice) { return QString::fromLatin1(row(choice).id); }
QString displayName(ModelChoice choice) { return QString::fromLatin1(row(choice).name); }

} // namespace nerim
