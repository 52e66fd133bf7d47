#include "persistence/FileCalls.h"
#include "persistence/IntentProcessorConstants.h"
#include "persistence/MemoryError.h"
#include "persistence/ProjectContextActor.h"
#include "TestAsync.h"
#include "PlantedFiles.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace nerim;

namespace {

using E = ContextEntry;

Timestamp at(const char *iso) { return *Timestamp::fromIso8601(QString::fromLatin1(iso)); }

std::shared_ptr<ProjectContextActor> open(const QString &project, const char *when, const QString &version = QStringLiteral("1.4 (212)"))
{
    return test::await(ProjectContextActor::open(project, version, at(when)));
}

MemoryError openError(const QString &project)
{
    try {
        open(project, "2026-03-14T09:00:00Z");
    } catch (const MemoryError &e) {
        return e;
    }
    throw std::logic_error("open succeeded");
}

quint64 inodeOf(const QString &path)
{
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st.st_ino;
}

} // namespace

// Open, append events of several kinds, reopen, and read back the summary agents get.
TEST(ProjectContextActor, EndToEndMemoryOfAProject)
{
    const QString project = test::makeTempDir(QStringLiteral("My App"));
    {
        auto memory = open(project, "2026-03-14T09:00:00Z");
        EXPECT_EQ(memory->contextURL(), project + QStringLiteral("/.nerim/context.json"));
        test::await(memory->append(E::AgentSpawned{QStringLiteral("A1"), QStringLiteral("Claude 1"), QStringLiteral("designer"),
                                                   QStringLiteral("claudeCode"), 4242, QStringLiteral("sha256:ab")},
                                   at("2026-03-14T09:01:00Z")));
        test::await(memory->append(E::AgentPromptReceived{QStringLiteral("A1"), QStringLiteral("Claude 1"),
                                                          QStringLiteral("Add a login page"), E::PromptSource::text},
                                   at("2026-03-14T09:01:00.700Z")));
        test::await(memory->append(E::AgentTaskComplete{QStringLiteral("A1"), QStringLiteral("Claude 1"),
                                                        QStringLiteral("Login page added"),
                                                        {QStringLiteral("login.html")}, 0},
                                   at("2026-03-14T09:05:00Z")));
        test::await(memory->append(E::AgentExit{QStringLiteral("A1"), QStringLiteral("Claude 1"),
                                                E::ExitReason::cleanCompletion, 0},
                                   at("2026-03-14T09:05:01Z")));
        test::await(memory->append(E::RepairSessionStarted{QStringLiteral("R"), QStringLiteral("Repair"),
                                                           QStringLiteral("portInUse"), QStringLiteral("Port 3000 is busy"), 1},
                                   at("2026-03-14T09:06:00Z")));
        test::await(memory->append(E::RepairSessionEnded{QStringLiteral("R"), QStringLiteral("Repair"),
                                                         E::RepairSessionOutcome::fixed, 1, QStringLiteral("portInUse"),
                                                         std::nullopt},
                                   at("2026-03-14T09:07:00Z")));
        test::await(memory->append(E::DeployStarted{QStringLiteral("D"), QStringLiteral("Deploy"), {QStringLiteral("vercel")},
                                                    QStringLiteral("staticSite"), QStringLiteral("first")},
                                   at("2026-03-14T09:08:00Z")));
        test::await(memory->append(E::DeployEnded{QStringLiteral("D"), QStringLiteral("Deploy"), {QStringLiteral("vercel")},
                                                  E::DeploySessionOutcome::live, QStringLiteral("https://my-app.example"),
                                                  std::nullopt, 1, std::nullopt},
                                   at("2026-03-14T09:09:00Z")));
        test::await(memory->append(E::FileChanged{QStringLiteral("index.html"), E::FileEventKind::modified, std::nullopt,
                                                  QStringLiteral("Claude 1"), false},
                                   at("2026-03-14T09:10:00Z")));
    }

    auto reopened = open(project, "2026-03-15T10:00:00Z", QStringLiteral("1.5"));
    const ContextLog log = test::await(reopened->log());
    ASSERT_EQ(log.entries.size(), 11);
    EXPECT_EQ(log.projectPath, project);
    EXPECT_EQ(log.projectId, test::await(reopened->metadata()).projectId);

    const QString expected = QStringLiteral(
        "- 2026-03-14T09:01:00Z [spawn] Claude 1 (designer, claudeCode) started\n"
        "- 2026-03-14T09:01:00Z [prompt to Claude 1, via text] Add a login page\n"
        "- 2026-03-14T09:05:00Z [Claude 1 complete, exit=0] Login page added [files: login.html]\n"
        "- 2026-03-14T09:05:01Z [Claude 1 exited] reason=cleanCompletion, code=0\n"
        "- 2026-03-14T09:06:00Z [repair started] Repair attempt 1 \u00B7 portInUse: Port 3000 is busy\n"
        "- 2026-03-14T09:07:00Z [repair fixed] Repair after 1 attempt(s) on portInUse\n"
        "- 2026-03-14T09:08:00Z [deploy started] Deploy on vercel (staticSite, first)\n"
        "- 2026-03-14T09:09:00Z [deploy live] Deploy on vercel \u00B7 https://my-app.example \u00B7 1 attempt(s)\n"
        "- 2026-03-14T09:10:00Z [file modified] index.html by Claude 1\n"
        "- 2026-03-15T10:00:00Z [session] Project opened (Nerim 1.5)");
    EXPECT_EQ(test::await(reopened->recentActivitySummary(10)), expected);
    EXPECT_EQ(recentActivitySummary(test::await(reopened->recentEntries(10)), 10), expected);
    EXPECT_EQ(log.entries.first().payload(), E::Payload(E::ProjectOpened{QStringLiteral("1.4 (212)")}));
}

