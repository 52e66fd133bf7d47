#pragma once

#include "panes-store/OutputLines.h"
#include "foundation/Json.h"
#include "foundation/Timestamp.h"

#include <QJsonObject>
#include <QString>
#include <QUuid>
#include <optional>

namespace nerim {

// The agent's answer in a turn: the standard-output lines of the run joined
// with "\n". A line that is also in the pane's transcript is held as a
// reference to it (runs of consecutive transcript lines as one range), so the
// answer does not copy the output; other lines (marker lines, an answer read
// from a file) are held as UTF-8. Reads like the joined text (and converts to
// it); compares by that text.
class TurnResponse {
public:
    TurnResponse() = default;
    TurnResponse(const QString &text); // NOLINT: an answer is its text
    TurnResponse &operator=(const QString &text);
    // An answer given as text held the way a transcript holds it (OutputLines::utf8).
    static TurnResponse fromUtf8(QByteArray held);

    // Adds one line: the line becomes the whole answer while the answer is
    // still empty, otherwise it follows a "\n".
    void appendLine(const QString &line);
    // The same for line `index` of `transcript`, held by reference.
    void appendTranscriptLine(const OutputLines &transcript, qsizetype index);

    // Lines [first, first + count) of `transcript`, as many appendTranscriptLine calls.
    void appendTranscriptLines(const OutputLines &transcript, qsizetype first, qsizetype count);
    // One line given as text held the way a transcript holds it, as appendLine.
    void appendHeldLine(QByteArray held);

    QString toString() const;
    operator QString() const { return toString(); } // NOLINT
    // The joined text as held (see forEachPiece).
    QByteArray heldText() const;

    bool isEmpty() const { return m_size == 0; }
    // Of the joined text, in UTF-16 code units.
    qsizetype size() const { return m_size; }
    qsizetype count(QChar c) const;
    bool contains(const QString &text) const { return toString().contains(text); }
    QString trimmed() const { return toString().trimmed(); }

    // Calls `line(bytes)` for each piece of the answer in order, as held
    // (UTF-8, a lone surrogate in its three-byte form, see OutputLines); the
    // answer is the pieces joined with "\n". A piece may hold line breaks.
    template <typename Line>
    void forEachPiece(Line line) const
    {
        for (const Piece &piece : m_pieces) {
            if (piece.count == 0) {
                line(QByteArrayView(piece.text));
                continue;
            }
            for (qsizetype i = piece.first; i < piece.first + piece.count; ++i)
                line(piece.lines.utf8(i));
        }
    }

    // How the answer is held, piece by piece in order: `lines(transcript,
    // first, count)` for a run of transcript lines it refers to, `text(held)`
    // for a piece it holds itself. The same calls of appendTranscriptLines
    // and appendHeldLine make the same answer again.
    template <typename Lines, typename Text>
    void forEachHeldPiece(Lines lines, Text text) const
    {
        for (const Piece &piece : m_pieces) {
            if (piece.count == 0)
                text(piece.text);
            else
                lines(piece.lines, piece.first, piece.count);
        }
    }

    friend bool operator==(const TurnResponse &a, const TurnResponse &b);
    friend bool operator==(const TurnResponse &a, const QString &b) { return a.m_size == b.size() && a.toString() == b; }

private:
    // Lines [first, first + count) of a transcript, or (count 0) one text.
    struct Piece {
        OutputLines lines;
        qsizetype first = 0;
        qsizetype count = 0;
        QByteArray text;
    };
    // Whether the answer is still empty; empties it when so.
    bool startsAfresh();

    QList<Piece> m_pieces;
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
