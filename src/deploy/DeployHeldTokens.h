#pragma once

#include "deploy/DeployProvider.h"

#include <QHash>
#include <QList>
#include <QString>
#include <optional>

namespace nerim {

// The providers' tokens a deploy session holds, and which of them reaches a run.
namespace DeployRuns {

// The tokens a deploy session holds, each for its own provider. A run is given
// only the token of the provider it works for (the provider of the phase,
// the first provider for the first run, the hosting one for a secret, a
// domain or an operation). They stay once the deploy is live or stuck, for
// the later operations on the live deploy, and are cleared when the user
// cancels a deploy or the project closes; a run's output stays masked with
// them until the run exits.
class HeldTokens {
public:
    void hold(DeployProvider provider, const QString &token);
    bool contains(DeployProvider provider) const { return m_tokens.contains(provider); }
    bool isEmpty() const { return m_tokens.isEmpty(); }
    // Every held token, for masking them in what the pane shows.
    QList<QString> values() const { return m_tokens.values(); }
    void clear() { m_tokens.clear(); }

    // The environment of a run for `provider`: that provider's token variable,
    // when held; nothing for a run of no provider.
    QHash<QString, QString> environmentFor(std::optional<DeployProvider> provider) const;

private:
    QHash<DeployProvider, QString> m_tokens;
};

} // namespace DeployRuns
} // namespace nerim