TEST(ProjectContextActor, FirstAndSecondOpen)
{
    const QString project = test::makeTempDir(QStringLiteral("proj"));
    const QString data = project + QStringLiteral("/.nerim");
    auto first = open(project + QStringLiteral("/"), "2026-03-14T09:00:00Z");
    EXPECT_EQ(QDir(data).entryList(QDir::Files), (QStringList{QStringLiteral("context.json"), QStringLiteral("metadata.json")}));
    const ProjectMetadata metadata = test::await(first->metadata());
    EXPECT_EQ(metadata.displayName, QStringLiteral("proj"));
    EXPECT_EQ(ProjectMetadata::decode(test::readFile(data + QStringLiteral("/metadata.json"))), metadata);
    const QByteArray oneEntry = test::readFile(data + QStringLiteral("/context.json"));
    EXPECT_EQ(ContextLog::decode(oneEntry).entries.size(), 1);
    EXPECT_EQ(ContextLog::decode(oneEntry).projectPath, project);
    EXPECT_EQ(first->projectURL(), project);
    first.reset();

    auto second = open(project, "2026-03-14T10:00:00Z");
    EXPECT_EQ(test::await(second->metadata()), metadata);
    EXPECT_EQ(test::await(second->log()).entries.size(), 2);
    EXPECT_EQ(test::readFile(data + QStringLiteral("/context.json.bak")), oneEntry);
}

TEST(ProjectContextActor, FoldersAndTheirFailures)
{
    // A legacy data folder is moved into place and used as it is.
    const QString legacy = test::makeTempDir(QStringLiteral("legacy"));
    ContextLog old{1, QStringLiteral("OLD-ID"), legacy, at("2025-01-01T00:00:00Z"), {}};
    test::writeFile(legacy + QStringLiteral("/.veltra/context.json"), old.encoded());
    test::LogCapture log;
    auto memory = open(legacy, "2026-03-14T09:00:00Z");
    EXPECT_FALSE(QFileInfo::exists(legacy + QStringLiteral("/.veltra")));
    EXPECT_EQ(test::await(memory->log()).projectId, QStringLiteral("OLD-ID"));
    EXPECT_TRUE(log.contains(QStringLiteral("[Nerim memory] Migrated legacy project dotfolder: ")));
    // metadata.json was missing: a new id; the log keeps its own.
    EXPECT_NE(test::await(memory->metadata()).projectId, QStringLiteral("OLD-ID"));

    const QString missing = test::makeTempDir() + QStringLiteral("/gone");
    EXPECT_EQ(openError(missing), MemoryError::projectDirectoryMissing(missing));
    EXPECT_FALSE(QFileInfo::exists(missing));

    // A file in the data folder's place is kept aside, and a real folder made.
    const QString blocked = test::makeTempDir(QStringLiteral("blocked"));
    test::writeFile(blocked + QStringLiteral("/.nerim"), "a file, not a folder");
    open(blocked, "2026-03-14T09:00:00Z");
    EXPECT_TRUE(QFileInfo(blocked + QStringLiteral("/.nerim/context.json")).isFile());
    const QStringList aside = QDir(blocked).entryList({QStringLiteral(".nerim.file-*")}, QDir::Files | QDir::Hidden);
    ASSERT_EQ(aside.size(), 1);
    EXPECT_EQ(test::readFile(blocked + QLatin1Char('/') + aside.first()), QByteArray("a file, not a folder"));
}

