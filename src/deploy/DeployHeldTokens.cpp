#include "deploy/DeployHeldTokens.h"


namespace nerim::DeployRuns {

void HeldTokens::hold(DeployProvider provider, const QString &token) { m_tokens.insert(provider, token); }

QHash<QString, QString> HeldTokens::environmentFor(std::optional<DeployProvider> provider) const
{
    QHash<QString, QString> environment;
    if (provider) {
        const auto it = m_tokens.constFind(*provider);
        if (it != m_tokens.cend())
            environment.insert(provider->tokenVariable(), *it);
    }
    return environment;
}

} // namespace nerim::DeployRuns
