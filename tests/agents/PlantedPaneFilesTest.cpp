// panes.json, model.json and agent-names.json in a project folder that came
// from anywhere: whatever sits in their place is never written through, never
// waited on and never read without bound.
#include "PlantedFiles.h"
#include "TestEnvironment.h"
#include "agents/AgentNames.h"
#include "agents/ModelPreferenceState.h"
#include "panes-store/PanesSnapshot.h"
#include "panes-store/PanesSnapshotStore.h"
#include "panes-store/PanesLoadResult.h"
#include "foundation/RegularFile.h"
#include "foundation/SerialFileWriter.h"
#include "foundation/UuidText.h"
#include "persistence/AtomicFileWriter.h"

#include <QFileInfo>
#include <functional>
#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::test;

namespace {

PanesSnapshot panesOf(int next)
{
    PaneDiskSnapshot pane;
    pane.id = newUuid();
    pane.agentId = uuidText(newUuid());
    pane.agentName = QStringLiteral("Claude 1");
    pane.paneNumber = 1;
    PanesSnapshot snapshot;
    snapshot.panes = {pane};
    snapshot.nextAgentNumber = next;
    return snapshot;
}

const ModelChoice choices[] = {ModelChoice::opus47, ModelChoice::haiku45, ModelChoice::opus48};

// One of the three files, driven through its own load and save functions.
struct PaneFile {
    const char *fileName;
    bool keepsBackup;
    QString loadFailure; // the start of the log line of a refused load
    std::function<void(const QString &path, int generation)> save;
    // What a load found, as text; empty when nothing was taken from the file.
    std::function<QString(const QString &path)> load;
    QByteArray validDocument;
};

QList<PaneFile> paneFiles()
{
    return {
        {"panes.json", true, QStringLiteral("[Nerim panes] load failed: "),
         [](const QString &path, int generation) { savePanesSnapshot(path, panesOf(generation + 1)); },
         [](const QString &path) {
             const auto snapshot = loadPanesSnapshot(path);
             return snapshot ? QString::number(snapshot->nextAgentNumber) : QString();
         },
         panesOf(7).encode()},
        {"model.json", true, QStringLiteral("[Nerim model] load failed: "),
         [](const QString &path, int generation) {
             ModelPreferenceState state;
             state.setPersistenceURL(QUrl::fromLocalFile(path));
             state.setChoice(choices[generation % 3]);
             state.persist();
         },
         [](const QString &path) {
             ModelPreferenceState state;
             state.setPersistenceURL(QUrl::fromLocalFile(path));
             state.load();
             return state.choice() == ModelPreferenceState().choice() ? QString() : rawValue(state.choice());
         },
         ModelPreferenceState::encodeSnapshot(ModelChoice::opus47)},
        {"agent-names.json", false, QStringLiteral("[Nerim agents] name load failed: "),
         [](const QString &path, int generation) {
             saveAgentNames(path, {{1, QStringLiteral("Ada %1").arg(generation)}});
         },
         [](const QString &path) {
             AgentNameMap names;
             loadAgentNames(path, names);
             return names.value(1);
         },
         R"({"1":"Planted"})"},
    };
}

} // namespace

TEST(PlantedPaneFiles, LinksAtTheFileOrItsBackupAreReplacedNeverWrittenThrough)
{
    for (const PaneFile &file : paneFiles()) {
        SCOPED_TRACE(file.fileName);
        const QString path = makeTempDir(QStringLiteral("project")) + QStringLiteral("/.nerim/") + file.fileName;
        const QString backup = AtomicFileWriter::backupPathFor(path);
        const PlantedLinks links(writerNames(path, backup));
        for (int generation = 0; generation < 3; ++generation) {
            file.save(path, generation);
            SerialFileWriter::shared().flush();
        }
        links.expectOutsideUntouched();
        EXPECT_FALSE(QFileInfo(path).isSymLink());
        EXPECT_FALSE(file.load(path).isEmpty());
        if (file.keepsBackup) {
            EXPECT_FALSE(QFileInfo(backup).isSymLink());
        }
    }
}

TEST(PlantedPaneFiles, PipesDevicesLinksAndHugeFilesAreRefusedAtOnce)
{
    struct Plant {
        const char *name;
        std::function<bool(const QString &path, const QByteArray &validDocument)> make;
        QString reason;
    };
    const Plant plants[] = {
        {"named pipe", [](const QString &path, const QByteArray &) { return plantFifo(path); },
         QStringLiteral("it is a named pipe, not a regular file")},
        {"link to /dev/zero", [](const QString &path, const QByteArray &) { return plantLink(path, QStringLiteral("/dev/zero")); },
         QStringLiteral("it is a symbolic link, which is not followed")},
        {"link to a valid file elsewhere",
         [](const QString &path, const QByteArray &valid) { return !plantLinkToOutsideFile(path, valid).isEmpty(); },
         QStringLiteral("it is a symbolic link, which is not followed")},
        {"huge file", [](const QString &path, const QByteArray &) { return plantSparseFile(path, RegularFile::maxReadBytes + 1); },
         QStringLiteral("it is larger than 64 MiB, the most Nerim reads of one file")},
    };
    for (const PaneFile &file : paneFiles()) {
        for (const Plant &plant : plants) {
            SCOPED_TRACE(std::string(file.fileName) + ", " + plant.name);
            const QString path = makeTempDir(QStringLiteral("project")) + QStringLiteral("/.nerim/") + file.fileName;
            ASSERT_TRUE(plant.make(path, file.validDocument));
            LogCapture log;
            EXPECT_EQ(file.load(path), QString());
            // panes.json is read in pieces at any size: a huge file is refused
            // as soon as it is seen not to be one this program wrote.
            const bool readInPieces = std::string_view(file.fileName) == "panes.json";
            const QString reason = readInPieces && std::string_view(plant.name) == "huge file"
                                       ? QStringLiteral("it is larger than 64 MiB and not in the form Nerim writes")
                                       : plant.reason;
            EXPECT_TRUE(log.contains(file.loadFailure + reason)) << log.lines().join(QLatin1Char('\n')).toStdString();
        }
    }
}
