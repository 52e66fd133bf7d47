// Cutting a run of agent output into chunks: never inside a code block,
// never losing a line, and the same chunks whether the run arrived at once or
// grew line by line; behind markup still open, cuts that later text takes
// back, and reading a hostile run stays proportional to it.
#include "RunChunksTesting.h"

#include "ui/panes/MarkdownSegment.h"

#include <QStringList>
#include <algorithm>
#include <array>
#include <gtest/gtest.h>
#include <random>
#include <tuple>

using namespace Qt::StringLiterals;

namespace nerim {

namespace {

using namespace run_chunks_testing;

TEST(RunChunks, ProseIsCutBetweenTwoNonBlankLinesAndLosesNothing)
{
    EXPECT_EQ(cutRunChunks(u"one line"_s), (QList<RunChunk>{{0, 8, 0}}));
    EXPECT_EQ(cutRunChunks(QString()), (QList<RunChunk>{{0, 0, 0}}));

    const QString text = numbered(u"line "_s, 30).join(u'\n');
    const QList<RunChunk> chunks = cutRunChunks(text);
    const QStringList parts = texts(text, chunks);
    ASSERT_EQ(parts.size(), 3);
    EXPECT_EQ(parts[0], numbered(u"line "_s, 12).join(u'\n'));
    EXPECT_EQ(parts.join(u'\n'), text);
    for (qsizetype i = 0; i + 1 < chunks.size(); ++i)
        EXPECT_EQ(chunks[i].gapAfter, 0);

    // A blank line beside the place puts the cut off; after 36 lines it is made anyway.
    QStringList spaced;
    for (int i = 1; i <= 50; ++i)
        spaced.append(i % 2 ? u"text %1"_s.arg(i) : QString());
    const QString airy = spaced.join(u'\n');
    const QStringList airyParts = texts(airy, cutRunChunks(airy));
    EXPECT_EQ(airyParts.join(u'\n'), airy);
    EXPECT_EQ(airyParts[0].count(u'\n') + 1, 36);
}

TEST(RunChunks, CodeBlocksStayWholeAndKeepTheirGap)
{
    QStringList lines = numbered(u"intro "_s, 12);
    lines.append(u"```js"_s);
    lines.append(numbered(u"code "_s, 40));
    lines.append(u"```"_s);
    lines.append(numbered(u"outro "_s, 3));
    const QString text = lines.join(u'\n');
    const QList<RunChunk> chunks = cutRunChunks(text);
    const QStringList parts = texts(text, chunks);
    ASSERT_EQ(parts.size(), 3);
    // Before the fence (the block starts a segment: the usual gap), the whole
    // block, then the rest.
    EXPECT_EQ(parts[0], numbered(u"intro "_s, 12).join(u'\n'));
    EXPECT_EQ(chunks[0].gapAfter, RunChunks::segmentGap);
    EXPECT_TRUE(parts[1].startsWith(u"```js\ncode 1\n"_s));
    EXPECT_TRUE(parts[1].endsWith(u"code 40\n```"_s));
    EXPECT_EQ(chunks[1].gapAfter, RunChunks::segmentGap);
    EXPECT_EQ(parts[2], numbered(u"outro "_s, 3).join(u'\n'));

    // A block still open at the end is never cut.
    const QString open = (QStringList{u"```"_s} + numbered(u"x"_s, 80)).join(u'\n');
    EXPECT_EQ(cutRunChunks(open).size(), 1);
    // A line feed after a carriage return does not end a line.
    const QString crlf = numbered(u"a"_s, 13).join(u"\r\n"_s) + u"\nb\nc"_s;
    EXPECT_EQ(cutRunChunks(crlf).size(), 1);
}

TEST(RunChunks, AGrowingRunIsCutAsTheWholeWouldBe)
{
    QStringList lines;
    for (int i = 0; i < 400; ++i) {
        if (i % 57 == 20)
            lines.append(u"```py"_s);
        else if (i % 57 == 40)
            lines.append(u"```"_s);
        else
            lines.append(i % 7 == 3 ? QString() : u"words %1"_s.arg(i));
    }
    const QString whole = lines.join(u'\n');
    const QList<RunChunk> atOnce = cutRunChunks(whole);

    // Line by line: keep the closed chunks, cut again from the open one.
    QList<RunChunk> grown{{0, 0, 0}};
    QString text;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        text += (i ? u"\n"_s : QString()) + lines[i];
        const RunChunk open = grown.takeLast();
        grown.append(cutRunChunks(text, open.start));
    }
    EXPECT_EQ(grown, atOnce);
    EXPECT_GT(atOnce.size(), 10);
}

TEST(RunChunks, InlineMarkdownReadsTheSameAcrossTheCuts)
{
    // Spans that open before the twelfth line and close after it, each kind.
    const QList<QStringList> runs{
        numbered(u"line "_s, 11) + QStringList{u"some **bold"_s, u"still bold** after"_s} + numbered(u"x "_s, 30),
        numbered(u"line "_s, 11) + QStringList{u"a `code"_s, u"span` here"_s} + numbered(u"x "_s, 30),
        numbered(u"line "_s, 11) + QStringList{u"a [link"_s, u"text](https://example.com/a) ok"_s}
            + numbered(u"x "_s, 30),
        numbered(u"line "_s, 11) + QStringList{u"~~struck"_s} + numbered(u"y "_s, 8) + QStringList{u"end~~"_s}
            + numbered(u"x "_s, 30),
        // A marker that stays unpaired holds the cut off only to the blank line.
        numbered(u"line "_s, 11) + QStringList{u"src/*.ts is a glob"_s} + numbered(u"y "_s, 30) + QStringList{QString()}
            + numbered(u"z "_s, 30),
    };
    for (const QStringList &lines : runs) {
        const QString text = lines.join(u'\n');
        const QList<RunChunk> chunks = cutRunChunks(text);
        EXPECT_GT(chunks.size(), 1) << text.toStdString();
        const InlineMarkdown whole = inlineMarkdownText(text);
        const InlineMarkdown parts = readInChunks(text, chunks);
        EXPECT_EQ(parts.text, whole.text) << text.toStdString();
        EXPECT_EQ(parts.spans, whole.spans) << text.toStdString();
    }
    // Behind the glob, up to its paragraph's end, a chunk is cut only once it
    // is as long as chunks get.
    const QString globbed = runs.last().join(u'\n');
    const QList<RunChunk> chunks = cutRunChunks(globbed);
    EXPECT_GE(chunks.size(), 3);
    EXPECT_EQ(globbed.mid(chunks[0].start, chunks[0].end - chunks[0].start).count(u'\n') + 1,
              RunChunks::maximumChunkLines);
}

TEST(RunChunks, TheChunkerReadsAGrowingRunAsTheWholeText)
{
    QStringList lines;
    for (int i = 0; i < 300; ++i) {
        if (i % 61 == 25)
            lines.append(u"```"_s);
        else if (i % 61 == 50)
            lines.append(u"```"_s);
        else if (i % 13 == 5)
            lines.append(u"a **bold"_s);
        else if (i % 13 == 7)
            lines.append(u"bold** b"_s);
        else
            lines.append(u"words %1"_s.arg(i));
    }
    const QString whole = lines.join(u'\n');
    const QList<RunChunk> grown = growLineByLine(lines);
    EXPECT_EQ(grown, cutRunChunks(whole));
    EXPECT_GT(grown.size(), 10);
}


// A long answer behind markup nothing has closed yet is cut all the same, and
// at every step of its growth the chunks, each read alone, read as the whole
// text does; when the markup is closed after all, the cuts behind it go.
TEST(RunChunks, MarkupStillOpenHoldsNoCutOffForGood)
{
    // Lines that carry markup of their own, closed on the line.
    QStringList body;
    for (int i = 0; i < 90; ++i) {
        switch (i % 4) {
        case 0: body.append(u"item %1 has a [link](https://example.com/%1) in it"_s.arg(i)); break;
        case 1: body.append(u"item %1 passes `npm test` and **all** checks"_s.arg(i)); break;
        case 2: body.append(u"item %1: \"quoted\" (noted) and done"_s.arg(i)); break;
        default: body.append(u"plain line %1"_s.arg(i)); break;
        }
    }
    const struct {
        const char *what;
        QStringList lines;
        bool merged; // whether the opener and the closer end up in one chunk
    } runs[] = {
        {"a bracket never closed", QStringList{u"Results [partial:"_s} + body, false},
        {"a bracket that becomes a link", QStringList{u"See [the list"_s} + body + QStringList{u"](https://example.com/all) end"_s}
             + numbered(u"after "_s, 40), true},
        {"a bracket closed without a link", QStringList{u"Array ["_s} + body + QStringList{u"] done"_s}
             + numbered(u"after "_s, 40), true},
        {"strong emphasis closed far below", QStringList{u"intro **bold starts"_s} + body + QStringList{u"bold ends** here"_s}
             + numbered(u"after "_s, 40), true},
        {"code closed far below", QStringList{u"a ``code span"_s} + body + QStringList{u"ends`` here"_s}
             + numbered(u"after "_s, 40), true},
        {"emphasis whose paragraph ends", QStringList{u"open _emphasis"_s} + body + QStringList{QString()} + body, false},
        {"strikethrough closed far below", QStringList{u"~~gone"_s} + body + QStringList{u"still~~ back"_s}
             + numbered(u"after "_s, 40), true},
    };
    for (const auto &run : runs) {
        SCOPED_TRACE(run.what);
        RunChunker chunker;
        QList<RunChunk> grown;
        QString text;
        bool rewound = false;
        for (qsizetype i = 0; i < run.lines.size(); ++i) {
            text += (i ? u"\n"_s : QString()) + run.lines[i];
            const QList<RunChunk> changed = chunker.update(text);
            rewound = rewound || (!grown.isEmpty() && changed.first().start < grown.last().start);
            while (!grown.isEmpty() && grown.last().start >= changed.first().start)
                grown.removeLast();
            grown.append(changed);
            const InlineMarkdown whole = inlineMarkdownText(text);
            const InlineMarkdown parts = readInChunks(text, grown);
            ASSERT_EQ(parts.text, whole.text) << "after line " << i;
            ASSERT_EQ(parts.spans, whole.spans) << "after line " << i;
        }
        EXPECT_EQ(grown, cutRunChunks(text));
        EXPECT_EQ(rewound, run.merged);
        // The opener's chunk reaches its closer, or the stretch behind it is cut.
        if (run.merged) {
            EXPECT_TRUE(texts(text, grown).first().contains(run.lines[run.lines.size() - 41]));
        } else {
            EXPECT_GE(grown.size(), 3);
            for (const QString &part : texts(text, grown))
                EXPECT_LE(part.count(u'\n') + 1, RunChunks::maximumChunkLines);
        }
    }
}

// Cuts taken back are made again as the whole run has them: lines decided
// again are decided with what was open in front of them then, and with what
// the newest line makes of the markup on the line before it.
TEST(RunChunks, CutsTakenBackAreMadeAgainAsTheWholeRunHasThem)
{
    const auto plain = [](int from, int count) { return numbered(u"word "_s, from + count).mid(from); };
    const struct {
        const char *what;
        QStringList lines;
    } runs[] = {
        // A "[" never closed has the first chunk cut as long as chunks get;
        // a blank line ends it 13 lines into the next, where "_" opens and
        // is closed after that chunk too was cut: the chunk taken back is
        // still not cut before the blank line, as markup in front was open
        // across those lines.
        {"open in front up to a blank line",
         QStringList{u"intro [open"_s} + plain(1, 48) + QStringList{QString(), u"then _open"_s} + plain(51, 43)
             + QStringList{u"now shut_ x"_s} + plain(95, 20)},
        // "**" opens inside a chunk cut behind it; a later line's "*" closes
        // it (the chunks merge), until the line after that closes a code
        // span the "*" turns out to be in: the cut stands after all.
        {"a closer that ends up in code",
         plain(0, 40) + QStringList{u"more **open"_s} + plain(41, 40) + QStringList{u"a ` shut* x"_s, u"b ` end"_s}
             + plain(83, 10)},
    };
    for (const auto &run : runs) {
        SCOPED_TRACE(run.what);
        const QString text = run.lines.join(u'\n');
        const QList<RunChunk> whole = cutRunChunks(text);
        qsizetype takenBack = 0;
        const QList<RunChunk> grown = growLineByLine(run.lines, &takenBack);
        EXPECT_EQ(grown, whole);
        EXPECT_GT(takenBack, 0);
        EXPECT_TRUE(readsAsWhole(text, grown));
        EXPECT_GE(whole.size(), 3);
    }
}

TEST(RunChunks, EmphasisOpenedBeforeACutAndClosedAfterItReadsAsWhole)
{
    // Each "**" opens, the "*" on the next line closes one of its two
    // markers; the other stays open to the end of the paragraph.
    QStringList lines;
    for (int i = 0; i < 400; ++i)
        lines.append(i % 2 ? u"two **three"_s : u"one*"_s);
    const QString text = lines.join(u'\n');
    const QList<RunChunk> atOnce = cutRunChunks(text);
    EXPECT_GT(atOnce.size(), 5);
    EXPECT_TRUE(readsAsWhole(text, atOnce)) << "cut whole";
    const QList<RunChunk> grown = growLineByLine(lines);
    EXPECT_GT(grown.size(), 5);
    EXPECT_TRUE(readsAsWhole(text, grown)) << "line by line";
    // Cut after a line that closes, as soon as a chunk is long enough.
    for (const QString &part : texts(text, grown))
        EXPECT_LE(part.count(u'\n') + 1, RunChunks::maximumChunkLines + 1);
}

// Runs that arrive in pieces of random size (whole lines, as a transcript
// hands them on) are cut, after every piece, as the text so far cut at once:
// hostile runs (a link target opened and never closed, line after line; link
// titles left open; nested brackets; many "[" closed one a line; emphasis
// runs; backtick strings; a long line without a break) and ordinary ones, and
// a mix of all their lines.
TEST(RunChunks, ARunGrownInRandomStepsIsCutAsTheWholeText)
{
    const auto repeated = [](const QStringList &pattern, int count) {
        QStringList lines;
        for (int i = 0; i < count; ++i)
            lines.append(pattern.at(i % pattern.size()));
        return lines;
    };
    const QStringList ordinary{u"Updated **src/app.ts** to use `fetch` and _retry_."_s,
                               u"See [the docs](https://example.com/a)."_s,
                               QString(),
                               u"```ts"_s,
                               u"const a = [1, 2](3); // *not* markup"_s,
                               u"```"_s,
                               u"- item with `code` and a [link](https://x.io"_s,
                               u"  \"title\") that is not one"_s};
    QStringList runs[] = {
        repeated({u"(a[[](a"_s}, 300),
        repeated({u"[x](a \"t"_s, u"](b (t"_s, u"see [y](c 'u"_s, u"done)\"'"_s}, 200),
        repeated({u"[[[a]](b"_s, u"[[c"_s, u"d]]]"_s, u"]("_s}, 250),
        // Many "[" opened, then closed one a line: more than a chunk may hold.
        repeated({u"[[[[[[[[[["_s}, 80) + repeated({u"]"_s}, 700),
        repeated({u"*_**__***___~~a"_s, u"a~~___***__**_*"_s, u"**_*"_s}, 200),
        repeated({u"`a``b```c````d"_s, u"``e`f"_s, u"x"_s}, 200),
        QStringList{repeated({u"(a[[](a"_s}, 400).join(QString())} + repeated(ordinary, 60),
        repeated(ordinary, 200),
        {},
    };
    std::mt19937 random(65);
    for (qsizetype i = 0; i + 1 < qsizetype(std::size(runs)); ++i) {
        for (int k = 0; k < 30; ++k)
            runs[std::size(runs) - 1].append(runs[i].at(std::uniform_int_distribution<qsizetype>(0, runs[i].size() - 1)(random)));
    }
    std::shuffle(runs[std::size(runs) - 1].begin(), runs[std::size(runs) - 1].end(), random);
    for (const QStringList &lines : runs) {
        SCOPED_TRACE(lines.first().left(40).toStdString());
        RunChunker chunker;
        QList<RunChunk> grown;
        QString text;
        for (qsizetype i = 0; i < lines.size();) {
            const qsizetype piece = std::uniform_int_distribution<qsizetype>(1, 24)(random);
            for (const qsizetype end = std::min(lines.size(), i + piece); i < end; ++i)
                text += (i ? u"\n"_s : QString()) + lines[i];
            const QList<RunChunk> changed = chunker.update(text);
            while (!grown.isEmpty() && grown.last().start >= changed.first().start)
                grown.removeLast();
            grown.append(changed);
            ASSERT_EQ(grown, cutRunChunks(text)) << "after line " << i - 1;
        }
        if (!text.contains(u"```"_s)) {
            EXPECT_TRUE(readsAsWhole(text, grown));
        }
    }
}

// Hostile runs of 32 KiB, line by line: the prose the chunker reads stays a
// small multiple of the text whatever is held open, and what it draws still
// reads as the whole.
TEST(RunChunks, ReadingAHostileRunLineByLineStaysProportionalToIt)
{
    const auto repeated = [](const QStringList &pattern, qsizetype size) {
        QStringList lines;
        qsizetype length = 0;
        for (qsizetype i = 0; length < size; ++i) {
            lines.append(pattern.at(i % pattern.size()));
            length += lines.last().size() + 1;
        }
        return lines;
    };
    constexpr qsizetype size = 32 * 1024;
    QStringList nested = repeated({u"*.js"_s}, size / 2);
    nested += repeated({u"x*"_s}, size / 2);
    QStringList ticks;
    for (int i = 0; i < 99; ++i)
        ticks.append(QString(1 + i % 9, u'`') + u" a "_s + QString(1 + (i * 7) % 11, u'`'));
    const QStringList backticks = repeated(ticks, size);
    // A backtick string left open, then lines whose code closes the span
    // before and opens the next one, so the whole run is held, cut only
    // behind the newest line.
    const QStringList chained =
        QStringList{u"open [ and ` here"_s} + repeated({u"word `code` x"_s, u"plain"_s, u"more"_s}, size);
    const struct {
        const char *what;
        QStringList lines;
    } runs[] = {
        {"globs", repeated({u"*.js"_s, u"*.ts"_s, u"_tmp"_s, u"**/dist"_s}, size)},
        {"openers closed in reverse", nested},
        {"brackets and link tails", repeated({u"[a"_s, u"]("_s, u"[b"_s, u"[c"_s, u"](x"_s}, size)},
        {"brackets and link tails after a line", QStringList{u"x"_s} + repeated({u"[a"_s, u"]("_s, u"[b"_s, u"[c"_s, u"](x"_s}, size)},
        {"backtick strings", backticks},
        {"code spans chained over the run", chained},
        {"two strong, one closed", repeated({u"one*"_s, u"two **three"_s}, size)},
    };
    for (const auto &run : runs) {
        SCOPED_TRACE(run.what);
        RunChunker chunker;
        QList<RunChunk> grown;
        QString text;
        for (qsizetype i = 0; i < run.lines.size(); ++i) {
            text += (i ? u"\n"_s : QString()) + run.lines[i];
            const QList<RunChunk> changed = chunker.update(text);
            while (!grown.isEmpty() && grown.last().start >= changed.first().start)
                grown.removeLast();
            grown.append(changed);
        }
        // A line is read with the chunk it joins only now and then, and
        // looked at again to cut it only as often.
        EXPECT_LE(chunker.charactersRead(), 16 * text.size());
        EXPECT_LE(chunker.charactersLookedAt(), 16 * text.size());
        EXPECT_TRUE(readsAsWhole(text, grown)) << "line by line";
        // Cut whole, the run is taken in the same steps: read no more, and
        // cut the same.
        RunChunker whole;
        EXPECT_EQ(whole.update(text), grown) << "cut whole";
        EXPECT_EQ(whole.charactersRead(), chunker.charactersRead());
    }
}

} // namespace
} // namespace nerim
