// panes.json is read and written by hand-made fast paths; these tests hold them
// to the platform JSON document's bytes and to the strict reader's errors.
#include "PanesTestSupport.h"
#include "TestEnvironment.h"
#include "panes-store/PanesChangeLog.h"
#include "agents/AgentPaneState.h"
#include "agents/SavedPanes.h"
#include "panes-store/PanesEncoding.h"
#include "panes-store/PanesFastReader.h"
#include "panes-store/PanesLoadResult.h"
#include "panes-store/PanesSaver.h"
#include "panes-store/PanesSnapshot.h"
#include "foundation/Json.h"
#include "foundation/SerialFileWriter.h"
#include "foundation/UuidText.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSet>
#include <gtest/gtest.h>
#include <memory>

using namespace nerim;
using namespace nerim::test;

namespace {

// The decoder as it was: the document walked through the strict reader.
PanesSnapshot referenceDecode(const QByteArray &bytes)
{
    const JsonObjectReader reader = JsonObjectReader::parse(bytes);
    PanesSnapshot snapshot;
    snapshot.version = reader.int32(QStringLiteral("version"));
    snapshot.nextAgentNumber = reader.int64(QStringLiteral("nextAgentNumber"));
    snapshot.focusedPaneId = reader.optionalUuid(QStringLiteral("focusedPaneId"));
    snapshot.expandedPaneId = reader.optionalUuid(QStringLiteral("expandedPaneId"));
    for (const JsonValueReader &pane : reader.array(QStringLiteral("panes")))
        snapshot.panes.append(PaneDiskSnapshot::fromJson(pane.toObject()));
    return snapshot;
}

// The encoder as it was: the whole document built, then written compact.
QByteArray referenceEncode(const PanesSnapshot &snapshot) { return json::encodeCompact(snapshot.toJson()); }

QString goldenPath() { return QStringLiteral(NERIM_PANES_STORE_GOLDEN_DIR "/panes-v1-saved.json"); }

// Everything the format can hold: optional keys present and absent, empty and
// escaped strings, text beyond the BMP, lone surrogates, fractional and
// integral dates.
PanesSnapshot variedSnapshot()
{
    PanesSnapshot snapshot;
    snapshot.nextAgentNumber = 7;
    snapshot.focusedPaneId = newUuid();
    PaneDiskSnapshot a;
    a.id = *snapshot.focusedPaneId;
    a.agentId = uuidText(newUuid());
    a.agentName = QStringLiteral("Ünïcode “Atlas” 🚀");
    a.paneNumber = 2;
    a.responsibility = QStringLiteral("Build the \"form\"\\page\u2028");
    a.role = AgentRole::dbSchema;
    const QList<QString> texts{
        QString(),
        QStringLiteral("  spaces kept  "),
        QStringLiteral("quote \" backslash \\ slash / tab\t ctrl \x01\x1f del \x7f"),
        QStringLiteral("line\nbreak\r\nand \b\f"),
        QStringLiteral("emoji 😀, CJK 漢字, Latin-1 é, U+FFFD \uFFFD, U+FFFF \uFFFF"),
        QString(QChar(0xD800)) + QStringLiteral(" lone ") + QString(QChar(0xDC00)) + QString(QChar(0xDBFF)),
        QString(QChar(0xDBFF)) + QString(QChar(0xDFFF)) + QString(QChar(0xDC00)) + QString(QChar(0xD800)),
    };
    const OutputLine::Kind kinds[] = {OutputLine::Kind::stdout, OutputLine::Kind::stderr, OutputLine::Kind::system,
                                      OutputLine::Kind::userPrompt, OutputLine::Kind::taskComplete};
    for (qsizetype i = 0; i < 600; ++i)
        a.outputLines.append(OutputLine::make(kinds[i % 5], texts.at(i % texts.size()) + QString::number(i)));
    const double dates[] = {0, -0.0, 786000000.123456, 786000042.5, -12.75, 1e-7, 1.5e20, 9.2233720368547758e18,
                            123456789012.0, 0.1 + 0.2};
    for (int t = 0; t < 10; ++t) {
        ConversationTurn turn;
        turn.id = newUuid();
        turn.userPrompt = texts.at(t % texts.size());
        turn.agentResponse = texts.at((t + 3) % texts.size()) + QStringLiteral("\nmore");
        if (t % 2)
            turn.taskCompleteSummary = t % 4 == 1 ? QString() : QStringLiteral("Done ✓");
        turn.startedAt = Timestamp(dates[t]);
        if (t != 9)
            turn.endedAt = Timestamp(dates[9 - t]);
        a.conversation.append(turn);
    }
    PaneDiskSnapshot b;
    b.id = newUuid();
    b.agentId = QStringLiteral("nerim.repair");
    b.agentName = QStringLiteral("Repair");
    b.isSystemPane = true;
    PaneDiskSnapshot c = a;
    c.id = newUuid();
    c.paneNumber = -2147483647 - 1;
    c.outputLines.clear();
    snapshot.panes = {a, b, c};
    return snapshot;
}

// Runs `decode` and gives the error it throws as "<reason> at <path>", or "ok".
template <typename Decode>
std::string errorOf(Decode decode, const QByteArray &bytes)
{
    try {
        decode(bytes);
        return "ok";
    } catch (const JsonDecodingError &e) {
        return e.description().toStdString();
    }
}

} // namespace

