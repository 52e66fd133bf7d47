#include "TestEnvironment.h"
#include "agents/AgentNames.h"
#include "agents/AgentPaneState.h"
#include "agents/SavedPanes.h"
#include "agents/ModelPreferenceState.h"
#include "panes-store/PanesSnapshot.h"
#include "panes-store/PanesSnapshotStore.h"
#include "panes-store/PanesLoadResult.h"
#include "foundation/SerialFileWriter.h"
#include "foundation/UuidText.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::test;

namespace {

PaneDiskSnapshot samplePane(int number)
{
    PaneDiskSnapshot pane;
    pane.id = newUuid();
    pane.agentId = uuidText(newUuid());
    pane.agentName = QStringLiteral("Claude %1").arg(number);
    pane.paneNumber = number;
    pane.responsibility = QStringLiteral("Landing page");
    pane.outputLines = {OutputLine::make(OutputLine::Kind::userPrompt, QStringLiteral("hi")),
                        OutputLine::make(OutputLine::Kind::stdout, QStringLiteral("  hello  "))};
    ConversationTurn turn;
    turn.id = newUuid();
    turn.userPrompt = QStringLiteral("hi");
    turn.agentResponse = QStringLiteral("  hello  ");
    turn.startedAt = Timestamp(800000000.125);
    turn.endedAt = Timestamp(800000001.5);
    turn.taskCompleteSummary = QStringLiteral("Said hello.");
    pane.conversation = {turn};
    pane.role = AgentRole::designer;
    return pane;
}

QJsonObject parse(const QByteArray &bytes) { return QJsonDocument::fromJson(bytes).object(); }

} // namespace

TEST(PanesSnapshot, RoundTripsCompactJsonWithNumberDates)
{
    PanesSnapshot snapshot;
    snapshot.nextAgentNumber = 3;
    snapshot.panes = {samplePane(1), samplePane(2)};
    snapshot.focusedPaneId = snapshot.panes.at(1).id;
    const QByteArray bytes = snapshot.encode();
    EXPECT_FALSE(bytes.contains('\n'));
    EXPECT_EQ(PanesSnapshot::decode(bytes), snapshot);

    const QJsonObject root = parse(bytes);
    EXPECT_EQ(root.value(QStringLiteral("version")).toInt(), 1);
    EXPECT_FALSE(root.contains(QStringLiteral("expandedPaneId")));
    EXPECT_EQ(root.value(QStringLiteral("focusedPaneId")).toString(), uuidText(snapshot.panes.at(1).id));
    const QJsonObject turn = root.value(QStringLiteral("panes")).toArray().at(0).toObject()
                                 .value(QStringLiteral("conversation")).toArray().at(0).toObject();
    EXPECT_EQ(turn.value(QStringLiteral("startedAt")).toDouble(), 800000000.125);
}

TEST(PanesSnapshot, PaneKeysRoleAndIsSystemPaneAreLenientOthersRequired)
{
    QJsonObject pane = samplePane(1).toJson();
    pane.insert(QStringLiteral("role"), QStringLiteral("wizard"));
    pane.remove(QStringLiteral("isSystemPane"));
    PaneDiskSnapshot read = PaneDiskSnapshot::fromJson(JsonObjectReader(pane));
    EXPECT_EQ(read.role, AgentRole::unspecified);
    EXPECT_FALSE(read.isSystemPane);
    pane.remove(QStringLiteral("role"));
    pane.insert(QStringLiteral("isSystemPane"), QStringLiteral("yes"));
    pane.insert(QStringLiteral("futureKey"), 7);
    read = PaneDiskSnapshot::fromJson(JsonObjectReader(pane));
    EXPECT_EQ(read.role, AgentRole::unspecified);
    EXPECT_FALSE(read.isSystemPane);

    for (const char *key : {"outputLines", "conversation", "agentName", "paneNumber", "id"}) {
        QJsonObject broken = samplePane(1).toJson();
        broken.remove(QString::fromLatin1(key));
        EXPECT_THROW(PaneDiskSnapshot::fromJson(JsonObjectReader(broken)), JsonDecodingError) << key;
    }
}

TEST(PanesSnapshot, PaneSnapshotKeepsOnlyClosedTurnsAndRestoresIdle)
{
    AgentPaneState pane(newUuid(), QStringLiteral("agent"), QStringLiteral("Ada"), 4, false, AgentRole::backend,
                        QStringLiteral("API"));
    pane.appendLine(OutputLine::Kind::userPrompt, QStringLiteral("one"));
    pane.beginTurn(QStringLiteral("one"));
    pane.closeTurn(QStringLiteral("Did one."));
    pane.beginTurn(QStringLiteral("two")); // still running when the project is left
    pane.appendLine(OutputLine::Kind::stdout, QStringLiteral("partial"));
    pane.setStatus(AgentStatus::working);

    const PaneDiskSnapshot saved = snapshotOfPane(pane);
    EXPECT_EQ(saved.conversation.size(), 1);
    EXPECT_EQ(saved.outputLines.size(), 2);
    std::unique_ptr<AgentPaneState> restored(restorePane(saved));
    EXPECT_EQ(restored->status(), AgentStatus::idle);
    EXPECT_EQ(restored->agentName(), QStringLiteral("Ada"));
    EXPECT_EQ(restored->role(), AgentRole::backend);
    EXPECT_EQ(restored->paneNumber(), 4);
    EXPECT_EQ(restored->outputLines(), pane.outputLines());
    EXPECT_EQ(restored->conversation(), pane.completedTurns());
    EXPECT_FALSE(restored->currentSession());
}

