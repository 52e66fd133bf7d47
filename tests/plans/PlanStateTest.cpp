#include "plans/PlanState.h"

#include "PlantedFiles.h"
#include "TestEnvironment.h"
#include "foundation/SerialFileWriter.h"
#include "foundation/UuidText.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace nerim;

namespace {

const QString stepId = QStringLiteral("0B5E6C1A-1111-4222-8333-944455556666");
const QString turnId = QStringLiteral("7C2D9E3F-AAAA-4BBB-8CCC-DDDDEEEEFFFF");

QByteArray samplePlanJson(const QString &status = QStringLiteral("done"), bool withConversation = true)
{
    QJsonObject step{{"id", stepId}, {"title", "Add contact form"}, {"detail", "Use app/api/contact"}, {"status", status}};
    QJsonObject root{{"goal", "A site for a bakery"}, {"steps", QJsonArray{step}}};
    if (withConversation) {
        QJsonObject turn{{"id", turnId}, {"role", "agent"}, {"content", "Sounds good"},
                         {"timestamp", 786000000.123456789}, {"revisedPlan", true}};
        root.insert("conversation", QJsonArray{turn});
    }
    return QJsonDocument(root).toJson();
}

struct PlanFile {
    QString dir = test::makeTempDir(QStringLiteral("project/.nerim"));
    QString path = dir + QStringLiteral("/plan.json");
    QString backup = path + QStringLiteral(".backup");
};

QJsonObject readJson(const QString &path) { return QJsonDocument::fromJson(test::readFile(path)).object(); }

} // namespace

TEST(PlanState, LoadsPlanJsonAndSavesItBackPrettyWithSortedKeysAndNumberDates)
{
    PlanFile file;
    ASSERT_TRUE(test::writeFile(file.path, samplePlanJson()));
    PlanState plan;
    plan.setPersistenceURL(file.path);
    plan.load();
    ASSERT_EQ(plan.steps().size(), 1);
    EXPECT_EQ(uuidText(plan.steps()[0].id), stepId);
    EXPECT_EQ(plan.steps()[0].status, PlanStep::Status::done);
    EXPECT_EQ(plan.goal(), QStringLiteral("A site for a bakery"));
    ASSERT_EQ(plan.conversation().size(), 1);
    const PlanTurn loaded = plan.conversation()[0];
    EXPECT_EQ(loaded.role, PlanTurn::Role::agent);
    EXPECT_TRUE(loaded.revisedPlan);

    plan.appendUserTurn(QStringLiteral("  next question \n"));
    SerialFileWriter::shared().flush();

    const QByteArray bytes = test::readFile(file.path);
    EXPECT_TRUE(bytes.contains("\n    \"conversation\": [")) << bytes.constData(); // indented, sorted first
    const QJsonObject root = readJson(file.path);
    const QJsonArray turns = root["conversation"].toArray();
    ASSERT_EQ(turns.size(), 2);
    EXPECT_EQ(turns[0].toObject()["timestamp"].toDouble(), 786000000.123456789); // survives unchanged
    EXPECT_EQ(turns[1].toObject()["content"].toString(), QStringLiteral("next question"));
    EXPECT_EQ(turns[1].toObject()["role"].toString(), QStringLiteral("user"));
    EXPECT_FALSE(turns[1].toObject()["revisedPlan"].toBool());
    const QString newId = turns[1].toObject()["id"].toString();
    EXPECT_EQ(newId, newId.toUpper());
    EXPECT_TRUE(parseUuid(newId).has_value());
    EXPECT_EQ(root["steps"].toArray()[0].toObject()["status"].toString(), QStringLiteral("done"));
    EXPECT_EQ(test::readFile(file.backup), samplePlanJson()); // the replaced version

    PlanState reloaded;
    reloaded.setPersistenceURL(file.path);
    reloaded.load();
    EXPECT_EQ(reloaded.conversation(), plan.conversation());
    EXPECT_EQ(reloaded.steps(), plan.steps());
}

