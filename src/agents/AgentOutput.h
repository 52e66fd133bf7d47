#pragma once

#include <QString>

namespace nerim {

// Rising levels of a hang escalation, carried by a hang-signal event.
enum class HangThreshold { log, notify, forcedDecision };

// One event on an agent session's output stream. The provider yields only
// `stdoutLine`, `stderrLine`, `statusLine` and, last, exactly one
// `processExited`; consumers also handle `completion` and `hangSignal`.
class AgentOutput {
public:
    enum class Kind { stdoutLine, stderrLine, processExited, completion, hangSignal, statusLine };

    static AgentOutput stdoutLine(QString line) { return AgentOutput(Kind::stdoutLine, std::move(line)); }
    static AgentOutput stderrLine(QString line) { return AgentOutput(Kind::stderrLine, std::move(line)); }
    // What the agent program says of its own state while the agent waits (it
    // is retrying a request): shown as a quiet line, never read for a marker,
    // never part of the agent's answer.
    static AgentOutput statusLine(QString line) { return AgentOutput(Kind::statusLine, std::move(line)); }
    static AgentOutput processExited(qint32 exitCode)
    {
        AgentOutput event(Kind::processExited, QString());
        event.m_exitCode = exitCode;
        return event;
    }
    // A piece of a shown line too long to show in one: it is shown as it is,
    // and never read for a marker (a piece could say what the whole line
    // does not, e.g. a marker from the end of a long line with its own).
    static AgentOutput pieceOfLine(QString piece, bool standardError)
    {
        AgentOutput event(standardError ? Kind::stderrLine : Kind::stdoutLine, std::move(piece));
        event.m_piece = true;
        return event;
    }
    static AgentOutput completion(QString summary) { return AgentOutput(Kind::completion, std::move(summary)); }
    static AgentOutput hangSignal(HangThreshold threshold)
    {
        AgentOutput event(Kind::hangSignal, QString());
        event.m_threshold = threshold;
        return event;
    }

    Kind kind() const { return m_kind; }
    // The line (stdoutLine, stderrLine, statusLine) or the summary (completion).
    const QString &text() const { return m_text; }
    qint32 exitCode() const { return m_exitCode; }          // processExited
    HangThreshold threshold() const { return m_threshold; } // hangSignal
    bool isPieceOfLine() const { return m_piece; }          // stdoutLine, stderrLine

    friend bool operator==(const AgentOutput &, const AgentOutput &) = default;

private:
    AgentOutput(Kind kind, QString text) : m_kind(kind), m_text(std::move(text)) {}

    Kind m_kind;
    QString m_text;
    qint32 m_exitCode = 0;
    HangThreshold m_threshold = HangThreshold::log;
    bool m_piece = false;
};

} // namespace nerim

// A kind and a shared string: moved in memory as it is, without copying.
Q_DECLARE_TYPEINFO(nerim::AgentOutput, Q_RELOCATABLE_TYPE);
