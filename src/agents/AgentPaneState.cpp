#include "agents/AgentPaneState.h"

#include "foundation/Log.h"
#include "foundation/Text.h"
#include "foundation/UuidText.h"

#include <QtAlgorithms>
#include <atomic>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nerim {

namespace {
std::atomic<quint64> lastGeneration{0};
}

void AgentPaneState::bumpGeneration() { m_generation = lastGeneration.fetch_add(1, std::memory_order_relaxed) + 1; }

AgentPaneState::AgentPaneState(QUuid id, QString agentId, QString agentName, int paneNumber, bool isSystemPane,
                               AgentRole role, QString responsibility, QObject *parent)
    : QObject(parent), m_id(id), m_agentId(std::move(agentId)), m_agentName(std::move(agentName)),
      m_paneNumber(paneNumber), m_isSystemPane(isSystemPane), m_role(role),
      m_responsibility(std::move(responsibility))
{
    bumpGeneration();
}

void AgentPaneState::setAgentName(const QString &name)
{
    if (m_agentName == name)
        return;
    m_agentName = name;
    bumpGeneration();
    emit agentNameChanged();
}

void AgentPaneState::setRole(AgentRole role)
{
    if (m_role == role)
        return;
    m_role = role;
    bumpGeneration();
    emit roleChanged();
}

void AgentPaneState::setResponsibility(const QString &responsibility)
{
    if (m_responsibility == responsibility)
        return;
    m_responsibility = responsibility;
    bumpGeneration();
    emit responsibilityChanged();
}

QString AgentPaneState::displayResponsibility() const
{
    return m_responsibility.isEmpty() ? QStringLiteral("Ready for a task") : m_responsibility;
}

void AgentPaneState::setStatus(AgentStatus status)
{
    if (m_status == status)
        return;
    m_status = status;
    emit statusChanged();
}

void AgentPaneState::setOutputLines(OutputLines lines)
{
    m_outputLines = std::move(lines);
    m_newestStdoutLine.reset();
    bumpGeneration();
    emit outputLinesChanged();
}

void AgentPaneState::appendLine(OutputLine::Kind kind, const QString &text)
{
    m_outputLines.append(kind, text, newSequentialUuid());
    if (kind == OutputLine::Kind::stdout)
        m_newestStdoutLine = text;
    else
        m_newestStdoutLine.reset();
    bumpGeneration();
    emit outputLinesChanged();
}

void AgentPaneState::setCurrentSession(const std::optional<AgentSession> &session)
{
    if (m_currentSession == session)
        return;
    m_currentSession = session;
    emit currentSessionChanged();
}

namespace {

// Whether `line` holds the task-complete marker. The marker's colon is rare
// in ordinary output, so the line is scanned for colons, eight code units at
// a time where the processor has SSE2, and only what precedes one is
// compared.
bool holdsTaskCompleteMarker(QStringView line)
{
    static const QString stem = taskCompleteMarker.chopped(1);
    Q_ASSERT(taskCompleteMarker.endsWith(QLatin1Char(':')));
    const char16_t *const text = line.utf16();
    const qsizetype size = line.size();
    const auto followsStem = [&](qsizetype colon) {
        return QStringView(text + colon - stem.size(), stem.size()) == stem;
    };
    qsizetype i = stem.size(); // the first place a marker's colon can be
#if defined(__SSE2__)
    const __m128i colon = _mm_set1_epi16(':');
    for (; size - i >= 8; i += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + i));
        for (quint32 mask = quint32(_mm_movemask_epi8(_mm_cmpeq_epi16(units, colon))); mask != 0; mask &= mask - 1) {
            const int bit = qCountTrailingZeroBits(mask);
            mask &= ~(1u << bit); // each unit sets two bits
            if (followsStem(i + bit / 2))
                return true;
        }
    }
#endif
    for (; i < size; ++i) {
        if (text[i] == u':' && followsStem(i))
            return true;
    }
    return false;
}

} // namespace

void AgentPaneState::setCurrentStdout(const QStringList &lines)
{
    m_currentStdoutCount = lines.size();
    if (m_currentStdout == lines)
        return;
    m_currentStdout = lines;
    m_markerSearched = 0;
    m_newestMarker = -1;
    if (m_currentStdout.size() >= 2 * currentStdoutKept)
        trimCurrentStdout();
    emit currentStdoutChanged();
}

void AgentPaneState::appendCurrentStdout(const QString &line)
{
    m_currentStdout.append(line);
    ++m_currentStdoutCount;
    // Searched for the marker now, while its text is still in the cache,
    // unless older lines still wait for the search at the next trim.
    if (m_markerSearched == m_currentStdout.size() - 1) {
        if (holdsTaskCompleteMarker(line))
            m_newestMarker = m_markerSearched;
        ++m_markerSearched;
    }
    // Trimmed in batches, so each line is moved at most once.
    if (m_currentStdout.size() >= 2 * currentStdoutKept)
        trimCurrentStdout();
    emit currentStdoutChanged();
}

