// Generated runs swept: runs strewn with markup, with openers near the cuts
// of long chunks closed far below or never, and runs of every kind of line,
// grown line by line or in parts, are cut at every length as the same text
// cut whole, and their chunks read as the whole run.
#include "RunChunksTesting.h"

#include "ui/panes/MarkdownSegment.h"

#include <QStringList>
#include <array>
#include <gtest/gtest.h>
#include <random>
#include <tuple>

using namespace Qt::StringLiterals;

namespace nerim {

namespace {

using namespace run_chunks_testing;

// Lines of agent prose with inline markup strewn in at the given density:
// emphasis and strong markers on either side of words, backtick strings of
// several lengths, brackets, link tails, and now and then a blank line.
QStringList generatedRun(unsigned seed, int lineCount, double density, double blankLines = 0.04)
{
    static const QStringList markup{u"*"_s,  u"**"_s, u"_"_s,  u"__"_s, u"`"_s,  u"``"_s,
                                    u"```"_s, u"["_s,  u"]("_s, u"](https://x.io/a)"_s,
                                    u"]"_s,  u"~~"_s, u"***"_s, u"("_s,  u")"_s,  u"\""_s, u"!["_s, u"\\"_s};
    static const QStringList words{u"one"_s, u"two"_s, u"three"_s, u"src/app.ts"_s, u"x"_s, u"run"_s};
    std::mt19937 random(seed);
    const auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; };
    const auto pick = [&](const QStringList &list) {
        return list.at(std::uniform_int_distribution<qsizetype>(0, list.size() - 1)(random));
    };
    QStringList lines;
    for (int i = 0; i < lineCount; ++i) {
        if (chance(blankLines)) {
            lines.append(QString());
            continue;
        }
        QString line;
        const int tokens = std::uniform_int_distribution<int>(1, 5)(random);
        for (int t = 0; t < tokens; ++t) {
            if (t > 0 && chance(0.7))
                line += u' ';
            line += chance(density) ? pick(markup) : pick(words);
        }
        // A line of backticks alone would open a code block, which is not
        // inline Markdown: keep to prose.
        if (MarkdownSegment::openFencePattern().match(line).hasMatch())
            line += u" x"_s;
        lines.append(line);
    }
    return lines;
}

TEST(RunChunks, CutRunsReadAsTheWholeRunAtEveryLength)
{
    qsizetype cuts = 0;
    for (unsigned seed = 1; seed <= 32; ++seed) {
        const double density = 0.03 + 0.45 * (seed % 8) / 7.0;
        const QStringList lines = generatedRun(seed, 120, density);
        const std::string where = "seed " + std::to_string(seed);
        RunChunker chunker;
        QList<RunChunk> grown;
        QString text;
        for (qsizetype i = 0; i < lines.size(); ++i) {
            text += (i ? u"\n"_s : QString()) + lines[i];
            const QList<RunChunk> changed = chunker.update(text);
            while (!grown.isEmpty() && grown.last().start >= changed.first().start)
                grown.removeLast();
            grown.append(changed);
            ASSERT_TRUE(readsAsWhole(text, grown)) << where << ", line by line, after line " << i;
        }
        const QList<RunChunk> atOnce = cutRunChunks(text);
        ASSERT_TRUE(readsAsWhole(text, atOnce)) << where << ", cut whole";
        cuts += atOnce.size() - 1;
    }
    // The runs were cut: the comparison was about something.
    EXPECT_GT(cuts, 32 * 2);

    // Long paragraphs dense with markup: cuts behind open markup are taken
    // back again and again, and stretches too long to cut are let grow.
    for (const unsigned seed : {103u, 105u}) {
        const QStringList lines = generatedRun(seed, 2500, 0.32, 0);
        RunChunker chunker;
        QList<RunChunk> grown;
        QString text;
        for (qsizetype i = 0; i < lines.size(); ++i) {
            text += (i ? u"\n"_s : QString()) + lines[i];
            const QList<RunChunk> changed = chunker.update(text);
            while (!grown.isEmpty() && grown.last().start >= changed.first().start)
                grown.removeLast();
            grown.append(changed);
            if (i % 50 == 49 || i + 1 == lines.size()) {
                ASSERT_TRUE(readsAsWhole(text, grown)) << "long run, seed " << seed << ", after line " << i;
            }
        }
    }
}

// How a generated run is strewn with markup: the share of lines that carry
// markup closed on the line (and which), of lines with a stray marker, of
// blank lines; how long the run is, how many openers it has near the forced
// cut and how far below they may be closed.
struct RunShape {
    double pairedLines = 0.1;
    // Only the first kinds are used unless the shape asks for variety.
    bool variedPairs = false;
    double strays = 0.03;
    double blankLines = 0;
    int shortest = 40;
    int longest = 130;
    int mostOpeners = 3;
    int closedWithin = 60;
};

// Markup that opens and what closes it, of each kind (the first twelve are
// the plain ones).
const QList<std::pair<QString, QString>> &openerPairs()
{
    static const QList<std::pair<QString, QString>> pairs{
        {u"*"_s, u"*"_s},    {u"**"_s, u"**"_s}, {u"_"_s, u"_"_s},   {u"__"_s, u"__"_s},    {u"`"_s, u"`"_s},
        {u"``"_s, u"``"_s},  {u"~~"_s, u"~~"_s}, {u"["_s, u"]"_s},   {u"["_s, u"](https://x.io/a)"_s},
        {u"[a]("_s, u")"_s}, {u"***"_s, u"*"_s}, {u"**"_s, u"*"_s}, {u"!["_s, u"](y)"_s}, {u"["_s, u"]("_s},
    };
    return pairs;
}

// Opens `pair` on line `at` and, in all but one of `ways` equally likely
// ways, closes it up to `closedWithin` lines below, in one of those after a
// blank line up to `blankWithin` lines below it.
void openAndClose(QStringList &lines, std::mt19937 &random, const std::pair<QString, QString> &pair, int at,
                  int closedWithin, int blankWithin, int ways = 6)
{
    const auto uniform = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    const qsizetype last = lines.size() - 1;
    lines[at] += u" "_s + pair.first + u"open"_s;
    const int closing = uniform(0, ways - 1);
    if (closing == 0)
        return;
    const qsizetype where = std::min<qsizetype>(last, at + uniform(1, closedWithin));
    if (closing == 1)
        lines[std::min<qsizetype>(last, at + uniform(1, blankWithin))] = QString();
    lines[where] += u" shut"_s + pair.second + u" x"_s;
}

// A run of prose whose markup opens near where a long chunk is cut behind
// open markup (the `maximumChunkLines`th line of a chunk), and is closed
// some lines later, after a blank line, or never; other lines carry markup
// closed on the line or strewn at random.
QStringList runWithMarkupOpenNearTheForcedCut(std::mt19937 &random, const RunShape &shape = {})
{
    static const QStringList strewn{u"*"_s, u"_"_s, u"`"_s, u"["_s, u"]"_s, u"**"_s, u"~~"_s, u"("_s, u")"_s,
                                    // Runs that may open and close, and more.
                                    u"a*b"_s, u"x_y"_s, u"*."_s, u"``"_s, u"]("_s, u"\\"_s};
    static const QStringList paired{u" with **bold** and `code`"_s, u" a [link](https://x.io) b"_s,
                                    u" `x` and ``y``"_s, u" *em* _u_ ~~gone~~"_s};
    const auto uniform = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    const auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; };
    const int length = uniform(shape.shortest, shape.longest);
    QStringList lines;
    for (int i = 0; i < length; ++i) {
        if (shape.blankLines > 0 && chance(shape.blankLines)) {
            lines.append(QString());
            continue;
        }
        QString line = u"word %1 and more"_s.arg(i);
        if (chance(shape.pairedLines))
            line += shape.variedPairs ? paired.at(uniform(0, int(paired.size()) - 1)) : paired.first();
        if (chance(shape.strays))
            line += u" "_s + strewn.at(uniform(0, shape.variedPairs ? int(strewn.size()) - 1 : 8));
        lines.append(line);
    }
    // One or more openers around the forced cut (counted from the start,
    // or from a chunk cut about twelve lines in), each closed later or not.
    const int openers = uniform(1, shape.mostOpeners);
    for (int k = 0; k < openers; ++k) {
        const auto &pair = openerPairs().at(uniform(0, 11));
        const int base = chance(0.5) ? RunChunks::maximumChunkLines : RunChunks::maximumChunkLines + 12;
        openAndClose(lines, random, pair, std::clamp(base + uniform(-4, 3), 0, length - 1), shape.closedWithin, 20, 5);
    }
    return lines;
}

