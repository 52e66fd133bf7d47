#pragma once

#include "deploy/DeployProvider.h"

#include <QList>
#include <QStringList>

namespace nerim {

// The inputs of one deploy session, gathered when a deploy is prepared.
struct DeployContext {
    // The providers to deploy to, in the order they are deployed.
    QList<DeployProvider> providersInOrder;
    // Names of the variables found in the project's .env files, in the order listed there.
    QStringList envVarNames;

    friend bool operator==(const DeployContext &, const DeployContext &) = default;
};

} // namespace nerim
