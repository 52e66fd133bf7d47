#include "panes-store/PanesFastReader.h"

#include "panes-store/PanesFileLayout.h"
#include "panes-store/PanesJsonScanner.h"
#include "foundation/Json.h"
#include "foundation/RegularFile.h"
#include "foundation/Text.h"
#include "foundation/UuidText.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <unistd.h>

namespace nerim {

namespace {

using NotPlain = PanesJsonScanner::NotPlain;
using ReadFailed = PanesJsonScanner::ReadFailed;

// The document's structure over the scanner: the root values, the panes, their
// transcript lines and turns, noting where each part lies for the first save.
class Reader : public PanesJsonScanner {
public:
    Reader(const char *begin, const char *end, PanesFileLayout *layout)
        : PanesJsonScanner(begin, end), m_layout(layout)
    {
    }

    Reader(int fd, PanesFileLayout *layout) : PanesJsonScanner(fd), m_layout(layout) {}

    PanesSnapshot document()
    {
        PanesSnapshot snapshot;
        bool version = false, next = false, focused = false, expanded = false, panes = false, document = false;
        object([&](std::string_view key) {
            if (key == "version") {
                once(version);
                snapshot.version = integer<int>();
            } else if (key == "nextAgentNumber") {
                once(next);
                snapshot.nextAgentNumber = integer<qint64>();
            } else if (key == "focusedPaneId") {
                once(focused);
                snapshot.focusedPaneId = optionalUuid();
            } else if (key == "expandedPaneId") {
                once(expanded);
                snapshot.expandedPaneId = optionalUuid();
            } else if (key == "documentId") {
                once(document);
                snapshot.documentId = lenientUuid();
            } else if (key == "panes") {
                once(panes);
                array([&] { snapshot.panes.append(pane()); });
            } else {
                skipValue(0);
            }
        }, {"panes"});
        if (!version || !next || !panes)
            throw NotPlain{};
        whitespace();
        if (m_p != m_end)
            throw NotPlain{};
        return snapshot;
    }


private:
    // One line object of any layout, appended to `lines`.
    void line(OutputLines &lines)
    {
        QUuid lineId;
        std::optional<OutputLine::Kind> lineKind;
        bool id = false, kind = false, text = false;
        QByteArray held;
        object([&](std::string_view key) {
            if (key == "id") {
                once(id);
                lineId = uuid();
            } else if (key == "kind") {
                once(kind);
                lineKind = outputLineKindFromRaw(string());
                if (!lineKind)
                    throw NotPlain{};
            } else if (key == "text") {
                once(text);
                held = heldString().toByteArray();
            } else {
                skipValue(0);
            }
        });
        if (!id || !kind || !text)
            throw NotPlain{};
        lines.appendUtf8(*lineKind, held, lineId);
    }

    // A line object exactly as this program writes it, appended to `lines`:
    // returns false, having read and appended nothing, for any other layout.
    bool canonicalLine(OutputLines &lines)
    {
        const char *start = m_p;
        QUuid id;
        bool upper = true;
        if (!take(R"({"id":")") || m_end - m_p < 36 || !parseUuidBytes(m_p, id, upper) || !upper) {
            m_p = start;
            return false;
        }
        m_p += 36;
        std::optional<OutputLine::Kind> kind;
        if (take(R"(","kind":")")) {
            for (const OutputLine::Kind candidate : {OutputLine::Kind::stdout, OutputLine::Kind::stderr,
                                                     OutputLine::Kind::system, OutputLine::Kind::userPrompt,
                                                     OutputLine::Kind::taskComplete}) {
                if (take(rawValueLatin1(candidate))) {
                    kind = candidate;
                    break;
                }
            }
        }
        if (!kind || !take(R"(","text":)")) {
            m_p = start;
            return false;
        }
        const bool wasCanonical = m_canonical;
        m_canonical = true;
        const QByteArrayView text = heldString();
        const bool textCanonical = m_canonical;
        m_canonical = wasCanonical;
        if (!textCanonical || !take("}")) {
            m_p = start;
            return false;
        }
        lines.appendUtf8(*kind, text, id);
        return true;
    }

    // The "outputLines" array. Notes where the longest run of lines from the
    // first, each as this program writes it and joined by bare commas, lies.
    void outputLines(OutputLines &lines, PanesFileLayout::Pane &layout)
    {
        expect('[');
        const qint64 begin = offset();
        qint64 canonicalEnd = begin;
        qsizetype canonicalCount = 0;
        bool prefix = true;
        if (peekIs(']')) {
            ++m_p;
            return;
        }
        if (offset() != begin)
            prefix = false; // white space before the first line
        for (;;) {
            fillValue();
            if (!(prefix && canonicalLine(lines))) {
                prefix = false;
                whitespace();
                line(lines);
            } else {
                ++canonicalCount;
                canonicalEnd = offset();
            }
            if (prefix && (m_p != m_end || refill()) && *m_p == ',') {
                ++m_p;
                continue;
            }
            prefix = false;
            if (!another(']'))
                break;
        }
        layout.storageId = lines.storageId();
        layout.lineCount = canonicalCount;
        layout.lines = {begin, canonicalEnd};
    }

