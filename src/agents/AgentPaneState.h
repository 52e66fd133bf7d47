#pragma once

#include "panes-store/AgentRole.h"
#include "agents/AgentSession.h"
#include "agents/AgentStatus.h"
#include "agents/AgentStreamConsumer.h"
#include "panes-store/ConversationTurn.h"
#include "panes-store/OutputLine.h"
#include "panes-store/OutputLines.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <memory>
#include <optional>

namespace nerim {

// The live state of one agent pane: who the agent is, what it is doing, what it
// has printed and the conversation as prompt-and-answer turns. Confined to the
// GUI thread. Every variable field has a change signal; setters emit it only
// when the value changes, while appending a transcript line and changing a turn
// always emit.
//
// Calling order for one prompt (the canvas): clear `currentStdout`, status
// `spawning`; `appendLine(userPrompt, …)`; take `completedTurns()` for the
// provider; `beginTurn`; spawn; per standard-output line `appendCurrentStdout`,
// a transcript line and `appendStdoutToTurn`; per standard-error line a `stderr`
// line; at exit the exit line, `closeTurn(summary)`, `markExited(code)`.
class AgentPaneState : public QObject {
    Q_OBJECT
public:
    AgentPaneState(QUuid id, QString agentId, QString agentName, int paneNumber, bool isSystemPane,
                   AgentRole role, QString responsibility, QObject *parent = nullptr);

    // Fixed identity.
    const QUuid &id() const { return m_id; }
    const QString &agentId() const { return m_agentId; }
    int paneNumber() const { return m_paneNumber; }
    bool isSystemPane() const { return m_isSystemPane; }

    const QString &agentName() const { return m_agentName; }
    void setAgentName(const QString &name);
    AgentRole role() const { return m_role; }
    void setRole(AgentRole role);
    const QString &responsibility() const { return m_responsibility; }
    void setResponsibility(const QString &responsibility);
    // `responsibility`, or "Ready for a task" when it is empty.
    QString displayResponsibility() const;

    AgentStatus status() const { return m_status; }
    void setStatus(AgentStatus status);

    // The transcript. Its copies are cheap and may be read on any thread.
    const OutputLines &outputLines() const { return m_outputLines; }
    void setOutputLines(OutputLines lines);
    // Appends a new line with a fresh id; the text is kept unchanged.
    void appendLine(OutputLine::Kind kind, const QString &text);

    const std::optional<AgentSession> &currentSession() const { return m_currentSession; }
    void setCurrentSession(const std::optional<AgentSession> &session);

    // The standard-output lines of the current run that its readers need,
    // unaltered and in order: the newest `currentStdoutKept` lines or more,
    // and, when it is older than those, the newest line holding
    // "TASK_COMPLETE:". (A run that prints without end would otherwise hold
    // every line a second time.) Searching it from the newest line backwards
    // for the marker, or taking its last few lines, gives what the whole run
    // would give.
    const QStringList &currentStdout() const { return m_currentStdout; }
    void setCurrentStdout(const QStringList &lines);
    void appendCurrentStdout(const QString &line);
    // How many standard-output lines the current run has printed.
    qint64 currentStdoutLineCount() const { return m_currentStdoutCount; }
    static constexpr qsizetype currentStdoutKept = 1000;

    const std::shared_ptr<AgentStreamConsumer> &streamConsumer() const { return m_streamConsumer; }
    void setStreamConsumer(std::shared_ptr<AgentStreamConsumer> consumer);

    const QList<ConversationTurn> &conversation() const { return m_conversation; }
    void setConversation(const QList<ConversationTurn> &turns);
    // The turns that have ended, in order.
    QList<ConversationTurn> completedTurns() const;

    // Opens a turn for a prompt, first closing (without a summary) one left open.
    void beginTurn(const QString &userPrompt);
    // Adds a standard-output line to the open turn's answer; dropped with a
    // warning when no turn is open. When the newest transcript line is a
    // standard-output line with this text, not yet in the turn, the answer
    // refers to it instead of holding the text again.
    void appendStdoutToTurn(const QString &line);
    // Closes the open turn with the summary; nothing when no turn is open.
    void closeTurn(const std::optional<QString> &summary);
    // `done` for exit code 0, `error` otherwise; clears the current session.
    void markExited(qint32 exitCode);

    // The summary for a finished run: the text after "TASK_COMPLETE:" on the
    // newest line of `currentStdout` that, trimmed, contains the marker, with
    // spaces and tabs trimmed; nothing when there is none or the code is not 0.
    std::optional<QString> taskCompleteSummary(qint32 exitCode) const;

    // Changes whenever something panes.json keeps of the pane changes (name,
    // role, responsibility, transcript, closed turns); never the same for two
    // panes of the process, so equal generations mean equal saved content.
    quint64 generation() const { return m_generation; }

signals:
    void agentNameChanged();
    void roleChanged();
    void responsibilityChanged();
    void statusChanged();
    void outputLinesChanged();
    void currentSessionChanged();
    void currentStdoutChanged();
    void streamConsumerChanged();
    void conversationChanged();

private:
    void bumpGeneration();
    void trimCurrentStdout();

    QUuid m_id;
    QString m_agentId;
    QString m_agentName;
    int m_paneNumber;
    bool m_isSystemPane;
    AgentRole m_role;
    QString m_responsibility;
    AgentStatus m_status = AgentStatus::idle;
    OutputLines m_outputLines;
    // The text of the newest transcript line when it is a standard-output line
    // that no turn holds yet (shared with the caller's string, not copied).
    std::optional<QString> m_newestStdoutLine;
    std::optional<AgentSession> m_currentSession;
    QStringList m_currentStdout;
    qint64 m_currentStdoutCount = 0;
    // Lines of `m_currentStdout` before this index have been searched for the
    // task-complete marker; the newest one holding it, or -1.
    qsizetype m_markerSearched = 0;
    qsizetype m_newestMarker = -1;
    quint64 m_generation = 0;
    std::shared_ptr<AgentStreamConsumer> m_streamConsumer;
    QList<ConversationTurn> m_conversation;
};

// The marker an agent prints on its closing line.
inline const QString taskCompleteMarker = QStringLiteral("TASK_COMPLETE:");

} // namespace nerim