TEST(PanesFormat, AFileSavedByTheEarlierWriterReadsAndIsWrittenBackByteForByte)
{
    const QByteArray saved = readFile(goldenPath());
    ASSERT_FALSE(saved.isEmpty());
    const PanesSnapshot snapshot = PanesSnapshot::decode(saved);
    EXPECT_EQ(snapshot, referenceDecode(saved));
    ASSERT_EQ(snapshot.panes.size(), 2);
    const PaneDiskSnapshot &pane = snapshot.panes.at(0);
    EXPECT_EQ(pane.agentName, QStringLiteral("Ünïcode “Atlas” 🚀"));
    EXPECT_EQ(pane.role, AgentRole::backend);
    EXPECT_EQ(pane.outputLines.at(7).text.at(0), QChar(0xD800));
    EXPECT_EQ(uuidText(pane.outputLines.at(10).id), QStringLiteral("A0000000-0000-4000-8000-000000000010"));
    EXPECT_EQ(pane.conversation.at(1).endedAt->secondsSinceReferenceDate(), -12.75);
    EXPECT_TRUE(snapshot.panes.at(1).isSystemPane);
    // Ids and everything else come back unchanged.
    EXPECT_EQ(snapshot.encode(), saved);
}

TEST(PanesFormat, WritesTheBytesOfTheDocumentWriterAndReadsBackInTheEarlierDecoder)
{
    const PanesSnapshot snapshot = variedSnapshot();
    const QByteArray bytes = snapshot.encode();
    EXPECT_EQ(bytes, referenceEncode(snapshot));
    EXPECT_EQ(referenceDecode(bytes), snapshot);
    EXPECT_EQ(PanesSnapshot::decode(bytes), snapshot);

    PanesSnapshot bare; // no focused or expanded pane, no panes
    EXPECT_EQ(bare.encode(), referenceEncode(bare));
    bare.expandedPaneId = newUuid();
    bare.nextAgentNumber = Q_INT64_C(9007199254740993); // beyond a double's integers
    EXPECT_EQ(bare.encode(), referenceEncode(bare));

    // Every UTF-16 code unit alone, and random strings of code units.
    OutputLine one{newUuid(), OutputLine::Kind::stdout, QString()};
    for (uint u = 0; u <= 0xFFFF; ++u) {
        one.text = QString(QChar(char16_t(u)));
        QByteArray ours;
        panesEncoding::appendOutputLine(ours, one);
        ASSERT_EQ(ours, json::encodeCompact(one.toJson())) << "code unit " << u;
    }
    QRandomGenerator random(27);
    const char16_t interesting[] = {u'a', u'"', u'\\', 0x1, 0x7f, 0x80, 0x7ff, 0x800, 0xd7ff, 0xd800, 0xdbff,
                                    0xdc00, 0xdfff, 0xe000, 0xfffd, 0xffff};
    for (int n = 0; n < 2000; ++n) {
        QString text;
        for (int k = random.bounded(12); k > 0; --k)
            text.append(QChar(interesting[random.bounded(int(std::size(interesting)))]));
        one.text = text;
        QByteArray ours;
        panesEncoding::appendOutputLine(ours, one);
        ASSERT_EQ(ours, json::encodeCompact(one.toJson()));
    }
}

