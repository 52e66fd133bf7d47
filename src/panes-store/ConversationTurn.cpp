#include "panes-store/ConversationTurn.h"

#include <algorithm>

namespace nerim {

TurnResponse::TurnResponse(const QString &text) { appendLine(text); }

TurnResponse &TurnResponse::operator=(const QString &text)
{
    *this = TurnResponse(text);
    return *this;
}

TurnResponse TurnResponse::fromUtf8(QByteArray held)
{
    TurnResponse response;
    response.m_size = transcriptText::utf16Length(held);
    if (response.m_size > 0)
        response.m_pieces.append(Piece{OutputLines(), 0, 0, std::move(held)});
    return response;
}

bool TurnResponse::startsAfresh()
{
    if (m_size != 0)
        return false;
    m_pieces.clear();
    return true;
}

void TurnResponse::appendLine(const QString &line)
{
    // An empty line while the answer is empty leaves it empty.
    const bool first = startsAfresh();
    if (first && line.isEmpty())
        return;
    m_pieces.append(Piece{OutputLines(), 0, 0, transcriptText::encode(line)});
    m_size += (first ? 0 : 1) + line.size();
}

void TurnResponse::appendTranscriptLine(const OutputLines &transcript, qsizetype index)
{
    const bool first = startsAfresh();
    const qsizetype length = transcript.textLength(index);
    if (first && length == 0)
        return;
    m_size += (first ? 0 : 1) + length;
    if (!m_pieces.isEmpty()) {
        Piece &last = m_pieces.last();
        if (last.count > 0 && last.first + last.count == index && last.lines.sharesStorageWith(transcript)) {
            // Extends the range; the copy taken now holds the new line too.
            last.lines = transcript;
            ++last.count;
            return;
        }
    }
    m_pieces.append(Piece{transcript, index, 1, QByteArray()});
}

void TurnResponse::appendTranscriptLines(const OutputLines &transcript, qsizetype first, qsizetype count)
{
    for (qsizetype i = first; i < first + count; ++i)
        appendTranscriptLine(transcript, i);
}

void TurnResponse::appendHeldLine(QByteArray held)
{
    const bool first = startsAfresh();
    if (first && held.isEmpty())
        return;
    m_size += (first ? 0 : 1) + transcriptText::utf16Length(held);
    m_pieces.append(Piece{OutputLines(), 0, 0, std::move(held)});
}

QByteArray TurnResponse::heldText() const
{
    QByteArray joined;
    bool first = true;
    forEachPiece([&](QByteArrayView bytes) {
        if (!first)
            joined.append('\n');
        first = false;
        joined.append(bytes);
    });
    return joined;
}

QString TurnResponse::toString() const { return transcriptText::decode(heldText()); }

qsizetype TurnResponse::count(QChar c) const
{
    if (m_size == 0)
        return 0;
    qsizetype n = 0;
    qsizetype pieces = 0;
    forEachPiece([&](QByteArrayView bytes) {
        ++pieces;
        if (c.unicode() < 0x80)
            n += std::count(bytes.begin(), bytes.end(), char(c.unicode()));
        else
            n += transcriptText::decode(bytes).count(c);
    });
    if (c == QLatin1Char('\n'))
        n += pieces - 1;
    return n;
}

bool operator==(const TurnResponse &a, const TurnResponse &b)
{
    // A text has one held form (a "\n" always parts the pieces), so equal
    // bytes are equal texts.
    if (a.m_size != b.m_size)
        return false;
    const auto samePiece = [](const TurnResponse::Piece &x, const TurnResponse::Piece &y) {
        return x.count == y.count && x.first == y.first &&
               (x.count > 0 ? x.lines.sharesStorageWith(y.lines) : x.text == y.text);
    };
    if (std::equal(a.m_pieces.begin(), a.m_pieces.end(), b.m_pieces.begin(), b.m_pieces.end(), samePiece))
        return true;
    return a.heldText() == b.heldText();
}

QString ConversationTurn::displayResponse() const
{
    if (taskCompleteSummary) {
        const QString summary = taskCompleteSummary->trimmed();
        if (!summary.isEmpty())
            return summary;
    }
    const QString response = agentResponse.trimmed();
    if (!response.isEmpty())
        return response;
    return QStringLiteral("(no response captured)");
}

QJsonObject ConversationTurn::toJson() const
{
    QJsonObject object;
    object.insert(QStringLiteral("id"), json::uuid(id));
    object.insert(QStringLiteral("userPrompt"), userPrompt);
    object.insert(QStringLiteral("agentResponse"), agentResponse.toString());
    json::insertOptional(object, QStringLiteral("taskCompleteSummary"), taskCompleteSummary);
    object.insert(QStringLiteral("startedAt"), json::numberDate(startedAt));
    json::insertOptional(object, QStringLiteral("endedAt"), endedAt, &json::numberDate);
    return object;
}

ConversationTurn ConversationTurn::fromJson(const JsonObjectReader &reader)
{
    ConversationTurn turn;
    turn.id = reader.uuid(QStringLiteral("id"));
    turn.userPrompt = reader.string(QStringLiteral("userPrompt"));
    turn.agentResponse = reader.string(QStringLiteral("agentResponse"));
    turn.taskCompleteSummary = reader.optionalString(QStringLiteral("taskCompleteSummary"));
    turn.startedAt = reader.numberDate(QStringLiteral("startedAt"));
    turn.endedAt = reader.optionalNumberDate(QStringLiteral("endedAt"));
    return turn;
}

} // namespace nerim