TEST(PanesFile, MissingFileLoadsNothingSilently)
{
    LogCapture log;
    EXPECT_FALSE(loadPanesSnapshot(makeTempDir() + QStringLiteral("/panes.json")));
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST(PanesFile, SaveWritesThroughTheSerialWriterWithABackup)
{
    const QString path = makeTempDir() + QStringLiteral("/panes.json");
    PanesSnapshot first;
    first.panes = {samplePane(1)};
    first.nextAgentNumber = 2;
    PanesSnapshot second = first;
    second.panes.append(samplePane(2));
    second.nextAgentNumber = 3;
    savePanesSnapshot(path, first);
    SerialFileWriter::shared().flush();
    savePanesSnapshot(path, second);
    SerialFileWriter::shared().flush();
    EXPECT_EQ(loadPanesSnapshot(path), second);
    EXPECT_EQ(PanesSnapshot::decode(readFile(path + QStringLiteral(".backup"))), first);

    // Many saves in a row: the newest snapshot is the one left on disk.
    for (int i = 0; i < 20; ++i) {
        PanesSnapshot s = second;
        s.nextAgentNumber = 100 + i;
        savePanesSnapshot(path, s);
    }
    SerialFileWriter::shared().flush();
    EXPECT_EQ(loadPanesSnapshot(path)->nextAgentNumber, 119);
}

TEST(PanesFile, DamagedFileFallsBackToItsBackup)
{
    const QString path = makeTempDir() + QStringLiteral("/panes.json");
    PanesSnapshot good;
    good.panes = {samplePane(1)};
    good.nextAgentNumber = 2;
    writeFile(path + QStringLiteral(".backup"), good.encode());
    writeFile(path, "{\"version\":1,\"panes\":[{\"id\":");
    LogCapture log;
    EXPECT_EQ(loadPanesSnapshot(path), good);
    ASSERT_EQ(log.lines().size(), 1);
    EXPECT_TRUE(log.lines().first().startsWith(QStringLiteral("[Nerim panes] load failed: ")));
    EXPECT_TRUE(log.lines().first().endsWith(QStringLiteral("restored panes.json from its backup")));

    // A pane without "outputLines" fails the whole file; with no backup nothing loads.
    QJsonObject root = parse(good.encode());
    QJsonArray panes = root.value(QStringLiteral("panes")).toArray();
    QJsonObject pane = panes.at(0).toObject();
    pane.remove(QStringLiteral("outputLines"));
    panes.replace(0, pane);
    root.insert(QStringLiteral("panes"), panes);
    const QString lone = makeTempDir() + QStringLiteral("/panes.json");
    writeFile(lone, QJsonDocument(root).toJson());
    log.clear();
    EXPECT_FALSE(loadPanesSnapshot(lone));
    EXPECT_TRUE(log.contains(QStringLiteral("[Nerim panes] load failed: ")));
}

TEST(PanesFile, UnknownVersionIsIgnoredAndKeptUntilPanesChange)
{
    const QString path = makeTempDir() + QStringLiteral("/panes.json");
    const QByteArray future = "{\"version\":2,\"layout\":\"new\"}";
    writeFile(path, future);
    LogCapture log;
    PanesSnapshotStore store(path);
    EXPECT_FALSE(store.load());
    EXPECT_TRUE(log.contains(QStringLiteral("[Nerim panes] load: unknown version 2 (expected 1), ignoring")));
    EXPECT_TRUE(store.isKeepingUnknownVersion());

    store.save(PanesSnapshot{}); // the untouched canvas is left: nothing written
    SerialFileWriter::shared().flush();
    EXPECT_EQ(readFile(path), future);

    PanesSnapshot changed;
    changed.panes = {samplePane(1)};
    store.save(changed);
    SerialFileWriter::shared().flush();
    EXPECT_EQ(PanesSnapshot::decode(readFile(path)).panes.size(), 1);
    EXPECT_EQ(readFile(path + QStringLiteral(".backup")), future);
}

TEST(PanesFile, NextAgentNumberIsRaisedAboveRestoredPanes)
{
    const QString path = makeTempDir() + QStringLiteral("/panes.json");
    PanesSnapshot snapshot;
    snapshot.panes = {samplePane(1), samplePane(5)};
    snapshot.nextAgentNumber = 2;
    writeFile(path, snapshot.encode());
    EXPECT_EQ(loadPanesSnapshot(path)->nextAgentNumber, 6);
    snapshot.nextAgentNumber = 9;
    writeFile(path, snapshot.encode());
    EXPECT_EQ(loadPanesSnapshot(path)->nextAgentNumber, 9);
}

TEST(AgentNames, OnlyDecimalKeysAreKept)
{
    const QString path = makeTempDir() + QStringLiteral("/agent-names.json");
    writeFile(path, R"({"2":"Ada","x":"Nope","+3":"Plus","-1":"Minus","99999999999999999999":"Huge","4 ":"Space"})");
    AgentNameMap names{{7, QStringLiteral("old")}};
    loadAgentNames(path, names);
    EXPECT_EQ(names, (AgentNameMap{{2, QStringLiteral("Ada")}, {3, QStringLiteral("Plus")}, {-1, QStringLiteral("Minus")}}));

    writeFile(path, "[1,2]");
    LogCapture log;
    loadAgentNames(path, names);
    EXPECT_EQ(names.size(), 3);
    EXPECT_TRUE(log.contains(QStringLiteral("[Nerim agents] name load failed: ")));

    AgentNameMap untouched{{1, QStringLiteral("x")}};
    loadAgentNames(path + QStringLiteral(".missing"), untouched);
    EXPECT_EQ(untouched.size(), 1);
}

TEST(AgentNames, SaveWritesDecimalKeysWithoutBackup)
{
    const QString path = makeTempDir() + QStringLiteral("/agent-names.json");
    saveAgentNames(path, {{1, QStringLiteral("Ada")}, {12, QStringLiteral("Grace")}});
    saveAgentNames(path, {{1, QStringLiteral("Ada")}, {12, QStringLiteral("Hopper")}});
    SerialFileWriter::shared().flush();
    EXPECT_EQ(parse(readFile(path)),
              (QJsonObject{{QStringLiteral("1"), QStringLiteral("Ada")}, {QStringLiteral("12"), QStringLiteral("Hopper")}}));
    EXPECT_FALSE(QFile::exists(path + QStringLiteral(".backup")));
    AgentNameMap back;
    loadAgentNames(path, back);
    EXPECT_EQ(back.value(12), QStringLiteral("Hopper"));
}

TEST(ModelPreference, StartsWithSonnetAndWritesNothingUntilChanged)
{
    const QString dir = makeTempDir();
    ModelPreferenceState preference;
    EXPECT_EQ(preference.choice(), ModelChoice::sonnet46);
    preference.persist(); // no URL yet
    preference.setPersistenceURL(QUrl::fromLocalFile(dir + QStringLiteral("/model.json")));
    LogCapture log;
    preference.load();
    EXPECT_EQ(preference.choice(), ModelChoice::sonnet46);
    EXPECT_TRUE(log.lines().isEmpty());
    SerialFileWriter::shared().flush();
    EXPECT_FALSE(QFile::exists(dir + QStringLiteral("/model.json")));
}

TEST(ModelPreference, PersistKeepsThePreviousFileAsBackupAndLoadReadsIt)
{
    const QString path = makeTempDir() + QStringLiteral("/model.json");
    ModelPreferenceState preference;
    int changes = 0;
    QObject::connect(&preference, &ModelPreferenceState::choiceChanged, [&] { ++changes; });
    preference.setPersistenceURL(QUrl::fromLocalFile(path));
    preference.setChoice(ModelChoice::opus47);
    preference.setChoice(ModelChoice::opus47);
    preference.persist();
    SerialFileWriter::shared().flush();
    EXPECT_EQ(readFile(path), QByteArray(R"({"choice":"opus47"})"));
    preference.setChoice(ModelChoice::haiku45);
    preference.persist();
    SerialFileWriter::shared().flush();
    EXPECT_EQ(readFile(path + QStringLiteral(".backup")), QByteArray(R"({"choice":"opus47"})"));
    EXPECT_EQ(changes, 2);

    ModelPreferenceState reopened;
    reopened.setPersistenceURL(QUrl::fromLocalFile(path));
    reopened.load();
    EXPECT_EQ(reopened.choice(), ModelChoice::haiku45);
}

TEST(ModelPreference, BadFilesAreLoggedAndFallBackToTheBackup)
{
    const QString path = makeTempDir() + QStringLiteral("/model.json");
    writeFile(path, R"({"choice":"gpt5"})");
    ModelPreferenceState preference;
    preference.setPersistenceURL(QUrl::fromLocalFile(path));
    LogCapture log;
    preference.load();
    EXPECT_EQ(preference.choice(), ModelChoice::sonnet46);
    ASSERT_EQ(log.lines().size(), 1);
    EXPECT_TRUE(log.lines().first().startsWith(QStringLiteral("[Nerim model] load failed: ")));

    writeFile(path + QStringLiteral(".backup"), R"({"choice":"opus46"})");
    log.clear();
    preference.load();
    EXPECT_EQ(preference.choice(), ModelChoice::opus46);
    EXPECT_TRUE(log.contains(QStringLiteral("restored model.json from its backup")));
}