TEST(PanesFormat, AMalformedFileFailsWithTheStrictReadersErrorAndKeyPath)
{
    const QByteArray good = variedSnapshot().encode();
    const auto replaced = [&](const char *from, const char *to) {
        QByteArray bytes = good;
        const qsizetype at = bytes.indexOf(from);
        EXPECT_GE(at, 0) << from;
        return bytes.replace(at, qstrlen(from), to);
    };
    const QList<QByteArray> cases{
        "not json",
        "[1]",
        "{}",
        R"({"version":"1","nextAgentNumber":1,"panes":[]})",
        R"({"version":1.5,"nextAgentNumber":1,"panes":[]})",
        R"({"version":1,"nextAgentNumber":1e30,"panes":[]})",
        R"({"version":1,"nextAgentNumber":1,"panes":{}})",
        R"({"version":1,"nextAgentNumber":1,"panes":[3]})",
        R"({"version":1,"nextAgentNumber":1,"focusedPaneId":"{6F1C2D3E-4A5B-4C6D-8E7F-9A0B1C2D3E4F}","panes":[]})",
        R"({"version":1,"nextAgentNumber":1,"expandedPaneId":7,"panes":[]})",
        R"({"version":1,"nextAgentNumber":1,"focusedPaneId":null,"expandedPaneId":"6f1c2d3e-4a5b-4c6d-8e7f-9a0b1c2d3e4f","panes":[]})",
        replaced("\"paneNumber\":2", "\"paneNumber\":2147483648"),
        replaced("\"paneNumber\":0", "\"paneNumber\":null"),
        replaced("\"agentName\":\"Repair\"", "\"agentName\":false"),
        replaced("\"outputLines\":[]", "\"outputLines\":{}"),
        replaced("\"kind\":\"stderr\"", "\"kind\":\"stdErr\""),
        replaced("\"kind\":\"system\"", "\"kynd\":\"system\""),
        replaced("\"text\":\"", "\"text\":1,\"x\":\""),
        replaced("\"id\":\"", "\"id\":\"0"),
        replaced("\"startedAt\":", "\"startedAt\":\"1\",\"y\":"),
        replaced("\"endedAt\":", "\"endedAt\":[],\"y\":"),
        replaced("\"taskCompleteSummary\":", "\"taskCompleteSummary\":{},\"y\":"),
        replaced("\"conversation\":[", "\"conversation\":[5,"),
        replaced("\"role\":\"unspecified\"", "\"role\":5"), // lenient: reads
    };
    QSet<QString> errors;
    for (const QByteArray &bytes : cases) {
        const std::string expected = errorOf(&referenceDecode, bytes);
        EXPECT_EQ(errorOf(&PanesSnapshot::decode, bytes), expected) << bytes.left(160).toStdString();
        errors.insert(QString::fromStdString(expected));
        if (qEnvironmentVariableIsSet("PANES_FORMAT_VERBOSE"))
            std::printf("%s\n", expected.c_str());
    }
    EXPECT_EQ(errors.size(), cases.size() - 1); // each case fails its own way, bar the two that read
    EXPECT_EQ(errorOf(&PanesSnapshot::decode, replaced("\"kind\":\"stderr\"", "\"kind\":\"stdErr\"")),
              "unknown value \"stdErr\" at panes[0].outputLines[1].kind");
}

