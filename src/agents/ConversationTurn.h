#pragma once

#include "foundation/Json.h"
#include "foundation/Timestamp.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <optional>

namespace nerim {

// The agent's answer in a turn: the standard-output lines of the run joined
// with "\n". It is held as those lines, each sharing its text with the
// transcript line made from it, so the answer does not copy the output. Reads
// like the joined text (and converts to it); compares by that text.
class TurnResponse {
public:
    TurnResponse() = default;
    TurnResponse(const QString &text); // NOLINT: an answer is its text
    TurnResponse &operator=(const QString &text);

    // Adds one line: the line becomes the whole answer while the answer is
    // still empty, otherwise it follows a "\n".
    void appendLine(const QString &line);

    QString toString() const;
    operator QString() const { return toString(); } // NOLINT
    // The lines as held, to be joined with "\n".
    const QStringList &lines() const { return m_lines; }

    bool isEmpty() const { return m_size == 0; }
    qsizetype size() const { return m_size; }
    qsizetype count(QChar c) const;
    bool contains(const QString &text) const { return toString().contains(text); }
    QString trimmed() const { return toString().trimmed(); }

    friend bool operator==(const TurnResponse &a, const TurnResponse &b);
    friend bool operator==(const TurnResponse &a, const QString &b) { return a.m_size == b.size() && a.toString() == b; }

private:
    QStringList m_lines;
    qsizetype m_size = 0; // of the joined text
};

// One prompt in a pane together with the agent's answer to it. A turn is open
// ("in flight") until `endedAt` is set; closed turns are what the next prompt of
// the pane receives as its prior conversation.
struct ConversationTurn {
    QUuid id;
    QString userPrompt;
    TurnResponse agentResponse; // standard-output lines of the run joined with "\n"
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
