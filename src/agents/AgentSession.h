#pragma once

#include "agents/AgentProviderType.h"
#include "panes-store/AgentRole.h"
#include "foundation/Timestamp.h"

#include <QHashFunctions>
#include <QString>
#include <QUuid>

namespace nerim {

// The public record of one launched agent process.
struct AgentSession {
    QUuid id;                   // made by the provider after a successful launch
    AgentRole role = AgentRole::unspecified;
    AgentProviderType provider = AgentProviderType::claudeCode;
    Timestamp spawnedAt;        // taken right after the launch
    qint32 processID = 0;
    QString openingPromptDigest; // "sha256:" + 64 lower-case hex digits of the full prompt

    friend bool operator==(const AgentSession &, const AgentSession &) = default;
};

inline size_t qHash(const AgentSession &session, size_t seed = 0)
{
    return qHashMulti(seed, session.id, static_cast<int>(session.role), static_cast<int>(session.provider),
                      session.spawnedAt.secondsSinceReferenceDate(), session.processID,
                      session.openingPromptDigest);
}

} // namespace nerim
