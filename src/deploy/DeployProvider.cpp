#include "deploy/DeployProvider.h"

#include "foundation/RawValues.h"

#include <algorithm>

namespace nerim {

namespace {
constexpr auto providerNames = rawValues<DeployProvider::Value>("vercel", "railway", "supabase");
constexpr auto displayNames = rawValues<DeployProvider::Value>("Vercel", "Railway", "Supabase");
constexpr auto tokenVariables =
    rawValues<DeployProvider::Value>("VERCEL_TOKEN", "RAILWAY_TOKEN", "SUPABASE_ACCESS_TOKEN");
constexpr auto npmPackages = rawValues<DeployProvider::Value>("vercel", "@railway/cli", "supabase");
} // namespace

const QList<DeployProvider> &DeployProvider::allCases()
{
    static const QList<DeployProvider> all{vercel, railway, supabase};
    return all;
}

QString DeployProvider::rawValue() const { return providerNames.raw(m_value); }

std::optional<DeployProvider> DeployProvider::fromRaw(const QString &raw)
{
    if (const auto value = providerNames.fromRaw(raw))
        return DeployProvider(*value);
    return std::nullopt;
}

QString DeployProvider::displayName() const { return displayNames.raw(m_value); }

QString DeployProvider::tokenVariable() const { return tokenVariables.raw(m_value); }

QString DeployProvider::toolName() const { return providerNames.raw(m_value); }

QString DeployProvider::npmPackage() const { return npmPackages.raw(m_value); }

DeployProvider::ProjectShape DeployProvider::classify(const QString &launchCommand)
{
    const QString command = launchCommand.toLower();
    auto containsAny = [&command](std::initializer_list<const char *> words) {
        return std::any_of(words.begin(), words.end(),
                           [&command](const char *word) { return command.contains(QLatin1String(word)); });
    };
    if (containsAny({"next", "vite", "http.server", "http-server"}))
        return ProjectShape::frontend;
    if (command.contains(QLatin1String("serve")) && command.contains(QLatin1String("dist")))
        return ProjectShape::frontend;
    if (containsAny({"express", "uvicorn", "flask", "gunicorn", "cargo run", "node server"}))
        return ProjectShape::backendOrFullStack;
    if (command.startsWith(QLatin1String("./")) || command.startsWith(QLatin1String("go run")))
        return ProjectShape::backendOrFullStack;
    return ProjectShape::unknown;
}

QSet<DeployProvider> DeployProvider::suggestedProviders(ProjectShape shape, const QSet<QString> &dependencyNames)
{
    QSet<DeployProvider> result{shape == ProjectShape::backendOrFullStack ? railway : vercel};
    if (dependencyNames.contains(QStringLiteral("@supabase/supabase-js")) ||
        dependencyNames.contains(QStringLiteral("supabase")))
        result.insert(supabase);
    return result;
}

QList<DeployProvider> DeployProvider::deployOrder(const QSet<DeployProvider> &providers)
{
    QList<DeployProvider> ordered(providers.begin(), providers.end());
    std::sort(ordered.begin(), ordered.end(), [](DeployProvider a, DeployProvider b) {
        if ((a == supabase) != (b == supabase))
            return a == supabase;
        return a.rawValue() < b.rawValue();
    });
    return ordered;
}

QString deployKindRawValue(DeployKind kind)
{
    return kind == DeployKind::fresh ? QStringLiteral("fresh") : QStringLiteral("redeploy");
}

} // namespace nerim