void AgentPaneState::trimCurrentStdout()
{
    const qsizetype firstKept = m_currentStdout.size() - currentStdoutKept;
    // A line holds the marker after trimming exactly when it holds it at all:
    // the marker has no white space in it. Only lines not searched yet (as
    // they came, or since the last trim) are searched; the newest marker
    // line before them is known.
    for (qsizetype i = m_currentStdout.size() - 1; i >= m_markerSearched; --i) {
        if (holdsTaskCompleteMarker(m_currentStdout.at(i))) {
            m_newestMarker = i;
            break;
        }
    }
    // Trimmed in place: dropping the front of a list only moves its start, and
    // the room freed there is used again as lines are appended.
    qsizetype dropped = firstKept;
    qsizetype newestMarker = -1;
    if (m_newestMarker >= 0 && m_newestMarker < firstKept) {
        // The older marker line stays, just before the newest lines.
        dropped = firstKept - 1;
        if (m_newestMarker != dropped) {
            const QString line = m_currentStdout.at(m_newestMarker);
            m_currentStdout[dropped] = line;
        }
        newestMarker = 0;
    } else if (m_newestMarker >= firstKept) {
        newestMarker = m_newestMarker - firstKept;
    }
    m_currentStdout.remove(0, dropped);
    m_newestMarker = newestMarker;
    m_markerSearched = m_currentStdout.size();
}

void AgentPaneState::setStreamConsumer(std::shared_ptr<AgentStreamConsumer> consumer)
{
    if (m_streamConsumer == consumer)
        return;
    m_streamConsumer = std::move(consumer);
    emit streamConsumerChanged();
}

void AgentPaneState::setConversation(const QList<ConversationTurn> &turns)
{
    if (m_conversation == turns)
        return;
    m_conversation = turns;
    bumpGeneration();
    emit conversationChanged();
}

QList<ConversationTurn> AgentPaneState::completedTurns() const
{
    QList<ConversationTurn> turns;
    for (const ConversationTurn &turn : m_conversation)
        if (!turn.isInFlight())
            turns.append(turn);
    return turns;
}

void AgentPaneState::beginTurn(const QString &userPrompt)
{
    const Timestamp now = Timestamp::now();
    if (!m_conversation.isEmpty() && m_conversation.last().isInFlight()) {
        logLine(QStringLiteral("[Nerim] Warning: previous turn on pane %1 was never closed. Closing defensively.")
                    .arg(m_agentName));
        m_conversation.last().endedAt = now;
    }
    ConversationTurn turn;
    turn.id = newUuid();
    turn.userPrompt = userPrompt;
    turn.startedAt = now;
    m_conversation.append(std::move(turn));
    bumpGeneration();
    emit conversationChanged();
}

void AgentPaneState::appendStdoutToTurn(const QString &line)
{
    if (m_conversation.isEmpty() || !m_conversation.last().isInFlight()) {
        logLine(QStringLiteral("[Nerim] Warning: stdout arrived for pane %1 with no in-flight turn. Dropped.")
                    .arg(m_paneNumber));
        return;
    }
    ConversationTurn &turn = m_conversation.last();
    if (m_newestStdoutLine && *m_newestStdoutLine == line)
        turn.agentResponse.appendTranscriptLine(m_outputLines, m_outputLines.size() - 1);
    else
        turn.agentResponse.appendLine(line);
    m_newestStdoutLine.reset();
    emit conversationChanged();
}

void AgentPaneState::closeTurn(const std::optional<QString> &summary)
{
    if (m_conversation.isEmpty() || !m_conversation.last().isInFlight())
        return;
    ConversationTurn &turn = m_conversation.last();
    turn.taskCompleteSummary = summary;
    turn.endedAt = Timestamp::now();
    bumpGeneration();
    emit conversationChanged();
}

void AgentPaneState::markExited(qint32 exitCode)
{
    setStatus(exitCode == 0 ? AgentStatus::done : AgentStatus::error);
    setCurrentSession(std::nullopt);
}

std::optional<QString> AgentPaneState::taskCompleteSummary(qint32 exitCode) const
{
    if (exitCode != 0)
        return std::nullopt;
    for (qsizetype i = m_currentStdout.size() - 1; i >= 0; --i) {
        const QString trimmed = m_currentStdout.at(i).trimmed();
        const qsizetype at = trimmed.indexOf(taskCompleteMarker);
        if (at < 0)
            continue;
        return text::trimSpacesAndTabs(trimmed.mid(at + taskCompleteMarker.size()));
    }
    return std::nullopt;
}

} // namespace nerim
