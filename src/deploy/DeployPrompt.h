#pragma once

#include "deploy/DeployContext.h"
#include "deploy/DeployMarkers.h"
#include "deploy/DeployTypes.h"

#include <QString>

namespace nerim {

// The Deploy agent's briefing for a session: the project, the providers in
// order, the kind and shape, the env names (never their values), the commands
// it may run, and the marker lines through which it talks to Nerim.
QString buildDeployPrompt(const QString &projectName, const DeployContext &context);

// The briefing of an operation on a live deploy (a rollback, connecting or
// disconnecting git, updating the env vars) on `provider`, one of the
// deploy's `providers`: the change to make, the same rules and commands, and
// only the marker lines of an operation, with the one that ends it
// ("[NERIM_DEPLOY_OPERATION_DONE]", or "[NERIM_DEPLOY_ENV_OK]" for the env vars).
QString buildOperationPrompt(const QString &projectName, const QList<DeployProvider> &providers,
                             const ProviderTask &task, DeployProvider provider);

// The env-var decisions as the agent reads them: one line per variable, a
// custom value named (it is in the run's environment), never written.
QString envDecisionLines(const QMap<QString, QString> &decisions);

// What the Deploy agent is asked when the user adds a custom domain: register
// it with the hosting provider (`hostName`), report its records, and check DNS
// with the look-ups its run may make for that domain.
QString customDomainRequest(const QString &domain, const QString &hostName);

} // namespace nerim
