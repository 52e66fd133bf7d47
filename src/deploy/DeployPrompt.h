#pragma once

#include "deploy/DeployContext.h"
#include "deploy/DeployMarkers.h"

#include <QString>

namespace nerim {

// The Deploy agent's briefing for a session: the project, the providers in
// order, the kind and shape, the env names (never their values), and the
// marker lines through which it talks to Nerim.
QString buildDeployPrompt(const QString &projectName, const DeployContext &context);

} // namespace nerim
