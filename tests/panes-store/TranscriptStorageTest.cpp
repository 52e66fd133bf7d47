// A pane's transcript held once as UTF-8, the turns that refer to its lines,
// and panes.json written back from it: the texts read back exactly, copies
// stay as they were taken, and files written before read the same and are
// written back byte for byte.
#include "PanesTestSupport.h"
#include "TestEnvironment.h"
#include "panes-store/PanesChangeLog.h"
#include "agents/AgentPaneState.h"
#include "agents/SavedPanes.h"
#include "panes-store/OutputLines.h"
#include "panes-store/PanesSaver.h"
#include "panes-store/PanesSnapshot.h"
#include "panes-store/PanesSnapshotStore.h"
#include "panes-store/PanesLoadResult.h"
#include "foundation/Json.h"
#include "foundation/SerialFileWriter.h"
#include "foundation/UuidText.h"

#include <QFile>
#include <QJsonDocument>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>

using namespace nerim;
using namespace nerim::test;
using Kind = OutputLine::Kind;

namespace {

// Texts that UTF-8 holds in every width, and what it cannot hold as such.
QStringList awkwardTexts()
{
    return {
        QString(),
        QStringLiteral("  plain ASCII, spaces kept  "),
        QStringLiteral("quote \" backslash \\ tab\t NUL ") + QChar(0) + QStringLiteral(" DEL \x7f"),
        QStringLiteral("é ß “quotes” — 漢字 U+FFFF \uFFFF"),
        QStringLiteral("\uFEFF starts with a byte-order mark"),
        QStringLiteral("emoji 😀🚀 pair at the end 😀"),
        QString(QChar(0xD800)) + QStringLiteral(" lone high, lone low ") + QString(QChar(0xDC00)),
        // High then low as two lone ones would be a pair: a lone high, a pair, a lone low.
        QString(QChar(0xDBFF)) + QString(QChar(0xDBFF)) + QString(QChar(0xDFFF)) + QString(QChar(0xDFFF)),
        QString(QChar(0xDBFF)), // alone and at the end
    };
}

PanesSnapshot snapshotOf(const std::vector<std::unique_ptr<AgentPaneState>> &panes)
{
    PanesSnapshot snapshot;
    snapshot.nextAgentNumber = qint64(panes.size()) + 1;
    for (const auto &pane : panes)
        snapshot.panes.append(snapshotOfPane(*pane));
    if (!panes.empty())
        snapshot.focusedPaneId = panes.front()->id();
    return snapshot;
}

std::vector<std::unique_ptr<AgentPaneState>> restore(const PanesSnapshot &snapshot)
{
    std::vector<std::unique_ptr<AgentPaneState>> panes;
    for (const PaneDiskSnapshot &pane : snapshot.panes)
        panes.emplace_back(restorePane(pane));
    return panes;
}

// What the canvas does with one line of a run.
void printLine(AgentPaneState &pane, const QString &line)
{
    pane.appendCurrentStdout(line);
    pane.appendLine(Kind::stdout, line);
    pane.appendStdoutToTurn(line);
}

QString golden(const char *name) { return QStringLiteral(NERIM_PANES_STORE_GOLDEN_DIR "/") + QLatin1String(name); }

} // namespace

