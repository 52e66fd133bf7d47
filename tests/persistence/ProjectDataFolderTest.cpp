// The door to a project's `.nerim`: one writer whatever is in the lock's way
// or done to its file, and saves that fail are retried and told once.
#include "persistence/ProjectDataFolder.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace nerim;

namespace {

using Access = ProjectDataFolder::Access;

// Opens doors as separate processes would: none shared between them.
struct Unshared {
    Unshared() { detail::shareDataFolderDoors(false); }
    ~Unshared() { detail::shareDataFolderDoors(true); }
};

std::shared_ptr<ProjectDataFolder> openDoor(const QString &project) { return ProjectDataFolder::open(project).folder; }

QStringList listing(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

// Whatever is in the way (a `.nerim` that is a file or a pipe, a lock file
// that is a folder or a pipe), and whatever is done to the lock file while it
// is held, the project opens and exactly one door writes.
TEST(ProjectDataFolder, OneWriterWhateverIsInTheWayOrDoneToTheLockFile)
{
    const Unshared unshared;
    struct Case {
        const char *name;
        std::function<void(const QString &project)> plant;
        const char *keptAside; // what the thing in the way is kept as, in the project or its .nerim
    };
    const Case cases[] = {
        {".nerim is a file", [](const QString &p) { test::writeFile(p + "/.nerim", "tracked by a clone"); },
         ".nerim.file-"},
        {".nerim is a pipe", [](const QString &p) { ASSERT_EQ(::mkfifo(QFile::encodeName(p + "/.nerim"), 0600), 0); },
         ".nerim.pipe-"},
        {"writer.lock is a folder", [](const QString &p) { QDir().mkpath(p + "/.nerim/writer.lock/inside"); },
         "writer.lock.not-a-file-"},
        {"writer.lock is a pipe",
         [](const QString &p) {
             QDir().mkpath(p + "/.nerim");
             ASSERT_EQ(::mkfifo(QFile::encodeName(p + "/.nerim/writer.lock"), 0600), 0);
         },
         "writer.lock.not-a-file-"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString project = test::makeTempDir(QStringLiteral("project"));
        c.plant(project);
        const ProjectDataFolder::Opened first = ProjectDataFolder::open(project);
        EXPECT_EQ(first.folder->access(), Access::writer);
        EXPECT_TRUE(first.folder->canWrite());
        EXPECT_FALSE(first.notice.isEmpty()) << "the user is told what was set aside";
        const QString where = QByteArray(c.keptAside).startsWith(".nerim.") ? project : project + "/.nerim";
        EXPECT_EQ(listing(where).filter(QLatin1String(c.keptAside)).size(), 1) << listing(where).join(' ').toStdString();
        EXPECT_EQ(openDoor(project)->access(), Access::readOnly);
    }

    // The lock file deleted, then replaced, while the first holds the project.
    const QString project = test::makeTempDir(QStringLiteral("project"));
    const std::shared_ptr<ProjectDataFolder> first = openDoor(project);
    ASSERT_EQ(first->access(), Access::writer);
    const QString lockFile = project + QStringLiteral("/.nerim/writer.lock");
    QFile::remove(lockFile);
    EXPECT_EQ(openDoor(project)->access(), Access::readOnly);
    test::writeFile(lockFile + QStringLiteral(".new"), "someone else's");
    ASSERT_EQ(::rename(QFile::encodeName(lockFile + ".new"), QFile::encodeName(lockFile)), 0);
    EXPECT_EQ(openDoor(project)->access(), Access::readOnly);
    EXPECT_TRUE(first->canWrite());

    // Where the folder cannot be locked (NFS), the lock file is: replaced
    // while held, the first stops writing and says so, once per kind.
    detail::lockDataFolderWithFile(true);
    const auto back = qScopeGuard([] { detail::lockDataFolderWithFile(false); });
    const QString nfs = test::makeTempDir(QStringLiteral("nfs"));
    const std::shared_ptr<ProjectDataFolder> holder = openDoor(nfs);
    ASSERT_EQ(holder->access(), Access::writer);
    EXPECT_EQ(openDoor(nfs)->access(), Access::readOnly);
    QList<ProjectDataFolder::Event> told;
    holder->setListener([&told](const ProjectDataFolder::Event &event) { told.append(event); });
    holder->write(ProjectDataFolder::Kind::modelChoice, QStringLiteral("model.json"), "1", QStringLiteral("model.json.backup"));
    const QString nfsLock = nfs + QStringLiteral("/.nerim/writer.lock");
    test::writeFile(nfsLock + QStringLiteral(".new"), "another machine's");
    ASSERT_EQ(::rename(QFile::encodeName(nfsLock + ".new"), QFile::encodeName(nfsLock)), 0);
    EXPECT_FALSE(holder->canWrite());
    for (int i = 0; i < 3; ++i)
        EXPECT_THROW(holder->write(ProjectDataFolder::Kind::modelChoice, QStringLiteral("model.json"), "2",
                                   QStringLiteral("model.json.backup")),
                     ProjectDataFolder::NotWriter);
    EXPECT_EQ(test::readFile(nfs + QStringLiteral("/.nerim/model.json")), QByteArray("1"));
    ASSERT_EQ(told.size(), 1);
    EXPECT_EQ(told.first().type, ProjectDataFolder::Event::Type::lockLost);
}