TEST(PanesFormat, TheQuickReaderTakesWrittenFilesAndAgreesWithTheStrictReaderOnAnyOther)
{
    const PanesSnapshot snapshot = variedSnapshot();
    const QByteArray bytes = snapshot.encode();
    // What this program writes never needs the slow path.
    EXPECT_EQ(readPanesQuickly(bytes), snapshot);
    EXPECT_EQ(readPanesQuickly(readFile(goldenPath())), referenceDecode(readFile(goldenPath())));
    // Other layouts of the same content: indented, keys reordered, extra keys.
    const QByteArray indented = QJsonDocument::fromJson(bytes).toJson(QJsonDocument::Indented);
    EXPECT_EQ(readPanesQuickly(indented), snapshot);
    const QByteArray shuffled = R"( { "panes" : [ { "x":[{"y":[1,-2.5e3,true,false,null,"\u00e9\n"]}], "outputLines":[{"text":"a\/b \ud83d\ude00 \udc00","kind":"stdout","id":"6f1c2d3e-4a5b-4c6d-8e7f-9a0b1c2d3e4f"}],"conversation":[{"endedAt":null,"taskCompleteSummary":null,"startedAt":-0,"agentResponse":"","userPrompt":")"
        "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xef\xbf\xbe\xf4\x8f\xbf\xbf"
        R"(","id":"6F1C2D3E-4A5B-4C6D-8E7F-9A0B1C2D3E4F"}],"role":7,"isSystemPane":"yes","responsibility":"","paneNumber":1E0,"agentName":"n","agentId":"i","id":"6F1C2D3E-4A5B-4C6D-8E7F-9A0B1C2D3E4F"} ] , "expandedPaneId":null, "nextAgentNumber": 9007199254740993, "version" : 1 } )";
    ASSERT_TRUE(readPanesQuickly(shuffled));
    EXPECT_EQ(*readPanesQuickly(shuffled), referenceDecode(shuffled));

    // Damaged copies (bytes changed, dropped, doubled, added) read the same way
    // both ways: the same snapshot or the same error.
    QRandomGenerator random(2027);
    const QByteArray small = [] {
        PanesSnapshot s = variedSnapshot();
        s.panes[0].outputLines = s.panes[0].outputLines.mid(0, 12);
        return s.encode();
    }();
    const char replacements[] = {'"', '\\', ',', ':', '{', '}', '[', ']', '0', '9', '-', '.', 'e', 'n', 't', 'u',
                                 ' ', '\x01', '\x80', '\xc3', '\xed', '\xff', 'A', 'z'};
    int quickAccepted = 0;
    for (int n = 0; n < 3000; ++n) {
        QByteArray damaged = small;
        for (int edits = 1 + random.bounded(2); edits > 0; --edits) {
            const qsizetype at = random.bounded(int(damaged.size()));
            switch (random.bounded(4)) {
            case 0: damaged[at] = replacements[random.bounded(int(sizeof replacements))]; break;
            case 1: damaged.remove(at, 1 + random.bounded(3)); break;
            case 2: damaged.insert(at, damaged.mid(at, 1 + random.bounded(8))); break;
            default: damaged.insert(at, replacements[random.bounded(int(sizeof replacements))]);
            }
        }
        std::string expected;
        std::optional<PanesSnapshot> reference;
        try {
            reference = referenceDecode(damaged);
        } catch (const JsonDecodingError &e) {
            expected = e.description().toStdString();
        }
        if (reference) {
            quickAccepted += readPanesQuickly(damaged).has_value();
            ASSERT_EQ(PanesSnapshot::decode(damaged), *reference) << damaged.toStdString();
        } else {
            ASSERT_FALSE(readPanesQuickly(damaged)) << damaged.toStdString();
            ASSERT_EQ(errorOf(&PanesSnapshot::decode, damaged), expected) << damaged.toStdString();
        }
    }
    EXPECT_GT(quickAccepted, 0);
}