// The chunks a run grown line by line ends with, compared with those of the
// whole run cut at once (and whether they read as the whole); counts into
// `takenBack` the updates that took cuts back.
::testing::AssertionResult endsCutAsWhole(const QStringList &lines, qsizetype &takenBack)
{
    const auto cuts = [](const QList<RunChunk> &chunks) {
        std::string listed;
        for (const RunChunk &chunk : chunks)
            listed += ' ' + std::to_string(chunk.end) + '/' + std::to_string(chunk.gapAfter);
        return listed;
    };
    const QString text = lines.join(u'\n');
    const QList<RunChunk> grown = growLineByLine(lines, &takenBack);
    const QList<RunChunk> whole = cutRunChunks(text);
    if (grown != whole)
        return ::testing::AssertionFailure() << "cuts after (end/gap):" << cuts(grown) << " line by line,"
                                             << cuts(whole) << " whole\ntext: \"" << text.toStdString() << "\"";
    return readsAsWhole(text, grown);
}

// The chunks a run cut line by line ends with are those of the whole run cut
// at once, whatever markup stays open across the long chunks' cuts and
// whenever later lines close it.
TEST(RunChunks, AGrowingRunEndsCutAsTheWholeRunOverRandomOpenMarkup)
{
    qsizetype takenBack = 0;
    // (Each seed once found runs that ended cut otherwise line by line.)
    for (const unsigned seed : {1u, 4711u, 6u}) {
        std::mt19937 random(seed);
        for (int run = 0; run < 800; ++run)
            ASSERT_TRUE(endsCutAsWhole(runWithMarkupOpenNearTheForcedCut(random), takenBack))
                << "seed " << seed << ", run " << run;
    }
    // Cuts behind open markup were taken back: the runs tried what they are about.
    EXPECT_GT(takenBack, 100);
}