TEST(PlanState, PlanWithoutConversationLoadsAndIsSavedWithAnEmptyArray)
{
    PlanFile file;
    ASSERT_TRUE(test::writeFile(file.path, samplePlanJson(QStringLiteral("pending"), false)));
    PlanState plan;
    plan.setPersistenceURL(file.path);
    plan.load();
    EXPECT_EQ(plan.steps().size(), 1);
    EXPECT_TRUE(plan.conversation().isEmpty());
    plan.setStepStatus(plan.steps()[0].id, PlanStep::Status::pending); // same status still saves
    SerialFileWriter::shared().flush();
    const QJsonObject root = readJson(file.path);
    ASSERT_TRUE(root.contains("conversation"));
    EXPECT_TRUE(root["conversation"].toArray().isEmpty());
}

TEST(PlanState, UnreadablePlanFallsBackToTheBackup)
{
    PlanFile file;
    ASSERT_TRUE(test::writeFile(file.path, samplePlanJson(QStringLiteral("blocked"))));
    ASSERT_TRUE(test::writeFile(file.backup, samplePlanJson()));
    test::LogCapture log;
    PlanState plan;
    plan.setPersistenceURL(file.path);
    plan.load();
    ASSERT_EQ(plan.steps().size(), 1);
    EXPECT_EQ(plan.steps()[0].status, PlanStep::Status::done);
    EXPECT_TRUE(log.contains(QStringLiteral("[Nerim plans] load failed: ")));

    // The unreadable newer file is kept aside instead of being rotated away.
    plan.appendUserTurn(QStringLiteral("hi"));
    SerialFileWriter::shared().flush();
    const QStringList aside = QDir(file.dir).entryList({QStringLiteral("plan.json.unreadable-*")});
    ASSERT_EQ(aside.size(), 1);
    EXPECT_EQ(test::readFile(file.dir + "/" + aside[0]), samplePlanJson(QStringLiteral("blocked")));
}

TEST(PlanState, BothFilesUnreadableLeavesThePlanEmptyAndNothingIsLost)
{
    PlanFile file;
    const QByteArray newer = samplePlanJson(QStringLiteral("blocked"));
    ASSERT_TRUE(test::writeFile(file.path, newer));
    ASSERT_TRUE(test::writeFile(file.backup, "{ not json"));
    test::LogCapture log;
    PlanState plan;
    QSignalSpy goalSpy(&plan, &PlanState::goalChanged);
    plan.setPersistenceURL(file.path);
    plan.load();
    EXPECT_TRUE(plan.steps().isEmpty());
    EXPECT_TRUE(plan.goal().isEmpty());
    EXPECT_TRUE(plan.conversation().isEmpty());
    EXPECT_EQ(goalSpy.count(), 0);
    EXPECT_TRUE(log.contains(QStringLiteral("[Nerim plans] load failed: ")));

    // Two saves: the unreadable file must still exist somewhere afterwards.
    plan.appendUserTurn(QStringLiteral("one"));
    SerialFileWriter::shared().flush();
    plan.appendUserTurn(QStringLiteral("two"));
    SerialFileWriter::shared().flush();
    const QStringList aside = QDir(file.dir).entryList({QStringLiteral("plan.json.unreadable-*")});
    ASSERT_EQ(aside.size(), 1);
    EXPECT_EQ(test::readFile(file.dir + "/" + aside[0]), newer);
    EXPECT_EQ(readJson(file.path)["conversation"].toArray().size(), 2);
    // The damaged backup (an older plan) is kept too, never overwritten; the log names both.
    const QStringList backupAside = QDir(file.dir).entryList({QStringLiteral("plan.json.backup.unreadable-*")});
    ASSERT_EQ(backupAside.size(), 1);
    EXPECT_EQ(test::readFile(file.dir + "/" + backupAside[0]), QByteArray("{ not json"));
    for (const QString &kept : {aside[0], backupAside[0]})
        EXPECT_TRUE(log.contains(QStringLiteral(" aside to %1/%2").arg(file.dir, kept))) << kept.toStdString();
}

TEST(PlanState, BlankTurnsAndUnknownStepIdsWriteNothing)
{
    PlanFile file;
    PlanState plan;
    plan.setPersistenceURL(file.path);
    QSignalSpy conversationSpy(&plan, &PlanState::conversationChanged);
    QSignalSpy stepsSpy(&plan, &PlanState::stepsChanged);
    plan.appendUserTurn(QStringLiteral(" \n\t "));
    plan.appendAgentTurn(QStringLiteral("\n"), true);
    plan.setStepStatus(newUuid(), PlanStep::Status::done);
    SerialFileWriter::shared().flush();
    EXPECT_FALSE(QFileInfo::exists(file.path));
    EXPECT_EQ(conversationSpy.count(), 0);
    EXPECT_EQ(stepsSpy.count(), 0);
}

