#pragma once

#include "foundation/Json.h"
#include "foundation/Timestamp.h"

#include <QJsonObject>
#include <QString>
#include <QUuid>
#include <optional>

namespace nerim {

// One prompt in a pane together with the agent's answer to it. A turn is open
// ("in flight") until `endedAt` is set; closed turns are what the next prompt of
// the pane receives as its prior conversation.
struct ConversationTurn {
    QUuid id;
    QString userPrompt;
    QString agentResponse; // standard-output lines of the run joined with "\n"
    std::optional<QString> taskCompleteSummary;
    Timestamp startedAt;
    std::optional<Timestamp> endedAt;

    bool isInFlight() const { return !endedAt.has_value(); }

    // The trimmed summary when not empty, else the trimmed response when not
    // empty, else "(no response captured)".
    QString displayResponse() const;

    // Dates are written as numbers of seconds since 2001-01-01 (the coding of
    // panes.json); the two optional keys are left out when absent.
    QJsonObject toJson() const;
    static ConversationTurn fromJson(const JsonObjectReader &reader);

    friend bool operator==(const ConversationTurn &, const ConversationTurn &) = default;
};

} // namespace nerim