// The same over the runs that a sweep of many more once found cut otherwise:
// among them code spans chained from a backtick string left open over a
// hundred lines (each line's code closes the span before and opens the
// next), a "]" at the end of the text whose link may go on, and a bracket
// held across a cut until a code span took its "]" in; and a few runs of
// each shape, denser and sparser, with blank lines, longer, with more
// openers closed farther below.
TEST(RunChunks, AGrowingRunEndsCutAsTheWholeRunInShapesOnceCutOtherwise)
{
    qsizetype takenBack = 0;
    const std::pair<unsigned, int> found[]{{22, 3969}, {39, 2030}, {43, 243}, {20, 2707}, {15, 818},
                                           {19, 3011}, {26, 899},  {29, 579},  {44, 1539}, {44, 1794}};
    for (const auto &[seed, run] : found) {
        std::mt19937 random(seed);
        for (int skipped = 0; skipped < run; ++skipped)
            (void)runWithMarkupOpenNearTheForcedCut(random);
        EXPECT_TRUE(endsCutAsWhole(runWithMarkupOpenNearTheForcedCut(random), takenBack))
            << "seed " << seed << ", run " << run;
    }
    // One written out: "a*b" on the last line closes the "*." above it
    // inside the open chunk (read alone, it opens for "shut*"), so "shut*"
    // closes "***" across the cuts made behind it.
    const std::pair<int, QString> strewn[]{{14, u"*."_s},  {32, u"**"_s},  {35, u"***open"_s},
                                           {51, u"]"_s},   {52, u"``two``"_s}, {60, u"_"_s},
                                           {74, u"`"_s},   {77, u"]"_s},   {82, u"with **bold** and `code`"_s},
                                           {88, u"]"_s},   {89, u"*."_s},  {93, u"**"_s},
                                           {95, u"["_s},   {101, u"_"_s},  {103, u"*"_s},
                                           {109, u"a*b shut* x"_s}};
    // `count` lines of words, with markup added to some.
    const auto strewnOver = [](int count, const auto &strewn) {
        QStringList lines;
        for (int i = 0; i < count; ++i)
            lines.append(u"word %1 and more"_s.arg(i));
        for (const auto &[line, suffix] : strewn)
            lines[line] += u' ' + suffix;
        return lines;
    };
    EXPECT_TRUE(endsCutAsWhole(strewnOver(110, strewn), takenBack)) << "closing first where it could open";
    // And one where the last line's "_" closes "_open" above it inside the
    // open chunk, which takes the "***" between out of play, so the second
    // "shut*" closes "***open" across the cut.
    const std::pair<int, QString> strewnToo[]{{0, u"*em* _u_"_s},
                                            {3, u"*em* _u_"_s},
                                            {5, u"`x` and `y`"_s},
                                            {8, u"with **bold** and `code`"_s},
                                            {11, u"with **bold** and `code`"_s},
                                            {14, u"with **bold** and `code`"_s},
                                            {16, u"a [link](https://x.io) b"_s},
                                            {18, u"with **bold** and `code` a*b"_s},
                                            {19, u"*em* _u_"_s},
                                            {20, u"a [link](https://x.io) b"_s},
                                            {21, u"["_s},
                                            {22, u"`x` and `y`"_s},
                                            {25, u"`x` and `y` ~~"_s},
                                            {26, u"``"_s},
                                            {27, u"*em* _u_"_s},
                                            {29, u"*em* _u_"_s},
                                            {30, u"``two``"_s},
                                            {31, u"a [link](https://x.io) b"_s},
                                            {32, u"`x` and `y`"_s},
                                            {33, u"``two``"_s},
                                            {34, u"***open"_s},
                                            {37, u"[open"_s},
                                            {40, u"`x` and `y`"_s},
                                            {41, u"``two``"_s},
                                            {42, u"~~gone~~"_s},
                                            {45, u"shut](https://x.io/a) x"_s},
                                            {46, u"``two``"_s},
                                            {47, u"`x` and `y`"_s},
                                            {49, u"~~"_s},
                                            {50, u"``two``"_s},
                                            {51, u"~~gone~~"_s},
                                            {52, u"_open"_s},
                                            {53, u"with **bold** and `code`"_s},
                                            {55, u"`x` and `y` )"_s},
                                            {58, u"_"_s},
                                            {59, u"`x` and `y`"_s},
                                            {61, u"*."_s},
                                            {62, u"***open shut* x shut_ x shut* x"_s}};
    EXPECT_TRUE(endsCutAsWhole(strewnOver(63, strewnToo), takenBack)) << "markers taken out of play";

    for (unsigned seed = 0; seed < 240; ++seed) {
        RunShape shape;
        shape.pairedLines = std::array{0.0, 0.05, 0.1, 0.2, 0.35}[seed % 5];
        shape.variedPairs = true;
        shape.strays = std::array{0.01, 0.03, 0.08, 0.15}[(seed / 5) % 4];
        shape.blankLines = std::array{0.0, 0.01, 0.04}[(seed / 20) % 3];
        shape.shortest = (seed / 60) % 2 ? 30 : 40;
        shape.longest = (seed / 60) % 2 ? 260 : 130;
        shape.mostOpeners = (seed / 120) % 2 ? 5 : 3;
        shape.closedWithin = (seed / 120) % 2 ? 120 : 60;
        std::mt19937 random(seed);
        for (int run = 0; run < 2; ++run)
            ASSERT_TRUE(endsCutAsWhole(runWithMarkupOpenNearTheForcedCut(random, shape), takenBack))
                << "shaped seed " << seed << ", run " << run;
    }
    EXPECT_GT(takenBack, 20);
}