// Inputs found by fuzzing the readers and the writer: whole dates past 2^53
// s, a string that begins with U+FEFF, and numbers beyond every integer.
TEST(PanesFormat, EdgesOfNumbersAndTextReadAndWriteAlikeOnBothPaths)
{
    PanesSnapshot snapshot = variedSnapshot();
    PaneDiskSnapshot &pane = snapshot.panes[0];
    const double wholeDates[] = {9007199254740992.0, 9007199254740994.0, 1e16, -1e17, 4611686018427387904.0,
                                 1234567890123456789.0, 1e300};
    for (qsizetype t = 0; t < qsizetype(std::size(wholeDates)); ++t)
        pane.conversation[t].startedAt = Timestamp(wholeDates[t]);
    const QString bom(QChar(0xFEFF));
    pane.agentName = bom + QStringLiteral("Ada");
    pane.responsibility = bom;
    pane.outputLines[0].text = bom + QStringLiteral("output");
    pane.conversation[0].userPrompt = bom + bom;

    const QByteArray bytes = snapshot.encode();
    EXPECT_EQ(bytes, referenceEncode(snapshot)); // e.g. 1e+16, as the document writer puts it
    EXPECT_TRUE(bytes.contains("\"startedAt\":1e+16"));
    EXPECT_EQ(readPanesQuickly(bytes), snapshot);
    EXPECT_EQ(referenceDecode(bytes), snapshot);
    EXPECT_EQ(PanesSnapshot::fromJson(JsonObjectReader::parse(bytes).raw()), snapshot);

    // Out of range: an error of the strict reader on both paths, never a conversion.
    for (const char *number : {"1e300", "-1e300", "1e19", "9223372036854775808"}) {
        for (const char *key : {"version", "nextAgentNumber"}) {
            QByteArray document = R"({"version":1,"nextAgentNumber":1,"panes":[]})";
            document.replace(QByteArray("\"") + key + "\":1", QByteArray("\"") + key + "\":" + number);
            EXPECT_EQ(errorOf(&PanesSnapshot::decode, document), errorOf(&referenceDecode, document)) << document.data();
            EXPECT_NE(errorOf(&PanesSnapshot::decode, document), "ok") << document.data();
        }
        QByteArray withPane = bytes;
        withPane.replace("\"paneNumber\":2", QByteArray("\"paneNumber\":") + number);
        EXPECT_EQ(errorOf(&PanesSnapshot::decode, withPane), errorOf(&referenceDecode, withPane));
    }
    const QString path = makeTempDir() + QStringLiteral("/panes.json");
    ASSERT_TRUE(writeFile(path, R"({"version":1e300,"nextAgentNumber":1,"panes":[]})"));
    LogCapture log;
    const PanesLoadResult huge = readPanesFile(path);
    EXPECT_FALSE(huge.snapshot);
    EXPECT_FALSE(huge.unknownVersion);
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("[Nerim panes] load failed: integer 1e+300 is out of range at version")});
}

TEST(PanesFormat, ReadingAFileParsesItOnceAndKeepsTheVersionRules)
{
    const QString dir = makeTempDir();
    const QString path = dir + QStringLiteral("/panes.json");
    ASSERT_TRUE(writeFile(path, R"({"version":2,"panes":"anything"})"));
    const PanesLoadResult unknown = readPanesFile(path);
    EXPECT_TRUE(unknown.unknownVersion);
    EXPECT_FALSE(unknown.snapshot);

    // A damaged file falls back to its backup.
    const PanesSnapshot good = variedSnapshot();
    ASSERT_TRUE(writeFile(path, R"({"version":1,"nextAgentNumber":1,"panes":[{}]})"));
    ASSERT_TRUE(writeFile(path + QStringLiteral(".backup"), good.encode()));
    const PanesLoadResult restored = readPanesFile(path);
    ASSERT_TRUE(restored.snapshot);
    EXPECT_EQ(restored.snapshot->panes, good.panes);
}