TEST(OutputLines, EveryTextReadsBackExactlyAndCopiesStayAsTheyWereTaken)
{
    const QStringList texts = awkwardTexts();
    OutputLines lines;
    QList<OutputLine> expected;
    for (qsizetype i = 0; i < texts.size(); ++i) {
        const OutputLine line = OutputLine::make(Kind(i % 5), texts.at(i));
        lines.append(line);
        expected.append(line);
    }
    ASSERT_EQ(lines.size(), texts.size());
    EXPECT_EQ(lines, expected);
    for (qsizetype i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(lines.text(i), texts.at(i)) << i;
        EXPECT_EQ(lines.at(i), expected.at(i)) << i;
        EXPECT_EQ(lines.textLength(i), texts.at(i).size()) << i;
        EXPECT_EQ(transcriptText::decode(transcriptText::encode(texts.at(i))), texts.at(i)) << i;
    }
    // Valid text is held as its UTF-8.
    EXPECT_EQ(lines.utf8(3), texts.at(3).toUtf8());
    // Plain ASCII is taken in blocks: a character of any width or a lone
    // surrogate anywhere in or after a long ASCII stretch.
    const QString ascii = QStringLiteral("0123456789abcdefghijklmnopqrstuvwxyz ~\x7f\t");
    const QStringList odd{QStringLiteral("\u00e9"), QStringLiteral("\u6f22"), QStringLiteral("\U0001F600"),
                          QString(QChar(0xD800)), QString(QChar(0xDC00)), QString(QChar(0x80)), QString(QChar(0xFF))};
    for (qsizetype at = 0; at <= ascii.size(); ++at) {
        for (const QString &character : odd) {
            const QString text = ascii.left(at) + character + ascii.mid(at);
            OutputLines one;
            one.append(Kind::stdout, text, newSequentialUuid());
            ASSERT_EQ(one.text(0), text) << at;
            ASSERT_EQ(one.textLength(0), text.size()) << at;
            ASSERT_EQ(transcriptText::decode(transcriptText::encode(text)), text) << at;
            if (!QChar::isSurrogate(character.at(0).unicode()) || character.size() == 2) {
                ASSERT_EQ(one.utf8(0), text.toUtf8()) << at;
            }
        }
        OutputLines plain;
        plain.append(Kind::stdout, ascii.left(at), newSequentialUuid());
        ASSERT_EQ(plain.utf8(0), ascii.left(at).toLatin1()) << at;
    }
    EXPECT_EQ(lines.utf8(5), texts.at(5).toUtf8());

    // A copy keeps what it held while the original grows; a copy that appends
    // afterwards gets lines of its own and leaves the original alone.
    const OutputLines taken = lines;
    lines.append(Kind::stdout, u"after the copy", newSequentialUuid());
    EXPECT_EQ(taken, expected);
    EXPECT_TRUE(taken.sharesStorageWith(lines));
    OutputLines branch = taken;
    branch.append(Kind::stderr, u"on the branch", newSequentialUuid());
    EXPECT_EQ(lines.size(), expected.size() + 1);
    EXPECT_EQ(lines.text(lines.size() - 1), QStringLiteral("after the copy"));
    EXPECT_EQ(branch.size(), expected.size() + 1);
    EXPECT_EQ(branch.text(branch.size() - 1), QStringLiteral("on the branch"));
    EXPECT_EQ(branch.mid(0, expected.size()), expected);
    EXPECT_FALSE(branch.sharesStorageWith(lines));
    lines.append(Kind::system, u"still in place", newSequentialUuid());
    EXPECT_TRUE(taken.sharesStorageWith(lines));
    EXPECT_EQ(lines.size(), expected.size() + 2);
}

TEST(OutputLines, ManyLinesAndVeryLongOnesKeepTheirOrderAndMayBeReadWhileTheyGrow)
{
    OutputLines lines;
    const QString longLine = QString(3 * 1024 * 1024, QLatin1Char('y')) + QStringLiteral("é");
    for (int i = 0; i < 30000; ++i) {
        lines.append(Kind::stdout, QStringLiteral("line %1 ü").arg(i), newSequentialUuid());
        if (i == 12345)
            lines.append(Kind::stderr, longLine, newSequentialUuid());
    }
    ASSERT_EQ(lines.size(), 30001);
    EXPECT_EQ(lines.text(0), QStringLiteral("line 0 ü"));
    EXPECT_EQ(lines.text(12346), longLine);
    EXPECT_EQ(lines.text(12347), QStringLiteral("line 12346 ü"));
    EXPECT_EQ(lines.text(30000), QStringLiteral("line 29999 ü"));

    // A copy read on another thread while the original goes on growing.
    const OutputLines copy = lines;
    std::atomic<bool> allRead{true};
    std::thread reader([&] {
        for (qsizetype i = 0; i < copy.size(); ++i)
            if (copy.textLength(i) != (i == 12346 ? longLine.size() : copy.text(i).size()))
                allRead = false;
    });
    for (int i = 0; i < 50000; ++i)
        lines.append(Kind::stdout, QStringLiteral("more %1").arg(i), newSequentialUuid());
    reader.join();
    EXPECT_TRUE(allRead);
    EXPECT_EQ(copy.size(), 30001);
    EXPECT_EQ(lines.text(80000), QStringLiteral("more 49999"));
}

