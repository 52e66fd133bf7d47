#pragma once

#include "ui/panes/InlineMarkdown.h"
#include "ui/panes/RunText.h"

#include <QList>
#include <QString>
#include <QStringView>
#include <algorithm>
#include <array>
#include <utility>

namespace nerim {

// A run of agent output is drawn in chunks of a few lines each, so that a
// growing answer only redraws its last chunk and a long one only builds the
// chunks in view. A chunk is cut only where the cut cannot show: outside code
// blocks, and either between two lines of prose that are not blank (the chunks
// then touch, as the lines would) or where a code block begins or ends (with
// the usual gap between a run's segments). The chunks, each read alone, read
// exactly as the whole run does: prose is never cut where inline Markdown
// (emphasis, code, a link) that has been closed is open across the line break.
// Markup still open at the end of the text (a "[" that nothing closed yet)
// reads as plain text, so a long stretch behind it is cut too, but only every
// `maximumChunkLines` lines; should later text close it after all, those cuts
// are taken back.
struct RunChunk {
    // [start, end) of the run's text, without the line break after it.
    qsizetype start = 0;
    qsizetype end = 0;
    // The space between this chunk and the next: 0 inside prose, the segment
    // gap where a code block begins or ends.
    int gapAfter = 0;

    friend bool operator==(const RunChunk &, const RunChunk &) = default;
};

namespace RunChunks {
// A chunk is cut at the first place it may be, once it has this many lines.
inline constexpr int chunkLines = 12;
// Past this many lines, a chunk of prose is cut at the next line break even
// next to a blank line, or behind markup still open.
inline constexpr int maximumChunkLines = 36;
// The gap between a run's prose and its code blocks.
inline constexpr int segmentGap = 6;
// Prose that cannot be cut for longer than this (lines or characters) is
// read on as it grows only while what that takes (reading, and looking at
// lines again to cut them) stays within `stretchReadCredit` characters for
// each character of the run; past it, it is read again only once it has
// grown by half, so that the work per line stays bounded whatever the text
// holds. Reading on reads only what was added and what it may make read
// otherwise, so a run grown line by line is cut as the whole text is.
inline constexpr int longStretchLines = 2 * maximumChunkLines;
inline constexpr qsizetype longStretchCharacters = 8192;
inline constexpr qsizetype stretchReadCredit = 6;
} // namespace RunChunks

// Cuts a growing run into chunks, reading each line a bounded number of
// times: `update` takes the run's text each time it grew (only ever appended
// to) and returns the chunks from the first one that changed on: the one that
// was open before (it grew), or an earlier one when the new text closed markup
// that cuts behind it had counted as open (those cuts are taken back). The
// last chunk is open.
//
// How far the chunker reads again depends on what it read before (a long
// stretch is read on only while its credit lasts), so it takes what is added
// a line at a time, however many lines come at once: a run is cut the same
// way whether it arrives whole, in parts or line by line, and at every length
// on the way.
class RunChunker {
public:
    // Cuts from `from` on: the start of a line outside any code block, as the
    // start of the text or of a chunk is.
    explicit RunChunker(qsizetype from = 0);

    QList<RunChunk> update(const RunText &text);
    QList<RunChunk> update(const QString &text) { return update(RunText(text)); }

    // How many characters of prose the chunker has parsed since it began (for
    // tests and benchmarks: it stays a small multiple of the text).
    qsizetype charactersRead() const { return m_charactersRead; }
    // How many characters of lines it has looked at to cut them (each line
    // again when cuts before it are taken back): as small a multiple.
    qsizetype charactersLookedAt() const { return m_charactersScanned; }

private:
    // Takes the text grown by one line (or by part of the last one).
    QList<RunChunk> updateTo(const RunText &text);
    // Nothing open in front of the open chunk any more: neither markup nor
    // the chunks cut behind it.
    void forgetBefore();
    // The paragraph ended at `at` (a blank line starts there): nothing in
    // front of it can be closed any more.
    void paragraphEnded(qsizetype at);
    // Markup in front of the open chunk that nothing has closed yet: what
    // later text may still close, across the cuts made behind it.
    class OpenBefore {
    public:
        bool isEmpty() const;
        void clear();
        // Forgets what starts at `from` or later.
        void dropFrom(qsizetype from);
        // Takes what `reading` (of the text from `offset` on) holds open at
        // its end and starts in [from, to).
        void add(const InlineMarkdownReading &reading, qsizetype offset, qsizetype from, qsizetype to);
        // The earliest place in front of the text that what the first
        // paragraph of `reading` looks for may be found; -1 when none.
        qsizetype reachedBy(const InlineMarkdownReading &reading) const;
        // The earliest place held.
        qsizetype earliest() const;
        // The earliest place held from `from` on that text read as `reading`
        // may make read otherwise than it did: a backtick string of a length
        // `reading` has (the code then holds what came between), or a "["
        // when `reading` has a "]" (a link takes what it holds); -1 when none.
        qsizetype reinterpretedFrom(const InlineMarkdownReading &reading, qsizetype from) const;
        // Whether a backtick string or a "[" is held from `from` on (else
        // nothing there can be read otherwise).
        bool holdsCodeOrBracketFrom(qsizetype from) const;
        static int group(char16_t marker, bool canClose, int count);
        friend bool operator==(const OpenBefore &a, const OpenBefore &b)
        {
            // A copy left unchanged is the same: asked after every line, this
            // must not walk what is held (it grows with the text).
            if (a.m_stamp == b.m_stamp)
                return true;
            const auto sameSize = [](const auto &x, const auto &y) { return x.size() == y.size(); };
            if (a.m_pendingTail != b.m_pendingTail || !sameSize(a.m_brackets, b.m_brackets)
                || !sameSize(a.m_codeRuns, b.m_codeRuns) || !std::ranges::equal(a.m_openers, b.m_openers, sameSize))
                return false;
            // Element by element: Qt's own list comparison hands memcmp a null
            // pointer when both lists are empty.
            const auto same = [](const auto &x, const auto &y) { return std::ranges::equal(x, y); };
            return same(a.m_brackets, b.m_brackets) && same(a.m_codeRuns, b.m_codeRuns)
                   && std::ranges::equal(a.m_openers, b.m_openers, same);
        }

