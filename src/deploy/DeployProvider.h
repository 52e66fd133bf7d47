#pragma once

#include <QHashFunctions>
#include <QList>
#include <QString>
#include <optional>

namespace nerim {

// Where a project can be deployed. Stored by its raw value, the case name.
// A value type that behaves like the enumeration it wraps (compare it, switch
// on it, put it in a set) and carries what belongs to each provider.
class DeployProvider {
public:
    enum Value { vercel, railway, supabase };

    constexpr DeployProvider(Value value) : m_value(value) {}
    constexpr operator Value() const { return m_value; }

    // Every provider, in declaration order.
    static const QList<DeployProvider> &allCases();

    // "vercel", "railway", "supabase".
    QString rawValue() const;
    // Exact, case-sensitive match of a raw value; anything else gives nothing.
    static std::optional<DeployProvider> fromRaw(const QString &raw);

    // The environment variable the provider's command-line tool reads its
    // access token from: "VERCEL_TOKEN", "RAILWAY_TOKEN", "SUPABASE_ACCESS_TOKEN".
    QString tokenVariable() const;

private:
    Value m_value;
};

inline size_t qHash(DeployProvider provider, size_t seed = 0)
{
    return ::qHash(static_cast<int>(DeployProvider::Value(provider)), seed);
}

} // namespace nerim