    ConversationTurn turn()
    {
        ConversationTurn turn;
        bool id = false, prompt = false, response = false, summary = false, started = false, ended = false;
        // The keys in the order this program writes them (sorted).
        static constexpr std::string_view order[] = {"agentResponse", "endedAt",           "id",
                                                     "startedAt",     "taskCompleteSummary", "userPrompt"};
        size_t next = 0;
        object([&](std::string_view key) {
            while (next < std::size(order) && order[next] != key)
                ++next;
            if (next == std::size(order))
                m_canonical = false;
            if (key == "id") {
                once(id);
                turn.id = uuid();
            } else if (key == "userPrompt") {
                once(prompt);
                turn.userPrompt = string();
            } else if (key == "agentResponse") {
                once(response);
                turn.agentResponse = TurnResponse::fromUtf8(heldString().toByteArray());
            } else if (key == "taskCompleteSummary") {
                once(summary);
                if (!isNull())
                    turn.taskCompleteSummary = string();
            } else if (key == "startedAt") {
                once(started);
                turn.startedAt = Timestamp(number());
            } else if (key == "endedAt") {
                once(ended);
                if (!isNull())
                    turn.endedAt = Timestamp(number());
            } else {
                skipValue(0);
            }
        });
        if (!id || !prompt || !response || !started)
            throw NotPlain{};
        return turn;
    }

    void conversation(QList<ConversationTurn> &turns, PanesFileLayout::Pane &layout)
    {
        array([&] {
            const bool wasCanonical = m_canonical;
            m_canonical = true;
            const qint64 begin = offset();
            fillValue();
            turns.append(turn());
            if (m_canonical)
                layout.addTurn(turns.last().id, PanesFileLayout::turnKey(turns.last()), {begin, offset()});
            else // never copied, nor any other of its id
                layout.turns[turns.last().id].repeated = true;
            m_canonical = wasCanonical;
        });
    }

    PaneDiskSnapshot pane()
    {
        PaneDiskSnapshot pane;
        PanesFileLayout::Pane paneLayout;
        bool id = false, agentId = false, name = false, number = false, responsibility = false, lines = false,
             turns = false, system = false, role = false;
        object([&](std::string_view key) {
            if (key == "outputLines") {
                once(lines);
                outputLines(pane.outputLines, paneLayout);
            } else if (key == "conversation") {
                once(turns);
                conversation(pane.conversation, paneLayout);
            } else if (key == "id") {
                once(id);
                pane.id = uuid();
            } else if (key == "agentId") {
                once(agentId);
                pane.agentId = string();
            } else if (key == "agentName") {
                once(name);
                pane.agentName = string();
            } else if (key == "paneNumber") {
                once(number);
                pane.paneNumber = integer<int>();
            } else if (key == "responsibility") {
                once(responsibility);
                pane.responsibility = string();
            } else if (key == "isSystemPane") {
                // Lenient: anything but true reads as false.
                once(system);
                whitespace();
                if (m_end - m_p >= 4 && std::memcmp(m_p, "true", 4) == 0) {
                    m_p += 4;
                    pane.isSystemPane = true;
                } else {
                    skipValue(0);
                }
            } else if (key == "role") {
                // Lenient: anything but a known role's name reads as unspecified.
                once(role);
                whitespace();
                if (m_p != m_end && *m_p == '"')
                    pane.role = agentRoleFromRaw(string()).value_or(AgentRole::unspecified);
                else
                    skipValue(0);
            } else {
                skipValue(0);
            }
        }, {"outputLines", "conversation"});
        if (!id || !agentId || !name || !number || !responsibility || !lines || !turns)
            throw NotPlain{};
        if (m_layout) {
            const auto found = m_layout->panes.find(pane.id);
            if (found == m_layout->panes.end())
                m_layout->panes.insert(pane.id, std::move(paneLayout));
            else
                found->repeated = true;
        }
        return pane;
    }

    PanesFileLayout *const m_layout;
};

} // namespace

std::optional<PanesSnapshot> readPanesQuickly(const QByteArray &bytes, PanesFileLayout *layout)
{
    try {
        Reader reader(bytes.constData(), bytes.constData() + bytes.size(), layout);
        return reader.document();
    } catch (const NotPlain &) {
        if (layout)
            layout->panes.clear();
        return std::nullopt;
    }
}

std::optional<PanesSnapshot> readPanesQuickly(int fd, PanesFileLayout *layout)
{
    try {
        Reader reader(fd, layout);
        return reader.document();
    } catch (const NotPlain &) {
        if (layout)
            layout->panes.clear();
        return std::nullopt;
    } catch (const ReadFailed &failure) {
        throw RegularFile::ReadError(std::strerror(failure.error));
    }
}

PanesSnapshot PanesSnapshot::decode(const QByteArray &bytes)
{
    if (std::optional<PanesSnapshot> snapshot = readPanesQuickly(bytes))
        return std::move(*snapshot);
    return fromJson(JsonObjectReader::parse(bytes).raw());
}

} // namespace nerim