TEST(TurnResponse, AnswersReferringToTheTranscriptReadAsTheirLinesJoined)
{
    AgentPaneState pane(newUuid(), QStringLiteral("a"), QStringLiteral("Claude 1"), 1, false, AgentRole::code, QString());
    pane.beginTurn(QStringLiteral("go"));
    // Empty lines while the answer is empty leave it empty, as for lines given as text.
    printLine(pane, QString());
    EXPECT_TRUE(pane.conversation().last().agentResponse.isEmpty());
    QStringList joined;
    for (const QString &text : awkwardTexts()) {
        if (joined.isEmpty() && text.isEmpty())
            continue;
        printLine(pane, text);
        joined.append(text);
    }
    // A marker line is not in the transcript as it was printed, and an error
    // line in between breaks the run of referenced lines.
    pane.appendCurrentStdout(QStringLiteral("TASK_COMPLETE: done"));
    pane.appendLine(Kind::taskComplete, QStringLiteral("done"));
    pane.appendStdoutToTurn(QStringLiteral("TASK_COMPLETE: done"));
    joined.append(QStringLiteral("TASK_COMPLETE: done"));
    pane.appendLine(Kind::stderr, QStringLiteral("warning"));
    printLine(pane, QStringLiteral("after the warning"));
    joined.append(QStringLiteral("after the warning"));
    // The same text twice in the turn: each is its own line.
    pane.appendStdoutToTurn(QStringLiteral("after the warning"));
    joined.append(QStringLiteral("after the warning"));

    const TurnResponse &answer = pane.conversation().last().agentResponse;
    const QString whole = joined.join(QLatin1Char('\n'));
    EXPECT_EQ(answer, whole);
    EXPECT_EQ(answer.size(), whole.size());
    EXPECT_EQ(answer.count(QLatin1Char('\n')), whole.count(QLatin1Char('\n')));
    EXPECT_EQ(answer.count(QChar(0x00E9)), whole.count(QChar(0x00E9)));

    // The answer stays what it was when the transcript is replaced, and after
    // a save and a restore.
    pane.closeTurn(QStringLiteral("done"));
    pane.setOutputLines({});
    EXPECT_EQ(pane.conversation().last().agentResponse.toString(), whole);
    PanesSnapshot one;
    one.panes = {snapshotOfPane(pane)};
    EXPECT_EQ(PanesSnapshot::decode(one.encode()).panes.first().conversation.first().agentResponse.toString(), whole);
    EXPECT_EQ(one.encode(), json::encodeCompact(one.toJson()));
}

TEST(PanesFileWriteBack, FilesWrittenBeforeReadTheSameAndAreWrittenBackByteForByte)
{
    // Past the first save, every save here writes the file whole (as a
    // fold-back of the change log does).
    std::optional<panesChangeLog::detail::ScopedWholeWrites> wholeWrites;
    for (const char *name : {"panes-v1-saved.json", "panes-v1-varied.json", "panes-v1-live.json"}) {
        SCOPED_TRACE(name);
        wholeWrites.reset();
        const QByteArray original = readFile(golden(name));
        ASSERT_FALSE(original.isEmpty());
        const QString path = makeTempDir() + QStringLiteral("/panes.json");
        ASSERT_TRUE(writeFile(path, original));

        // Read as the strict reader reads it, and encoded back to the same bytes.
        PanesSnapshotStore store(path);
        const std::optional<PanesSnapshot> loaded = store.load();
        ASSERT_TRUE(loaded);
        const PanesSnapshot strict = PanesSnapshot::fromJson(JsonObjectReader::parse(original).raw());
        EXPECT_EQ(loaded->panes, strict.panes);
        EXPECT_EQ(loaded->focusedPaneId, strict.focusedPaneId);
        EXPECT_EQ(loaded->encode().size(), original.size());
        // Every line and turn of it is found as this program writes it.
        const PanesLoadResult read = readPanesFile(path);
        ASSERT_TRUE(read.layout);
        for (const PaneDiskSnapshot &pane : strict.panes) {
            EXPECT_EQ(read.layout->panes.value(pane.id).lineCount, pane.outputLines.size());
            EXPECT_EQ(read.layout->panes.value(pane.id).turns.size(), pane.conversation.size());
        }

        // Saved as read: a file written before document ids is written whole
        // once, with one (its change log must name it), and otherwise the same.
        PanesSnapshot asRead = *loaded;
        asRead.nextAgentNumber = strict.nextAgentNumber; // raised above the panes' numbers when read
        ASSERT_TRUE(store.save(asRead));
        SerialFileWriter::shared().flush();
        EXPECT_EQ(withoutDocumentId(readFile(path)), original);
        EXPECT_EQ(readFile(path + QStringLiteral(".backup")), original);
        // Saved again: nothing to write but a small record in the change log.
        const QByteArray withId = readFile(path);
        ASSERT_TRUE(store.save(asRead));
        SerialFileWriter::shared().flush();
        EXPECT_EQ(readFile(path), withId);
        wholeWrites.emplace();
        // Written whole by a saver that knows only where the parts lie: the
        // same file (what the reader found as this program writes it is
        // copied from the file).
        {
            PanesSaver whole(path);
            whole.adopt(readPanesFile(path).layout);
            ASSERT_TRUE(whole.save(asRead));
            SerialFileWriter::shared().flush();
            EXPECT_EQ(withoutDocumentId(readFile(path)), original);
            EXPECT_EQ(withoutDocumentId(readFile(path + QStringLiteral(".backup"))), original);
        }
        store.load(); // the file written since

        // Restored as the canvas restores it and saved: the same file again,
        // when it holds no open turn (a pane saves only its closed ones).
        const auto panes = restore(*loaded);
        PanesSnapshot again = snapshotOf(panes);
        again.nextAgentNumber = strict.nextAgentNumber;
        again.focusedPaneId = strict.focusedPaneId;
        again.expandedPaneId = strict.expandedPaneId;
        bool allClosed = true;
        for (const PaneDiskSnapshot &pane : strict.panes)
            for (const ConversationTurn &turn : pane.conversation)
                allClosed = allClosed && !turn.isInFlight();
        ASSERT_TRUE(store.save(again));
        SerialFileWriter::shared().flush();
        EXPECT_EQ(withoutDocumentId(readFile(path)), allClosed ? original : again.encode());

        // One more line and one more closed turn: the bytes of a full encode.
        if (panes.empty())
            continue;
        AgentPaneState &first = *panes.front();
        first.beginTurn(QStringLiteral("one more"));
        printLine(first, QStringLiteral("one more line, “é” 😀"));
        first.closeTurn(std::nullopt);
        PanesSnapshot grown = snapshotOf(panes);
        grown.nextAgentNumber = strict.nextAgentNumber;
        ASSERT_TRUE(store.save(grown));
        SerialFileWriter::shared().flush();
        EXPECT_EQ(withoutDocumentId(readFile(path)), grown.encode());
        EXPECT_EQ(withoutDocumentId(readFile(path)), json::encodeCompact(grown.toJson()));
    }
}