TEST(PanesSaver, WritesOnlyWhatChangedAndTheBytesOfAFullEncode)
{
    // Every save here writes the file whole (as a fold-back of the change log does).
    std::optional<panesChangeLog::detail::ScopedWholeWrites> wholeWrites;
    wholeWrites.emplace();
    const QString path = makeTempDir() + QStringLiteral("/panes.json");
    PanesSaver saver(path);
    std::vector<std::unique_ptr<AgentPaneState>> panes;
    for (int p = 1; p <= 2; ++p)
        panes.push_back(std::make_unique<AgentPaneState>(newUuid(), uuidText(newUuid()), QStringLiteral("Claude %1").arg(p),
                                                         p, false, AgentRole::code, QString()));
    const auto snapshot = [&] {
        PanesSnapshot s;
        s.nextAgentNumber = 3;
        s.focusedPaneId = panes.front()->id();
        for (const auto &pane : panes)
            s.panes.append(snapshotOfPane(*pane));
        return s;
    };
    const auto saveAndCheck = [&](bool expectWrite) {
        const PanesSnapshot s = snapshot();
        EXPECT_EQ(saver.save(s), expectWrite);
        SerialFileWriter::shared().flush();
        if (expectWrite) {
            EXPECT_EQ(withoutDocumentId(readFile(path)), s.encode());
        }
    };

    saveAndCheck(true);
    saveAndCheck(false); // nothing changed: not written again
    QFile::remove(path);
    saveAndCheck(false); // nothing changed, but the file is gone: written again
    EXPECT_EQ(withoutDocumentId(readFile(path)), snapshot().encode());

    // Lines across several reusable blocks, added in steps that end inside and on block edges.
    for (int step : {5, 251, 256, 300, 700}) {
        for (int i = 0; i < step; ++i)
            panes.front()->appendLine(OutputLine::Kind::stdout, QStringLiteral("line %1 \"é\" %2").arg(step).arg(i));
        saveAndCheck(true);
    }
    panes.back()->beginTurn(QStringLiteral("go"));
    saveAndCheck(true); // an open turn is not saved, but the defensive close could change the saved ones
    panes.back()->appendStdoutToTurn(QStringLiteral("working"));
    saveAndCheck(false);
    panes.back()->closeTurn(QStringLiteral("Done."));
    saveAndCheck(true);
    panes.back()->setStatus(AgentStatus::done);
    saveAndCheck(false);
    panes.back()->setAgentName(QStringLiteral("Atlas"));
    saveAndCheck(true);

    // A transcript replaced wholesale (same count, other lines) is encoded anew.
    QList<OutputLine> other;
    for (const OutputLine &old : panes.front()->outputLines())
        other.append(OutputLine::make(old.kind, old.text + QStringLiteral("!")));
    panes.front()->setOutputLines(other);
    saveAndCheck(true);
    // A pane removed, then the focus changed.
    panes.pop_back();
    saveAndCheck(true);
    // Only the focus changed: the file stays as it is (the change log takes
    // the focus) and reads with the new focus.
    wholeWrites.reset();
    const QByteArray before = readFile(path);
    PanesSnapshot moved = snapshot();
    moved.focusedPaneId.reset();
    EXPECT_TRUE(saver.save(moved));
    SerialFileWriter::shared().flush();
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(loadPanesSnapshot(path), moved);
}