    private:
        // How many places are held, and whether a link's tail is.
        qsizetype heldCount() const;
        // Marks a change: no copy taken before it has this stamp.
        void changed();
        // The same for every copy of what is held that nothing changed
        // since; 0 for what never held anything.
        quint64 m_stamp = 0;
        // Openers by marker, whether they close too, and their run's length
        // modulo 3 (which is what pairing asks of them), in text order.
        std::array<QList<qsizetype>, 18> m_openers;
        QList<qsizetype> m_brackets;
        QList<std::pair<qsizetype, int>> m_codeRuns;
        qsizetype m_pendingTail = -1;
    };

    // What inline Markdown holds open in the prose read, from `from` to `to`.
    struct Reading {
        qsizetype from = -1;
        qsizetype to = -1;
        // Stretches held by markup that was closed, merged and in order.
        QList<std::pair<qsizetype, qsizetype>> held;
        // Stretches held by markup open to the end of a paragraph that has
        // ended: nothing can close it any more, it reads as text.
        QList<std::pair<qsizetype, qsizetype>> ended;
        // Where markup starts that is open at the end of the text, in order.
        QList<qsizetype> openStarts;
        // Markup from before `from` was open when it was read, and stays open
        // up to `beforeEnds` (where its paragraph ends; -1: to the end).
        bool beforeOpen = false;
        qsizetype beforeEnds = -1;
        InlineMarkdownReading items;
        // Open markup up to here went into m_before.
        qsizetype keptUpTo = 0;
    };
    enum class Across { nothing, endedMarkup, openMarkup, heldMarkup, reachesBack };

    // Where the chunker stands: what `update` goes back to.
    struct Place {
        qsizetype chunkStart = 0;
        int count = 0;
        bool inCode = false;
        // The start of the last line read, not yet decided on.
        qsizetype lineStart = 0;
        // Where the prose the last line belongs to began.
        qsizetype proseStart = 0;
        bool lastWasProse = false;
    };
    // A chunk cut behind open markup: where it starts and how many lines it has.
    struct HeldChunk {
        qsizetype start = 0;
        int lines = 0;
    };

    // Cuts the lines from the last one read on; false when the text closed
    // markup in front of the open chunk (m_reachedBack says where).
    bool cutLines(const RunText &text, QList<RunChunk> &chunks);
    // What is open across `lineBreak` in the prose that ends at `proseEnd`.
    Across across(const RunText &text, qsizetype lineBreak, qsizetype proseEnd);
    // Reads the prose [from, to); false when it closes markup in front of
    // the open chunk.
    bool read(const RunText &text, qsizetype from, qsizetype to);
    // What a reading takes in afresh: the text from `at` on, how it reads
    // alone, and how far what was kept from before `at` holds (to + 1: to
    // the end).
    struct Fresh {
        QString text;
        InlineMarkdownReading items;
        qsizetype at = 0;
        qsizetype reach = 0;
    };
    // Reads [from, to) on from m_known, which read [from, m_known.to):
    // only the text added and what it reaches back to are read; false when
    // that cannot be told from what was kept (it is then read whole).
    struct KnownReading;
    bool readOn(const RunText &text, qsizetype from, qsizetype to, KnownReading &known, Fresh &fresh);
    qsizetype readStart() const;
    // Takes back the cuts behind open markup from the chunk that holds
    // `place` on; returns how many lines the chunks taken back held.
    int takeBack(qsizetype place, QList<RunChunk> &chunks);
    // Takes back the cuts from the chunk that holds `place` (where the text
    // added may make the text read otherwise, from m_before) on, to decide
    // the lines again only from the one that holds it; false when what is
    // known does not tell that the lines before it read as they did.
    bool resumeAt(const RunText &text, qsizetype place, QList<RunChunk> &chunks);
    // Lets a long stretch that cannot be cut grow without reading it again;
    // false when it is to be read.
    bool skipReading(const RunText &text, QList<RunChunk> &chunks);