TEST(PanesFileWriteBack, WhatIsCopiedComesOnlyFromTheFileAsItWasWritten)
{
    // Every save here writes the file whole (as a fold-back of the change log does).
    const panesChangeLog::detail::ScopedWholeWrites wholeWrites;
    const QString path = makeTempDir() + QStringLiteral("/panes.json");
    std::vector<std::unique_ptr<AgentPaneState>> panes;
    for (int p = 1; p <= 2; ++p)
        panes.push_back(std::make_unique<AgentPaneState>(newUuid(), uuidText(newUuid()),
                                                         QStringLiteral("Claude %1").arg(p), p, false,
                                                         AgentRole::code, QString()));
    PanesSnapshotStore store(path);
    const auto run = [&](AgentPaneState &pane, int lines, const QString &tag) {
        pane.beginTurn(tag);
        for (int i = 0; i < lines; ++i)
            printLine(pane, QStringLiteral("%1 line %2 \"é\" \\ 😀").arg(tag).arg(i));
        pane.closeTurn(tag);
    };
    const auto saveAndCheck = [&] {
        const PanesSnapshot snapshot = snapshotOf(panes);
        store.save(snapshot);
        SerialFileWriter::shared().flush();
        EXPECT_EQ(withoutDocumentId(readFile(path)), snapshot.encode());
    };
    run(*panes[0], 300, QStringLiteral("first"));
    saveAndCheck();
    run(*panes[1], 40, QStringLiteral("second"));
    saveAndCheck();

    // The file changed by someone else since, keeping its size: nothing of it
    // is taken.
    QByteArray altered = readFile(path);
    const qsizetype changed = altered.lastIndexOf("first line 1 ");
    ASSERT_GT(changed, 0);
    altered[changed] = 'F';
    ASSERT_TRUE(writeFile(path, altered));
    run(*panes[0], 5, QStringLiteral("third"));
    saveAndCheck();

    // A file another program wrote, read at opening: only what is exactly as
    // this program writes it may be copied; the rest is encoded afresh.
    const PanesSnapshot saved = snapshotOf(panes);
    QByteArray indented = QJsonDocument::fromJson(saved.encode()).toJson(QJsonDocument::Indented);
    ASSERT_TRUE(writeFile(path, indented));
    EXPECT_EQ(readPanesFile(path).layout->panes.value(saved.panes.at(0).id).lineCount, 0);
    PanesSnapshotStore reopened(path);
    const auto restored = restore(*reopened.load());
    run(*restored[1], 3, QStringLiteral("fourth"));
    PanesSnapshot snapshot = snapshotOf(restored);
    reopened.save(snapshot);
    SerialFileWriter::shared().flush();
    EXPECT_EQ(withoutDocumentId(readFile(path)), snapshot.encode());

    // Escapes this program would not write, in the middle of the lines.
    QByteArray escaped = snapshot.encode();
    const qsizetype at = escaped.lastIndexOf("first line 7 ");
    ASSERT_GT(at, 0);
    escaped.replace(at, 5, "\\u0066irst");
    ASSERT_TRUE(writeFile(path, escaped));
    EXPECT_EQ(readPanesFile(path).layout->panes.value(snapshot.panes.at(0).id).lineCount, 7);
    PanesSnapshotStore third(path);
    const auto again = restore(*third.load());
    EXPECT_EQ(again[0]->outputLines(), restored[0]->outputLines());
    printLine(*again[0], QStringLiteral("last"));
    snapshot = snapshotOf(again);
    third.save(snapshot);
    SerialFileWriter::shared().flush();
    EXPECT_EQ(withoutDocumentId(readFile(path)), snapshot.encode());
}