TEST(PanesSaver, RetriesAfterAFailedWriteAndWritesHandMadeSnapshotsAlways)
{
    // Every save here writes the file whole (as a fold-back of the change log does).
    const panesChangeLog::detail::ScopedWholeWrites wholeWrites;
    const QString dir = makeTempDir();
    const QString blocked = dir + QStringLiteral("/data");
    ASSERT_TRUE(writeFile(blocked, "a file where the folder should be"));
    const QString path = blocked + QStringLiteral("/panes.json");
    PanesSaver saver(path);
    AgentPaneState pane(newUuid(), QStringLiteral("a"), QStringLiteral("Claude 1"), 1, false, AgentRole::code, QString());
    PanesSnapshot snapshot;
    snapshot.panes = {snapshotOfPane(pane)};
    EXPECT_TRUE(saver.save(snapshot));
    SerialFileWriter::shared().flush();
    EXPECT_FALSE(QFile::exists(path));
    ASSERT_TRUE(QFile::remove(blocked));
    ASSERT_TRUE(QDir().mkpath(blocked));
    EXPECT_TRUE(saver.save(snapshot)); // unchanged, but the last write failed
    SerialFileWriter::shared().flush();
    EXPECT_EQ(withoutDocumentId(readFile(path)), snapshot.encode());

    PanesSnapshot handMade = variedSnapshot();
    EXPECT_TRUE(saver.save(handMade));
    EXPECT_TRUE(saver.save(handMade)); // no generations to compare
    SerialFileWriter::shared().flush();
    EXPECT_EQ(withoutDocumentId(readFile(path)), handMade.encode());
}

TEST(PaneState, LineIdsAreUniqueCanonicalUuidsAndTheRunsStdoutStaysBounded)
{
    QSet<QUuid> ids;
    for (int i = 0; i < 100000; ++i) {
        const QUuid id = newSequentialUuid();
        EXPECT_EQ(id.version(), QUuid::Random);
        EXPECT_EQ(id.variant(), QUuid::DCE);
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 100000);
    const QUuid id = newUuid();
    EXPECT_EQ(uuidText(id), id.toString(QUuid::WithoutBraces).toUpper());
    EXPECT_EQ(parseUuid(uuidText(id)), id);
    EXPECT_EQ(parseUuid(uuidText(id).toLower()), id);
    for (const char *bad : {"{6F1C2D3E-4A5B-4C6D-8E7F-9A0B1C2D3E4F}", "6F1C2D3E4A5B-4C6D-8E7F-9A0B1C2D3E4F0",
                            "6F1C2D3E-4A5B-4C6D-8E7F-9A0B1C2D3E4", "6F1C2D3E-4A5B-4C6D-8E7F-9A0B1C2D3E4FF",
                            "6F1C2D3E-4A5B-4C6D-8E7F-9A0B1C2D3E4G", "6F1C2D3E-4A5B-4C6D-8E7F+9A0B1C2D3E4F", "",
                            // Once accepted: the pattern's end anchor let a final line break through.
                            "6F1C2D3E-4A5B-4C6D-8E7F-9A0B1C2D3E4F\n"})
        EXPECT_FALSE(parseUuid(QString::fromLatin1(bad))) << bad;

    AgentPaneState pane(newUuid(), QStringLiteral("a"), QStringLiteral("Claude 1"), 1, false, AgentRole::code, QString());
    pane.appendCurrentStdout(QStringLiteral("  TASK_COMPLETE:  older summary "));
    pane.appendCurrentStdout(QStringLiteral("  TASK_COMPLETE:  the summary\t"));
    for (int i = 0; i < 5000; ++i)
        pane.appendCurrentStdout(QStringLiteral("line %1").arg(i));
    EXPECT_EQ(pane.currentStdoutLineCount(), 5002);
    EXPECT_LT(pane.currentStdout().size(), 2 * AgentPaneState::currentStdoutKept + 1);
    EXPECT_GE(pane.currentStdout().size(), AgentPaneState::currentStdoutKept);
    EXPECT_EQ(pane.currentStdout().first(), QStringLiteral("  TASK_COMPLETE:  the summary\t"));
    EXPECT_EQ(pane.currentStdout().last(), QStringLiteral("line 4999"));
    EXPECT_EQ(pane.taskCompleteSummary(0), QStringLiteral("the summary"));
    pane.setCurrentStdout({});
    EXPECT_EQ(pane.currentStdoutLineCount(), 0);
}