// Runs whose openers sit near the forced cuts of the first chunks (the 36th,
// 48th, 60th and 72nd lines), closed up to 120 lines below, after a blank
// line, or never; lines in between carry markup closed on the line or a
// stray marker, at shares that the seed picks.
QStringList runWithOpenersNearSeveralCuts(std::mt19937 &random, unsigned seed)
{
    static const QStringList strewn{u"*"_s,  u"_"_s,  u"`"_s, u"["_s,   u"]"_s,   u"**"_s,  u"~~"_s, u"("_s,
                                    u")"_s,  u"``"_s, u"]("_s, u"\\"_s, u"a*b"_s, u"x_y"_s, u"*."_s};
    static const QStringList paired{u" with **bold** and `code`"_s, u" a [link](https://x.io) b"_s,
                                    u" `x` and `y`"_s, u" *em* _u_"_s, u" ``two``"_s, u" ~~gone~~"_s};
    const auto uniform = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    const auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; };
    const double pairedLines = std::array{0.0, 0.05, 0.1, 0.2, 0.35}[seed % 5];
    const double strays = std::array{0.01, 0.03, 0.08, 0.15}[(seed / 5) % 4];
    const double blankLines = std::array{0.0, 0.01, 0.04}[(seed / 20) % 3];
    const int length = (seed / 60) % 2 ? uniform(40, 130) : uniform(30, 260);
    QStringList lines;
    for (int i = 0; i < length; ++i) {
        if (chance(blankLines)) {
            lines.append(QString());
            continue;
        }
        QString line = u"word %1 and more"_s.arg(i);
        if (chance(pairedLines))
            line += paired.at(uniform(0, int(paired.size()) - 1));
        if (chance(strays))
            line += u" "_s + strewn.at(uniform(0, int(strewn.size()) - 1));
        lines.append(line);
    }
    const int openers = uniform(1, 5);
    for (int k = 0; k < openers; ++k) {
        const auto &pair = openerPairs().at(uniform(0, int(openerPairs().size()) - 1));
        constexpr int cut = RunChunks::maximumChunkLines;
        const int at = std::clamp(std::array{cut, cut + 12, 2 * cut, cut + 24}[uniform(0, 3)] + uniform(-5, 4), 0,
                                  length - 1);
        openAndClose(lines, random, pair, at, 120, 20);
    }
    return lines;
}