TEST(ProjectContextActor, ADataFolderThatIsALinkIsSetAsideAndARealOneMade)
{
    struct Case {
        const char *name;
        const char *linkName; // ".nerim" or the legacy ".veltra"
        const char *leadsTo;  // "elsewhere", "inside" (a folder of the project) or "gone"
    };
    const Case cases[] = {
        {"data folder elsewhere", ".nerim", "elsewhere"},
        {"data folder inside the project", ".nerim", "inside"},
        {"data folder missing elsewhere", ".nerim", "gone"},
        {"legacy folder elsewhere", ".veltra", "elsewhere"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString project = test::makeTempDir(QStringLiteral("project"));
        const QString elsewhere = test::makeTempDir(QStringLiteral("elsewhere"));
        const QString inside = project + QStringLiteral("/data");
        ASSERT_TRUE(QDir().mkpath(inside));
        ASSERT_TRUE(test::writeFile(elsewhere + QStringLiteral("/launch-override.json"), "the user's own"));
        ASSERT_TRUE(test::writeFile(inside + QStringLiteral("/notes.txt"), "the app's own"));
        const QString to = QLatin1String(c.leadsTo) == QLatin1String("inside") ? inside
                           : QLatin1String(c.leadsTo) == QLatin1String("gone") ? elsewhere + QStringLiteral("/gone")
                                                                                 : elsewhere;
        const QString link = project + QLatin1Char('/') + QLatin1String(c.linkName);
        ASSERT_TRUE(test::plantLink(link, to));

        test::LogCapture log;
        open(project, "2026-03-14T09:00:00Z");
        // A real folder holds Nerim's files; nothing was written where the link led.
        EXPECT_FALSE(QFileInfo(project + QStringLiteral("/.nerim")).isSymLink());
        EXPECT_TRUE(QFileInfo(project + QStringLiteral("/.nerim/context.json")).isFile());
        EXPECT_EQ(QDir(elsewhere).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                  QStringList{"launch-override.json"});
        EXPECT_EQ(QDir(inside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                  QStringList{"notes.txt"});
        if (QLatin1String(c.linkName) == QLatin1String(".veltra")) {
            // A legacy link is neither moved nor followed.
            EXPECT_EQ(QFileInfo(link).symLinkTarget(), to);
            continue;
        }
        // The link itself is kept, unfollowed, under a name of its own, and the log says where.
        const QStringList aside = QDir(project).entryList({QStringLiteral(".nerim.link-*")},
                                                         QDir::AllEntries | QDir::Hidden | QDir::System);
        ASSERT_EQ(aside.size(), 1);
        EXPECT_EQ(QFileInfo(project + QLatin1Char('/') + aside.first()).symLinkTarget(), to);
        EXPECT_TRUE(log.contains(QStringLiteral("[Nerim memory] Set aside %1/.nerim, a symbolic link to %2, as %3")
                                     .arg(project, to, aside.first())));
    }

    // The caller that opens the project first is given the sentence for the user.
    const QString project = test::makeTempDir(QStringLiteral("project"));
    ASSERT_TRUE(test::plantLink(project + QStringLiteral("/.nerim"), QStringLiteral("/")));
    QString notice;
    EXPECT_EQ(IntentProcessorConstants::projectDotfolder(project, &notice), project + QStringLiteral("/.nerim"));
    EXPECT_TRUE(notice.startsWith(QStringLiteral("This project's .nerim was a link to /, which Nerim doesn't follow. "
                                                 "It was set aside as .nerim.link-")))
        << notice.toStdString();
    notice.clear();
    IntentProcessorConstants::projectDotfolder(project, &notice);
    EXPECT_TRUE(notice.isEmpty());
}

TEST(ProjectContextActor, LinksPlantedInTheDataFolderAreNeverReadOrWrittenThrough)
{
    const QString project = test::makeTempDir(QStringLiteral("project"));
    const QString data = project + QStringLiteral("/.nerim");
    const QString context = data + QStringLiteral("/context.json");
    const QString metadata = data + QStringLiteral("/metadata.json");
    const test::PlantedLinks links(test::writerNames(context, context + QStringLiteral(".bak")) +
                                   QStringList{metadata + QStringLiteral(".tmp")});
    // context.json is a link: it is not read, and with no backup the open fails.
    EXPECT_EQ(openError(project).primaryReason(), QStringLiteral("it is a symbolic link, which is not followed"));
    ASSERT_TRUE(QFile::remove(context));
    ASSERT_TRUE(QFile::remove(context + QStringLiteral(".bak")));

    auto memory = open(project, "2026-03-14T09:00:00Z");
    test::await(memory->append(E::ProjectOpened{QStringLiteral("again")}, at("2026-03-14T09:01:00Z")));
    test::await(memory->saveMetadata());
    links.expectOutsideUntouched();
    EXPECT_EQ(test::await(memory->log()).entries.size(), 2);

    // A metadata.json that is a pipe is refused at once rather than waited on.
    memory.reset();
    ASSERT_TRUE(QFile::remove(metadata));
    ASSERT_TRUE(test::plantFifo(metadata));
    const MemoryError error = openError(project);
    EXPECT_EQ(error, MemoryError::readFailed(metadata, QStringLiteral("it is a named pipe, not a regular file")));
}

TEST(ProjectContextActor, DamagedAndForeignDocuments)
{
    // context.json damaged, backup good: restored, logged, rewritten.
    const QString project = test::makeTempDir(QStringLiteral("p"));
    open(project, "2026-03-14T09:00:00Z");
    open(project, "2026-03-14T09:30:00Z");
    const QString context = project + QStringLiteral("/.nerim/context.json");
    test::writeFile(context, "{\"schemaVersion\":1,");
    test::LogCapture log;
    auto restored = open(project, "2026-03-14T10:00:00Z");
    EXPECT_EQ(test::await(restored->log()).entries.size(), 2);
    ASSERT_EQ(log.lines().size(), 2);
    EXPECT_TRUE(log.lines().first().startsWith(QStringLiteral("[Nerim memory] Recovered context.json from backup for project ") +
                                               project + QStringLiteral(". Primary cause: ")));
    EXPECT_EQ(ContextLog::decode(test::readFile(context)).entries.size(), 2);
    // The damaged file is kept aside, named in the log, never overwritten by the saves that follow.
    const QStringList kept =
        QDir(project + QStringLiteral("/.nerim")).entryList({QStringLiteral("context.json.unreadable-*")}, QDir::Files);
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(test::readFile(project + QStringLiteral("/.nerim/") + kept.first()), QByteArray("{\"schemaVersion\":1,"));
    EXPECT_TRUE(log.lines().last().endsWith(QStringLiteral("/.nerim/") + kept.first()));
    test::await(restored->append(E::ProjectOpened{}, at("2026-03-14T10:01:00Z")));
    EXPECT_EQ(test::readFile(project + QStringLiteral("/.nerim/") + kept.first()), QByteArray("{\"schemaVersion\":1,"));
    restored.reset();

    struct Case {
        const char *file;
        QByteArray bytes;
        MemoryError::Kind kind;
    };
    ContextLog newer{2, QStringLiteral("X"), project, at("2026-01-01T00:00:00Z"), {}};
    ContextLog unordered{1, QStringLiteral("X"), project, at("2026-01-01T00:00:00Z"),
                         {ContextEntry(QStringLiteral("1"), at("2026-01-01T00:00:02Z"), E::ProjectOpened{}),
                          ContextEntry(QStringLiteral("2"), at("2026-01-01T00:00:01Z"), E::ProjectOpened{})}};
    const Case cases[] = {
        {"metadata.json", R"({"schemaVersion":2})", MemoryError::Kind::schemaVersionMismatch},
        {"context.json", newer.encoded(), MemoryError::Kind::schemaVersionMismatch},
        {"context.json", unordered.encoded(), MemoryError::Kind::entriesNotChronological},
    };
    for (const auto &c : cases) {
        const QString p = test::makeTempDir(QStringLiteral("case"));
        open(p, "2026-03-14T09:00:00Z");
        const QString path = p + QStringLiteral("/.nerim/") + QString::fromLatin1(c.file);
        test::writeFile(path, c.bytes);
        const MemoryError error = openError(p);
        EXPECT_EQ(error.kind(), c.kind) << c.file;
        EXPECT_EQ(error.filePath(), path);
        EXPECT_EQ(test::readFile(path), c.bytes); // left as it was
    }
}

TEST(ProjectContextActor, UndecodableMetadataIsRegeneratedWithTheLogsId)
{
    const QString project = test::makeTempDir(QStringLiteral("p"));
    const QString id = test::await(open(project, "2026-03-14T09:00:00Z")->metadata()).projectId;
    const QString metadataPath = project + QStringLiteral("/.nerim/metadata.json");
    test::writeFile(metadataPath, "{\"projectId\": 12");
    test::LogCapture log;
    auto memory = open(project, "2026-03-14T10:00:00Z");
    EXPECT_EQ(test::await(memory->metadata()).projectId, id);
    EXPECT_EQ(ProjectMetadata::decode(test::readFile(metadataPath)).projectId, id);
    EXPECT_EQ(log.lines().size(), 1);
    EXPECT_TRUE(log.contains(QStringLiteral("[Nerim memory] Regenerated unreadable metadata.json for project ")));

    // A metadata.json that cannot be read at all is reported, not replaced.
    QFile::remove(metadataPath);
    QDir().mkpath(metadataPath);
    EXPECT_EQ(openError(project).kind(), MemoryError::Kind::readFailed);
    EXPECT_TRUE(QFileInfo(metadataPath).isDir());
}

TEST(ProjectContextActor, MetadataIsReplacedInOneStep)
{
    const QString project = test::makeTempDir(QStringLiteral("p"));
    auto memory = open(project, "2026-03-14T09:00:00Z");
    const QString metadataPath = project + QStringLiteral("/.nerim/metadata.json");
    const QString leftover = metadataPath + QStringLiteral(".tmp");
    test::writeFile(leftover, "stale");
    const quint64 before = inodeOf(metadataPath);
    test::await(memory->saveMetadata());
    EXPECT_FALSE(QFileInfo::exists(leftover));
    EXPECT_NE(inodeOf(metadataPath), before); // renamed over, never deleted first
    EXPECT_NO_THROW(ProjectMetadata::decode(test::readFile(metadataPath)));
    const QByteArray bytes = test::readFile(metadataPath);
    EXPECT_LT(bytes.indexOf("createdAt"), bytes.indexOf("displayName"));
    EXPECT_LT(bytes.indexOf("projectId"), bytes.indexOf("schemaVersion"));
}

TEST(ProjectContextActor, ClockSteppedBackKeepsTheLogOpenable)
{
    const QString project = test::makeTempDir(QStringLiteral("p"));
    auto memory = open(project, "2026-03-14T12:00:00Z");
    const ContextEntry entry = test::await(memory->append(
        E::AgentExit{QStringLiteral("a"), QStringLiteral("A"), E::ExitReason::userKilled, 143}, at("2026-03-14T11:00:00Z")));
    EXPECT_EQ(entry.timestamp(), at("2026-03-14T12:00:00Z"));
    const ContextEntry made(QStringLiteral("MADE-BY-CALLER"), at("2026-03-14T08:00:00Z"), E::ProjectOpened{});
    const ContextEntry stored = test::await(memory->appendEntry(made));
    EXPECT_EQ(stored.id(), made.id());
    EXPECT_EQ(stored.timestamp(), at("2026-03-14T12:00:00Z"));
    memory.reset();
    auto again = open(project, "2026-03-14T10:00:00Z");
    EXPECT_EQ(test::await(again->log()).entries.size(), 4);
}

TEST(ProjectContextActor, FailedAppendKeepsTheEntryForTheNextSave)
{
    const QString project = test::makeTempDir(QStringLiteral("p"));
    auto memory = open(project, "2026-03-14T09:00:00Z");
    const QString context = project + QStringLiteral("/.nerim/context.json");
    fileCalls::detail::setHook([](fileCalls::Call call, int, const char *, qint64) { return call != fileCalls::Call::create; });
    EXPECT_THROW(test::await(memory->append(E::ProjectOpened{QStringLiteral("x")}, at("2026-03-14T09:01:00Z"))),
                 MemoryError);
    fileCalls::detail::setHook({});
    EXPECT_EQ(test::await(memory->log()).entries.size(), 2);
    EXPECT_EQ(ContextLog::decode(test::readFile(context)).entries.size(), 1);
    test::await(memory->save());
    EXPECT_EQ(ContextLog::decode(test::readFile(context)).entries.size(), 2);
}