    Place m_place;
    OpenBefore m_before;
    // The last stretch read with nothing open in front of it, kept so that
    // the next reading from the same place reads only what was added (and
    // what that closes: text added only closes what is open, and what is
    // open before the earliest of it reads as it did).
    struct KnownReading {
        qsizetype from = -1;
        qsizetype to = -1;
        qsizetype lineBreaks = 0;
        // As Reading has them.
        QList<std::pair<qsizetype, qsizetype>> held;
        QList<std::pair<qsizetype, qsizetype>> ended;
        QList<qsizetype> openStarts;
        // Positions from `from`, as the text [from, to) read alone has them.
        InlineMarkdownReading items;
        // What is open at `to`.
        OpenBefore open;
        // For a chunk read behind markup open in front of it: that markup,
        // which the text read was found not to close.
        OpenBefore before;
    };
    KnownReading m_known;
    // The open chunk as last read behind open markup, kept in the same way.
    KnownReading m_knownChunk;
    // What the last stretch read whole, and the lines let grow unread after
    // it, hold open at their end: only text that may close some of it can
    // keep the line breaks it adds from being cut.
    OpenBefore m_stretchOpen;
    // Characters a stretch may still be read for when lines added cannot
    // close what it holds open (what the readings take is counted), and how
    // much of the text earned them.
    qsizetype m_readCredit = 0;
    qsizetype m_creditedTo = 0;
    bool m_chargeReading = false;
    // Where each line seen begins, in order.
    QList<qsizetype> m_lineStarts;
    // The open chunk is decided again from a line inside it (resumeAt).
    bool m_resumed = false;
    // Characters of lines looked at again to decide where to cut.
    qsizetype m_charactersScanned = 0;
    // The chunks cut behind open markup since m_before was last empty.
    QList<HeldChunk> m_heldChunks;
    // Markup in front of the open chunk was open across its line breaks
    // before this place, where its paragraph ended (m_before let go of it
    // there): lines decided again, after cuts were taken back, are still
    // only cut there as a long chunk is, as they were when it was open.
    qsizetype m_frontOpenUntil = -1;
    // Nothing before this place can pair with anything after it.
    qsizetype m_barrier = 0;
    Reading m_reading;
    qsizetype m_reachedBack = -1;
    // The last stretch read whole: from where, to where, how many lines; and
    // how far lines added since were looked at.
    qsizetype m_readFrom = -1;
    qsizetype m_readTo = -1;
    qsizetype m_readLines = 0;
    qsizetype m_lookedAt = -1;
    qsizetype m_charactersRead = 0;
    // Markup open inside the open chunk, known while markup in front of it
    // is open (so that a closer added can be told to pair inside the chunk
    // without reading the chunk again). Openers listed are open for certain;
    // the rest says what may be open.
    struct InChunk {
        bool known = false;
        // Position and group (as OpenBefore keeps them), in text order.
        QList<std::pair<qsizetype, int>> openers;
        bool brackets = false;
        QList<int> codeLengths;
        bool pendingTail = false;
    };
    // Whether the text added, read alone, pairs only inside the open chunk or
    // with nothing (updating m_inChunk); false when the chunk is to be read.
    bool pairsInChunk(const InlineMarkdownReading &added, qsizetype offset);
    void takeInChunk(const InlineMarkdownReading &reading, qsizetype offset);
    InChunk m_inChunk;
    // The end of the text at the last update.
    qsizetype m_textEnd = -1;
    // Where the text given to `update` ended last (before the first: the
    // place cutting starts, less one).
    qsizetype m_updatedTo = -1;
    // The open chunk grew at its front (cuts were taken back): it is read
    // whole before more is cut.
    bool m_readChunkWhole = false;
    // Text that keeps closing markup far in front of the open chunk (each
    // line another "[" of many opened above) would have the lines from there
    // read and decided again for every line: once that has used up the
    // credit, the open chunk takes in everything from the earliest markup
    // open in front of it and grows uncut, its lines unread, until the text
    // reaches this length (half as long again), and is then read whole.
    qsizetype m_uncutUntil = -1;
    // Where the text ended when the open chunk last grew uncut.
    qsizetype m_uncutTo = -1;
    // Lets the open chunk grow uncut; false when it is to be read.
    bool growUncut(const RunText &text);
};

// Cuts `text` from `from` on (the start of a line outside any code block, as
// the start of the text or of a chunk is) into chunks. Lines end at a line
// feed that does not follow a carriage return, as the fence splitter reads
// them. The last chunk reaches the end of the text; it is the one that grows
// when more text is appended. It is a `RunChunker` taking the text a line at
// a time, so a run that grows is cut as this cuts it at every length.
QList<RunChunk> cutRunChunks(const QString &text, qsizetype from = 0);

} // namespace nerim