// Runs of every kind of line: words with markup of each sort at a density
// picked per run, blank lines (some of spaces), code fences, lines hundreds
// of characters long, and openers near any multiple of half the forced cut,
// closed up to 250 lines below, after a blank line, or never.
QStringList runOfEveryKindOfLine(std::mt19937 &random)
{
    static const QStringList markup{u"*"_s,    u"**"_s,  u"_"_s,   u"__"_s,     u"`"_s,   u"``"_s, u"["_s,
                                    u"]"_s,    u"]("_s,  u"](https://x.io/a)"_s, u")"_s,   u"("_s,  u"~~"_s,
                                    u"***"_s,  u"!["_s,  u"\\"_s,  u"a*b"_s,    u"x_y"_s, u"*."_s, u"<"_s,
                                    u">"_s,    u"[a]("_s, u"**x**"_s, u"`c`"_s, u"[l](u)"_s, u"\""_s, u"~"_s,
                                    u"<https://a.b>"_s};
    static const QStringList words{u"one"_s, u"two"_s, u"three"_s, u"src/app.ts"_s, u"x"_s, u"run"_s, u"word"_s};
    const auto uniform = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    const auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; };
    const int length = uniform(20, 300);
    const double density = std::array{0.01, 0.03, 0.08, 0.2}[uniform(0, 3)];
    const double blankLines = std::array{0.0, 0.01, 0.04, 0.1}[uniform(0, 3)];
    const double fences = std::array{0.0, 0.0, 0.005, 0.02}[uniform(0, 3)];
    const double longLines = std::array{0.0, 0.01, 0.05}[uniform(0, 2)];
    QStringList lines;
    for (int i = 0; i < length; ++i) {
        if (chance(blankLines)) {
            lines.append(chance(0.2) ? u"  "_s : QString());
            continue;
        }
        if (chance(fences)) {
            lines.append(chance(0.5) ? u"```"_s : u"```js"_s);
            continue;
        }
        QString line = u"word %1"_s.arg(i);
        const int tokens = chance(longLines) ? uniform(30, 200) : uniform(1, 6);
        for (int t = 0; t < tokens; ++t) {
            if (chance(0.7))
                line += u' ';
            line += chance(density) ? markup.at(uniform(0, int(markup.size()) - 1))
                                    : words.at(uniform(0, int(words.size()) - 1));
        }
        if (line.contains(u"```"_s) && MarkdownSegment::openFencePattern().match(line).hasMatch())
            line += u" x"_s;
        lines.append(line);
    }
    const int openers = uniform(0, 6);
    for (int k = 0; k < openers; ++k) {
        const auto &pair = openerPairs().at(uniform(0, int(openerPairs().size()) - 1));
        const int at = std::clamp(uniform(0, 5) * RunChunks::maximumChunkLines / 2 + uniform(-5, 5), 0, length - 1);
        openAndClose(lines, random, pair, at, 250, 40);
    }
    return lines;
}