TEST(PlanState, SetStepStatusAlwaysNotifiesAndOtherSettersOnlyOnChange)
{
    PlanState plan;
    const PlanStep step{newUuid(), QStringLiteral("t"), QString(), PlanStep::Status::inProgress};
    QSignalSpy stepsSpy(&plan, &PlanState::stepsChanged);
    QSignalSpy errorSpy(&plan, &PlanState::lastErrorChanged);
    QSignalSpy openSpy(&plan, &PlanState::openWorkspaceFileChanged);
    plan.setSteps({step});
    plan.setSteps({step});
    EXPECT_EQ(stepsSpy.count(), 1);
    plan.setStepStatus(step.id, PlanStep::Status::inProgress);
    EXPECT_EQ(stepsSpy.count(), 2);
    plan.setLastError(QString());
    plan.setLastError(QString());
    plan.setLastError(std::nullopt);
    EXPECT_EQ(errorSpy.count(), 2); // absent → "" → absent
    plan.setOpenWorkspaceFile(QStringLiteral("overview.md"));
    plan.setOpenWorkspaceFile(QStringLiteral("overview.md"));
    EXPECT_EQ(openSpy.count(), 1);
}

TEST(PlanState, PanelToggles)
{
    PlanState plan;
    plan.toggleExpanded(); // hidden → shown and expanded
    EXPECT_TRUE(plan.isVisible());
    EXPECT_TRUE(plan.isExpanded());
    plan.toggleVisibility(); // hiding clears expanded mode
    EXPECT_FALSE(plan.isVisible());
    EXPECT_FALSE(plan.isExpanded());
    plan.toggleVisibility();
    EXPECT_TRUE(plan.isVisible());
    EXPECT_FALSE(plan.isExpanded());
    plan.toggleExpanded();
    plan.close();
    EXPECT_FALSE(plan.isVisible());
    EXPECT_FALSE(plan.isExpanded());
}

TEST(PlanState, RapidSavesEndWithTheLatestSnapshotAndNoPathMeansNoFile)
{
    PlanFile file;
    PlanState plan;
    plan.appendUserTurn(QStringLiteral("before any location")); // nothing to save to
    plan.setPersistenceURL(file.path);
    for (int i = 0; i < 40; ++i)
        plan.appendAgentTurn(QStringLiteral("turn %1").arg(i), false);
    SerialFileWriter::shared().flush();
    const QJsonArray turns = readJson(file.path)["conversation"].toArray();
    ASSERT_EQ(turns.size(), 41);
    EXPECT_EQ(turns.last().toObject()["content"].toString(), QStringLiteral("turn 39"));
    EXPECT_FALSE(QFileInfo::exists(file.path + QStringLiteral(".tmp")));
}

TEST(PlanState, PlantedLinksAreNeitherReadNorWrittenThrough)
{
    PlanFile file;
    const test::PlantedLinks links(test::writerNames(file.path, file.backup));
    // The links hold no plan of this project; a copy of a valid one elsewhere is not taken either.
    test::writeFile(links.outsideFiles().first(), samplePlanJson());
    PlanState plan;
    plan.setPersistenceURL(file.path);
    test::LogCapture log;
    plan.load();
    EXPECT_TRUE(plan.steps().isEmpty());
    EXPECT_TRUE(log.contains(QStringLiteral("it is a symbolic link, which is not followed")));

    for (const char *goal : {"one", "two", "three"}) {
        plan.setGoal(QString::fromLatin1(goal));
        plan.persist();
        SerialFileWriter::shared().flush();
    }
    EXPECT_EQ(test::readFile(links.outsideFiles().first()), samplePlanJson());
    for (const QString &outside : links.outsideFiles().mid(1))
        EXPECT_TRUE(test::readFile(outside).startsWith("private text of the user")) << outside.toStdString();
    EXPECT_EQ(readJson(file.path).value(QStringLiteral("goal")).toString(), QStringLiteral("three"));
    EXPECT_EQ(readJson(file.backup).value(QStringLiteral("goal")).toString(), QStringLiteral("two"));
}
