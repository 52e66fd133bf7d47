#pragma once

#include <QHashFunctions>
#include <QList>
#include <QSet>
#include <QString>
#include <optional>

namespace nerim {

// Where a project can be deployed. Stored by its raw value, the case name.
// A value type that behaves like the enumeration it wraps (compare it, switch
// on it, put it in a set) and carries what belongs to each provider.
class DeployProvider {
public:
    enum Value { vercel, railway, supabase };

    // What a project looks like from the command that starts it.
    enum class ProjectShape { frontend, backendOrFullStack, unknown };

    constexpr DeployProvider(Value value) : m_value(value) {}
    constexpr operator Value() const { return m_value; }

    // Every provider, in declaration order.
    static const QList<DeployProvider> &allCases();

    // "vercel", "railway", "supabase".
    QString rawValue() const;
    // Exact, case-sensitive match of a raw value; anything else gives nothing.
    static std::optional<DeployProvider> fromRaw(const QString &raw);

    // "Vercel", "Railway", "Supabase".
    QString displayName() const;

    // The environment variable the provider's command-line tool reads its
    // access token from: "VERCEL_TOKEN", "RAILWAY_TOKEN", "SUPABASE_ACCESS_TOKEN".
    QString tokenVariable() const;

    // The provider's command-line tool ("vercel", "railway", "supabase") and the
    // npm package that installs it ("vercel", "@railway/cli", "supabase").
    QString toolName() const;
    QString npmPackage() const;

    // Vercel and Railway host the app; Supabase only provides a backend.
    bool isHosting() const { return m_value != supabase; }

    // The shape of a project from its launch command (first rule that matches wins).
    static ProjectShape classify(const QString &launchCommand);
    // Railway for a back end or full-stack app, else Vercel; plus Supabase when
    // the dependencies name its client ("@supabase/supabase-js" or "supabase").
    static QSet<DeployProvider> suggestedProviders(ProjectShape shape, const QSet<QString> &dependencyNames);
    // Supabase first, then the others by raw value ("railway" before "vercel").
    static QList<DeployProvider> deployOrder(const QSet<DeployProvider> &providers);

private:
    Value m_value;
};

inline size_t qHash(DeployProvider provider, size_t seed = 0)
{
    return ::qHash(static_cast<int>(DeployProvider::Value(provider)), seed);
}

// A first deploy, or a redeploy of a project that is already live.
enum class DeployKind { fresh, redeploy };
QString deployKindRawValue(DeployKind kind);

} // namespace nerim