// A run grown line by line, compared with the text so far cut whole at
// every length (or only after line `only` and at the end, when given), and
// grown by parts of 8 to 40 lines, compared after each part; where the run
// has no code block, the chunks read as the whole text too.
::testing::AssertionResult cutAsWholeOnTheWay(const QStringList &lines, std::mt19937 &random, qsizetype only = -1)
{
    const bool prose = !lines.join(u'\n').contains(u"```"_s);
    const auto grow = [&](bool inParts) -> ::testing::AssertionResult {
        RunChunker chunker;
        QList<RunChunk> grown;
        QString text;
        for (qsizetype i = 0; i < lines.size();) {
            const qsizetype part = inParts ? std::uniform_int_distribution<qsizetype>(8, 40)(random) : 1;
            for (const qsizetype end = std::min(lines.size(), i + part); i < end; ++i)
                text += (i ? u"\n"_s : QString()) + lines[i];
            const QList<RunChunk> changed = chunker.update(text);
            while (!grown.isEmpty() && grown.last().start >= changed.first().start)
                grown.removeLast();
            grown.append(changed);
            if (!inParts && only >= 0 && i - 1 != only && i < lines.size())
                continue;
            if (grown != cutRunChunks(text))
                return ::testing::AssertionFailure() << (inParts ? "in parts" : "line by line")
                                                     << ", cut otherwise after line " << i - 1 << "\ntext: \""
                                                     << text.toStdString() << "\"";
            if (prose && !inParts) {
                if (auto reads = readsAsWhole(text, grown); !reads)
                    return reads << "\nafter line " << i - 1;
            }
        }
        return ::testing::AssertionSuccess();
    };
    if (auto lineByLine = grow(false); !lineByLine)
        return lineByLine;
    return grow(true);
}

// At every length on the way, not only at the end, a run grown line by line
// (or several lines at a time, as output arrives) is cut as the same text cut
// whole. A sweep once found runs that, partway, had a cut the whole text did
// not, or lacked one it had (the credit for reading a long stretch on ran out
// while a "[" far above could still be closed, and lines let grow unread were
// not cut where the whole text was), and some that ended so.
TEST(RunChunks, AGrowingRunIsCutAsTheWholeRunAtEveryLength)
{
    std::mt19937 parts(47);
    // Seed, run, and the line after which it was first cut otherwise.
    for (const auto &[seed, run, line] : {std::tuple{139u, 291, 187}}) {
        std::mt19937 random(seed);
        for (int skipped = 0; skipped < run; ++skipped)
            (void)runWithOpenersNearSeveralCuts(random, seed);
        EXPECT_TRUE(cutAsWholeOnTheWay(runWithOpenersNearSeveralCuts(random, seed), parts, line))
            << "seed " << seed << ", run " << run;
    }
    for (const auto &[seed, run, line] :
         {std::tuple{23u, 133, 50}, {29u, 386, 76}, {69u, 125, 191}, {72u, 261, 185}, {92u, 198, 42}}) {
        std::mt19937 random(seed);
        for (int skipped = 0; skipped < run; ++skipped)
            (void)runOfEveryKindOfLine(random);
        EXPECT_TRUE(cutAsWholeOnTheWay(runOfEveryKindOfLine(random), parts, line)) << "seed " << seed << ", run " << run;
    }
    // And a few more at every length, seeded.
    std::mt19937 random(2026);
    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(cutAsWholeOnTheWay(runWithOpenersNearSeveralCuts(random, 61 + 7 * run), parts))
            << "openers near several cuts, run " << run;
        ASSERT_TRUE(cutAsWholeOnTheWay(runOfEveryKindOfLine(random).mid(0, 100), parts))
            << "every kind of line, run " << run;
    }
}

} // namespace
} // namespace nerim
