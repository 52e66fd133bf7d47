#include "platform/OutputLineSplitter.h"
#include "ui/panes/MarkdownSegment.h"
#include "ui/panes/TranscriptGrouping.h"

#include <QRandomGenerator>
#include <span>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace nerim {
namespace {

using Kind = OutputLine::Kind;
using Mode = AppState::OutputMode;

OutputLine line(Kind kind, const QString &text) { return OutputLine::make(kind, text); }

TEST(TranscriptFilter, HighlightsKeepErrorsPromptsReportsAndEventLines)
{
    const QList<OutputLine> lines{
        line(Kind::system, u"[Ready — type a task or hold the mic]"_s),
        line(Kind::userPrompt, u"make a page"_s),
        line(Kind::stdout, u"Sure, here it is."_s),
        line(Kind::stderr, u"warning: something"_s),
        line(Kind::system, u"Atlas exited · code 0"_s),
        line(Kind::system, u"Failed to start"_s),        // only a capital F: hidden
        line(Kind::system, u"Atlas respawned"_s),        // inside a longer word: shown
        line(Kind::system, u"Atlas is busy — wait"_s),
        line(Kind::system, u"sent a hang signal"_s),
        line(Kind::system, u"Role changed to Designer"_s),
        line(Kind::taskComplete, u"TASK_COMPLETE: done"_s),
        line(Kind::system, u"[Nerim was closed during the repair, so it didn't finish.]"_s),
    };
    const QList<OutputLine> highlights = visibleLines(lines, Mode::notification);
    QList<int> shown;
    for (const OutputLine &visible : highlights)
        shown << int(lines.indexOf(visible));
    EXPECT_EQ(shown, (QList<int>{1, 3, 4, 6, 7, 8, 10, 11}));

    EXPECT_EQ(visibleLines(lines, Mode::verbose), lines);
    EXPECT_EQ(visibleLines(lines, Mode::summary), lines);
    EXPECT_TRUE(visibleLines({}, Mode::notification).isEmpty());
}

TEST(TranscriptGrouping, ConsecutiveOutputLinesBecomeOneRun)
{
    const OutputLine a = line(Kind::stdout, u"a"_s);
    const OutputLine empty = line(Kind::stdout, u""_s);
    const OutputLine b = line(Kind::stdout, u"b"_s);
    const QList<RenderGroup> groups = renderGroups({a, empty, b});
    ASSERT_EQ(groups.size(), 1);
    EXPECT_EQ(groups[0], (RenderGroup{RenderGroup::StdoutRun{a.id, b.id, RunText(u"a\n\nb"_s)}}));
    EXPECT_EQ(groups[0].id(), a.id);

    EXPECT_TRUE(renderGroups({}).isEmpty());
}

TEST(TranscriptGrouping, OtherLinesStandAloneAndSplitRuns)
{
    const OutputLine out1 = line(Kind::stdout, u"```js"_s);
    const OutputLine err = line(Kind::stderr, u"oops"_s);
    const OutputLine out2 = line(Kind::stdout, u"```"_s);
    EXPECT_EQ(renderGroups({out1, err, out2}),
              (QList<RenderGroup>{{RenderGroup::StdoutRun{out1.id, out1.id, RunText(out1.text)}},
                                  {RenderGroup::Single{err}},
                                  {RenderGroup::StdoutRun{out2.id, out2.id, RunText(out2.text)}}}));

    const OutputLine sys1 = line(Kind::system, u"spawned"_s);
    const OutputLine out = line(Kind::stdout, u"hi"_s);
    const OutputLine sys2 = line(Kind::system, u"exited"_s);
    const QList<RenderGroup> groups = renderGroups({sys1, out, sys2});
    ASSERT_EQ(groups.size(), 3);
    EXPECT_EQ(groups[0].id(), sys1.id);
    EXPECT_EQ(groups[1], (RenderGroup{RenderGroup::StdoutRun{out.id, out.id, RunText(u"hi"_s)}}));
    EXPECT_EQ(groups[2].id(), sys2.id);

    // Highlights never show output, so there are no runs.
    for (const RenderGroup &group : renderGroups(visibleLines({sys1, out, out, sys2}, Mode::notification)))
        EXPECT_NE(group.asSingle(), nullptr);
}

TEST(TranscriptGrouping, ExtendingEqualsGroupingTheWholeTranscript)
{
    QRandomGenerator random(7);
    const Kind kinds[] = {Kind::stdout, Kind::stdout, Kind::stdout, Kind::stderr,
                          Kind::system, Kind::userPrompt, Kind::taskComplete};
    const QString texts[] = {u""_s, u"x"_s, u"```"_s, u"failed"_s, u"spawned"_s, u"y\nz"_s};
    for (int round = 0; round < 300; ++round) {
        QList<OutputLine> transcript;
        const int total = random.bounded(60);
        for (int i = 0; i < total; ++i)
            transcript << line(kinds[random.bounded(7)], texts[random.bounded(6)]);

        for (Mode mode : {Mode::notification, Mode::verbose, Mode::summary}) {
            QList<RenderGroup> groups;
            qsizetype appended = 0;
            while (appended < transcript.size()) {
                const qsizetype chunk = std::min<qsizetype>(1 + random.bounded(4), transcript.size() - appended);
                const QList<RenderGroup> before = groups;
                const qsizetype firstChanged = extendRenderGroups(
                    groups, std::span(transcript).subspan(size_t(appended), size_t(chunk)), mode);
                appended += chunk;

                // Only the last group of before may change; the rest stay as they were.
                ASSERT_GE(firstChanged, std::max<qsizetype>(0, before.size() - 1));
                ASSERT_LE(firstChanged, groups.size());
                for (qsizetype i = 0; i < firstChanged; ++i)
                    ASSERT_EQ(groups[i], before[i]);
                ASSERT_EQ(groups, renderGroups(visibleLines(transcript.first(appended), mode)))
                    << "round " << round << ", mode " << rawValue(mode).toStdString();
            }
        }
    }
}

TEST(TranscriptGrouping, ARunsTextIsItsLinesJoinedAndReadsAsTheJoinedText)
{
    // Lines as agents print them: empty ones, some holding line breaks of
    // their own, fences, a carriage return.
    const QStringList texts{u"Here is the plan:"_s, u""_s,      u"```js"_s,        u"const a = 1;\nconst b = 2;"_s,
                            u"```"_s,               u"done\r"_s, u"two\n\nbreaks"_s, u""_s,
                            u"last line"_s};
    QList<RenderGroup> groups;
    QStringList joined;
    for (const QString &text : texts) {
        const OutputLine added = line(Kind::stdout, text);
        extendRenderGroups(groups, std::span<const OutputLine>(&added, 1), Mode::verbose);
        joined.append(text);
        ASSERT_EQ(groups.size(), 1);
        EXPECT_EQ(groups[0].asStdoutRun()->text.toString(), joined.join(u'\n'));
    }
    const RunText &run = groups[0].asStdoutRun()->text;
    const QString whole = joined.join(u'\n');
    ASSERT_EQ(run.size(), whole.size());
    for (qsizetype from = 0; from <= whole.size(); ++from) {
        for (qsizetype length = 0; from + length <= whole.size(); length += 3) {
            ASSERT_EQ(run.mid(from, length), whole.mid(from, length)) << from << " " << length;
            ASSERT_EQ(run.count(from, length, u"```"), QStringView(whole).sliced(from, length).count(u"```"));
        }
    }
    // The chunks of a run read line by line are those of its joined text.
    RunText growing;
    RunChunker chunker;
    QList<RunChunk> chunks;
    for (const QString &text : texts) {
        growing.append(text);
        const QList<RunChunk> update = chunker.update(growing);
        while (!chunks.isEmpty() && chunks.last().start >= update.first().start)
            chunks.removeLast();
        chunks.append(update);
    }
    EXPECT_EQ(chunks, cutRunChunks(whole));
}

TEST(TranscriptGrouping, CrLfAgentOutputKeepsItsCodeBlock)
{
    // Output as the agent wrote it, read in pieces that cut a CR LF in half.
    const QByteArray output = "Here you go:\r\n```python\r\nprint('hi')\r\n```\r\nDone.\r\n";
    platform::OutputLineSplitter splitter;
    QList<OutputLine> lines;
    const auto emitLine = [&](const QString &text) { lines << OutputLine::make(Kind::stdout, text); };
    splitter.feed(output.left(24), emitLine);
    splitter.feed(output.mid(24), emitLine);
    splitter.finish(emitLine);

    const QList<RenderGroup> groups = renderGroups(visibleLines(lines, Mode::verbose));
    ASSERT_EQ(groups.size(), 1);
    ASSERT_NE(groups[0].asStdoutRun(), nullptr);
    EXPECT_EQ(splitMarkdownSegments(groups[0].asStdoutRun()->text.toString()),
              (QList<MarkdownSegment>{MarkdownSegment::prose(u"Here you go:"_s),
                                      MarkdownSegment::code(u"python"_s, u"print('hi')"_s, true),
                                      MarkdownSegment::prose(u"Done."_s)}));
}

TEST(TranscriptGrouping, RunsReadFromTheTranscriptMatchTheirLinesJoinedAtEveryPosition)
{
    // Text of every UTF-8 width and what UTF-8 cannot hold, so that positions
    // in the joined text and in the held bytes differ.
    const QStringList texts{u"plain"_s, u""_s, u"é ß — 漢字"_s, u"😀 pair 😀"_s,
                            QString(QChar(0xD800)) + u" lone "_s + QString(QChar(0xDC00)), u"```"_s, u"\uFEFFmark"_s};
    OutputLines transcript;
    QList<OutputLine> asList;
    QList<RenderGroup> fromTranscript;
    QList<RenderGroup> fromList;
    for (int i = 0; i < 40; ++i) {
        const OutputLine added = line(i % 9 == 8 ? Kind::stderr : Kind::stdout, texts.at(i % texts.size()));
        transcript.append(added);
        asList.append(added);
        extendRenderGroups(fromTranscript, transcript, transcript.size() - 1, Mode::verbose);
        extendRenderGroups(fromList, std::span<const OutputLine>(&added, 1), Mode::verbose);
        ASSERT_EQ(fromTranscript, fromList);
    }
    EXPECT_EQ(fromTranscript, renderGroups(asList));
    for (const RenderGroup &group : fromTranscript) {
        const RenderGroup::StdoutRun *run = group.asStdoutRun();
        if (!run)
            continue;
        const QString whole = run->text.toString();
        ASSERT_EQ(run->text.size(), whole.size());
        for (qsizetype from = 0; from <= whole.size(); ++from) {
            for (qsizetype length = 0; from + length <= whole.size(); length += 2) {
                ASSERT_EQ(run->text.mid(from, length), whole.mid(from, length)) << from << " " << length;
                ASSERT_EQ(run->text.count(from, length, u"```"), QStringView(whole).sliced(from, length).count(u"```"));
            }
        }
    }
}

} // namespace
} // namespace nerim
