#include "deploy/DeployProvider.h"

#include "foundation/RawValues.h"

namespace nerim {

namespace {
constexpr auto providerNames = rawValues<DeployProvider::Value>("vercel", "railway", "supabase");
constexpr auto tokenVariables =
    rawValues<DeployProvider::Value>("VERCEL_TOKEN", "RAILWAY_TOKEN", "SUPABASE_ACCESS_TOKEN");
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

QString DeployProvider::tokenVariable() const { return tokenVariables.raw(m_value); }

} // namespace nerim
