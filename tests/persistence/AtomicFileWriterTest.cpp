#include "foundation/Json.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/FileCalls.h"
#include "PlantedFiles.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <gtest/gtest.h>
#include <cerrno>
#include <fcntl.h>
#include <csignal>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

using namespace nerim;

namespace {

QString decodeJson(const QByteArray &bytes)
{
    return JsonObjectReader::parse(bytes).string(QStringLiteral("v"));
}

AtomicFileWriter::ReadResult<QString> readJson(const QString &primary, const QString &backup)
{
    return AtomicFileWriter::read<QString>(primary, backup, &decodeJson);
}

QByteArray doc(const char *v) { return QByteArray("{\"v\":\"") + v + "\"}"; }

mode_t modeOf(const QString &path)
{
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}

MemoryError bothUnreadable(const QString &primary, const QString &backup)
{
    try {
        readJson(primary, backup);
    } catch (const MemoryError &e) {
        return e;
    }
    throw std::logic_error("read succeeded");
}

} // namespace

TEST(AtomicFileWriter, GenerationsFoldersAndLeftovers)
{
    const QString dir = test::makeTempDir() + QStringLiteral("/folder");
    const QString target = dir + QStringLiteral("/panes.json");
    const QString backup = AtomicFileWriter::backupPathFor(target);
    EXPECT_EQ(backup, dir + QStringLiteral("/panes.json.backup"));

    AtomicFileWriter::write(doc("1"), target, backup);
    EXPECT_EQ(test::readFile(target), doc("1"));
    EXPECT_FALSE(QFileInfo::exists(backup)); // the first write leaves no backup

    AtomicFileWriter::write(doc("2"), target, backup);
    EXPECT_EQ(test::readFile(target), doc("2"));
    EXPECT_EQ(test::readFile(backup), doc("1"));

    // A stale temporary file from an interrupted write is replaced, not appended to.
    test::writeFile(target + QStringLiteral(".tmp"), QByteArray(100, 'x'));
    AtomicFileWriter::write(doc("3"), target, backup);
    EXPECT_EQ(test::readFile(target), doc("3"));
    EXPECT_EQ(test::readFile(backup), doc("2"));
    EXPECT_FALSE(QFileInfo::exists(target + QStringLiteral(".tmp")));

    AtomicFileWriter::write(QByteArray(), target, backup);
    EXPECT_TRUE(QFileInfo::exists(target));
    EXPECT_EQ(QFileInfo(target).size(), 0);

    // A backup in another folder: both folders are created.
    const QString other = test::makeTempDir() + QStringLiteral("/b/x.json");
    const QString otherBackup = test::makeTempDir() + QStringLiteral("/d/x.json.bak");
    AtomicFileWriter::write(doc("a"), other, otherBackup);
    AtomicFileWriter::write(doc("b"), other, otherBackup);
    EXPECT_EQ(test::readFile(otherBackup), doc("a"));
    EXPECT_EQ(QDir(QFileInfo(other).absolutePath()).entryList(QDir::Files), QStringList{QStringLiteral("x.json")});

    // Only the file's own folder is made: a folder above it that is gone (a
    // deleted or unmounted project) is never made again, the write fails.
    const QString project = test::makeTempDir() + QStringLiteral("/project");
    const QString inGone = project + QStringLiteral("/.nerim/panes.json");
    EXPECT_THROW(AtomicFileWriter::write(doc("x"), inGone, AtomicFileWriter::backupPathFor(inGone)), MemoryError);
    EXPECT_THROW(AtomicFileWriter::replace(doc("x"), inGone), MemoryError);
    EXPECT_FALSE(QFileInfo::exists(project));
    EXPECT_FALSE(AtomicFileWriter::makeFolder(project + QStringLiteral("/.nerim")));
    EXPECT_FALSE(QFileInfo::exists(project));
}

TEST(AtomicFileWriter, SecretFilesAreOwnerOnlyAndSoAreTheirBackups)
{
    const mode_t previousMask = ::umask(0);
    const QString dir = test::makeTempDir();
    const QString plain = dir + QStringLiteral("/model.json");
    AtomicFileWriter::write(doc("1"), plain, plain + QStringLiteral(".backup"));
    EXPECT_EQ(modeOf(plain), 0666u); // default: as the umask allows

    const QString keys = dir + QStringLiteral("/api-keys.json");
    const QString keysBackup = keys + QStringLiteral(".backup");
    // An existing world-readable key file: after the next write neither copy is readable by others.
    test::writeFile(keys, doc("old"));
    QFile::setPermissions(keys, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
    AtomicFileWriter::write(doc("new"), keys, keysBackup, {0600});
    EXPECT_EQ(modeOf(keys), 0600u);
    EXPECT_EQ(modeOf(keysBackup), 0600u);
    EXPECT_EQ(test::readFile(keysBackup), doc("old"));
    AtomicFileWriter::write(doc("newer"), keys, keysBackup, {0600});
    EXPECT_EQ(modeOf(keys), 0600u);
    EXPECT_EQ(modeOf(keysBackup), 0600u);
    ::umask(previousMask);
}

TEST(AtomicFileWriter, WriteFailuresNameTheFileAndKeepTheOldContent)
{
    const QString dir = test::makeTempDir();
    const QString target = dir + QStringLiteral("/app.json");
    const QString backup = dir + QStringLiteral("/app.json.bak");
    AtomicFileWriter::write(doc("1"), target, backup);

    // The temporary file cannot be made.
    fileCalls::detail::setHook([](fileCalls::Call call, int, const char *, qint64) { return call != fileCalls::Call::create; });
    try {
        AtomicFileWriter::write(doc("2"), target, backup);
        FAIL();
    } catch (const MemoryError &e) {
        EXPECT_EQ(e, MemoryError::writeFailed(target + QStringLiteral(".tmp"), QStringLiteral("could not create temp file")));
    }
    fileCalls::detail::setHook({});
    EXPECT_EQ(test::readFile(target), doc("1"));
    EXPECT_FALSE(QFileInfo::exists(backup));

    // The parent "folder" is a file: nothing can be created.
    const QString blocked = dir + QStringLiteral("/file");
    test::writeFile(blocked, "x");
    EXPECT_THROW(AtomicFileWriter::write(doc("x"), blocked + QStringLiteral("/a.json"), blocked + QStringLiteral("/a.bak")),
                 MemoryError);

    // The backup name is taken by a non-empty folder: the rename onto it fails, the target stays.
    QDir().mkpath(backup + QStringLiteral("/inside"));
    try {
        AtomicFileWriter::write(doc("3"), target, backup);
        FAIL();
    } catch (const MemoryError &e) {
        EXPECT_EQ(e.kind(), MemoryError::Kind::atomicRenameFailed);
        EXPECT_TRUE(e.description().startsWith(QStringLiteral("Atomic rename failed app.json \u2192 app.json.bak: ")));
    }
    EXPECT_EQ(test::readFile(target), doc("1"));
}

TEST(AtomicFileWriter, ReadFallsBackToTheBackup)
{
    const QString dir = test::makeTempDir();
    const QString primary = dir + QStringLiteral("/context.json");
    const QString backup = dir + QStringLiteral("/context.json.bak");

    EXPECT_EQ(bothUnreadable(primary, backup),
              MemoryError::bothPrimaryAndBackupUnreadable(primary, QStringLiteral("file does not exist"),
                                                          QStringLiteral("backup file does not exist")));

    test::writeFile(backup, doc("old"));
    auto restored = readJson(primary, backup);
    EXPECT_EQ(restored.value, QStringLiteral("old"));
    EXPECT_EQ(restored.primaryReason, QStringLiteral("file does not exist"));

    test::writeFile(primary, "{not json");
    restored = readJson(primary, backup);
    ASSERT_TRUE(restored.isRestoredFromBackup());
    EXPECT_TRUE(restored.primaryReason->contains(QStringLiteral("not valid JSON")));

    test::writeFile(primary, "{\"w\":1}");
    restored = readJson(primary, backup);
    EXPECT_EQ(*restored.primaryReason, QStringLiteral("required key \"v\" is missing at v"));

    test::writeFile(primary, doc("new"));
    test::writeFile(backup, "garbage");
    const auto fromPrimary = readJson(primary, backup);
    EXPECT_EQ(fromPrimary.value, QStringLiteral("new"));
    EXPECT_FALSE(fromPrimary.isRestoredFromBackup());

    test::writeFile(primary, "");
    const MemoryError both = bothUnreadable(primary, backup);
    EXPECT_EQ(both.kind(), MemoryError::Kind::bothPrimaryAndBackupUnreadable);
    EXPECT_FALSE(both.backupReason().isEmpty());
    // The read changes no file.
    EXPECT_EQ(test::readFile(backup), QByteArray("garbage"));
    EXPECT_EQ(test::readFile(primary), QByteArray());
}

// A child process rewrites one document in a loop and is killed at random
// moments; after every kill the document must read back complete, and the
// target path itself must always hold a complete file.
TEST(AtomicFileWriter, SurvivesBeingKilledAtAnyMoment)
{
    const QString dir = test::makeTempDir();
    const QString target = dir + QStringLiteral("/doc.json");
    const QString backup = dir + QStringLiteral("/doc.json.bak");
    const QByteArray a(48 * 1024, 'A');
    const QByteArray b(64 * 1024, 'B');
    AtomicFileWriter::write(a, target, backup);

    const auto decode = [&](const QByteArray &bytes) {
        if (bytes != a && bytes != b)
            throw std::runtime_error("torn content of " + std::to_string(bytes.size()) + " bytes");
        return bytes.at(0);
    };
    const QByteArray program = QByteArrayLiteral(NERIM_WRITE_LOOP_PATH);
    const QByteArray targetArg = QFile::encodeName(target);
    const QByteArray backupArg = QFile::encodeName(backup);
    char *argv[] = {const_cast<char *>(program.constData()), const_cast<char *>(targetArg.constData()),
                    const_cast<char *>(backupArg.constData()), nullptr};

    QElapsedTimer clock;
    clock.start();
    int kills = 0;
    int sawB = 0;
    for (; kills < 300 && clock.elapsed() < 15000; ++kills) {
        pid_t pid = 0;
        ASSERT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ), 0);
        // Mostly early in its life; now and then later, so that even on a
        // busy machine the child gets as far as its second content.
        const int longest = kills % 8 == 7 ? 400000 : 25000;
        ::usleep(QRandomGenerator::global()->bounded(2000, longest));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped on its own (status " << status << ")";

        const auto primaryBytes = AtomicFileWriter::readBytes(target);
        ASSERT_TRUE(primaryBytes.has_value()) << "the target vanished after kill " << kills;
        ASSERT_NO_THROW(decode(*primaryBytes)) << "torn target after kill " << kills;
        const auto result = AtomicFileWriter::read<char>(target, backup, decode);
        EXPECT_FALSE(result.isRestoredFromBackup());
        sawB += result.value == 'B';
    }
    EXPECT_GE(kills, 100);
    EXPECT_GT(sawB, 0); // the child really was writing
}

namespace {

// Both ways to write: with a backup, and replacing without one.
struct WriteWay {
    const char *name;
    bool keepsBackup;
};
const WriteWay writeWays[] = {{"write", true}, {"replace", false}};

void writeBy(const WriteWay &way, const QByteArray &bytes, const QString &target, const QString &backup,
             AtomicFileWriter::WriteOptions options = {})
{
    if (way.keepsBackup)
        AtomicFileWriter::write(bytes, target, backup, options);
    else
        AtomicFileWriter::replace(bytes, target, options);
}

// Replaces the backup calls for the life of the object.
class BackupCallsOverride {
public:
    BackupCallsOverride(int (*link)(int, const char *, int, const char *),
                        std::optional<QByteArray> (*readCurrent)(int, const QString &) = nullptr)
        : m_saved(AtomicFileWriter::detail::backupCalls())
    {
        AtomicFileWriter::detail::backupCalls().link = link;
        if (readCurrent)
            AtomicFileWriter::detail::backupCalls().readCurrent = readCurrent;
    }
    ~BackupCallsOverride() { AtomicFileWriter::detail::backupCalls() = m_saved; }

private:
    AtomicFileWriter::detail::BackupCalls m_saved;
};

int linkAcrossFilesystems(int, const char *, int, const char *)
{
    errno = EXDEV;
    return -1;
}

std::optional<QByteArray> readFailingMidway(int, const QString &)
{
    throw std::runtime_error("Input/output error");
}

} // namespace

TEST(AtomicFileWriter, LinksPlantedAtAnyOfItsNamesAreReplacedNeverWrittenThrough)
{
    for (const WriteWay &way : writeWays) {
        for (const std::optional<mode_t> mode : {std::optional<mode_t>(), std::optional<mode_t>(0600)}) {
            SCOPED_TRACE(std::string(way.name) + (mode ? " with mode 0600" : ""));
            const QString dir = test::makeTempDir();
            const QString target = dir + QStringLiteral("/agent-names.json");
            const QString backup = AtomicFileWriter::backupPathFor(target);
            const test::PlantedLinks links(test::writerNames(target, backup));

            writeBy(way, doc("1"), target, backup, {mode});
            writeBy(way, doc("2"), target, backup, {mode});
            writeBy(way, doc("3"), target, backup, {mode});

            links.expectOutsideUntouched();
            EXPECT_FALSE(QFileInfo(target).isSymLink());
            EXPECT_EQ(test::readFile(target), doc("3"));
            if (way.keepsBackup) {
                EXPECT_FALSE(QFileInfo(backup).isSymLink());
                EXPECT_EQ(test::readFile(backup), doc("2"));
            }
            if (mode) {
                EXPECT_EQ(modeOf(target), *mode);
                if (way.keepsBackup) {
                    EXPECT_EQ(modeOf(backup), *mode);
                }
            }
        }
    }
}

TEST(AtomicFileWriter, SettingTheBackupModeNeverFollowsALink)
{
    // The target is a link to a file of the user's: the write with an exact
    // mode must neither change that file's mode nor keep the link as backup.
    const QString dir = test::makeTempDir();
    const QString target = dir + QStringLiteral("/api-keys.json");
    const QString backup = AtomicFileWriter::backupPathFor(target);
    const test::PlantedLinks links({target});
    AtomicFileWriter::write(doc("new"), target, backup, {0600});
    links.expectOutsideUntouched();
    EXPECT_FALSE(QFileInfo::exists(backup) || QFileInfo(backup).isSymLink());
    EXPECT_EQ(test::readFile(target), doc("new"));
    EXPECT_EQ(modeOf(target), 0600u);
}

TEST(AtomicFileWriter, CopiesTheBackupWhereLinksAreRefusedAndFailsWhenTheCopyFails)
{
    const QString dir = test::makeTempDir();
    const QString target = dir + QStringLiteral("/api-keys.json");
    const QString backup = AtomicFileWriter::backupPathFor(target);
    AtomicFileWriter::write(doc("1"), target, backup, {0600});
    {
        const BackupCallsOverride noLinks(&linkAcrossFilesystems);
        AtomicFileWriter::write(doc("2"), target, backup, {0600});
    }
    EXPECT_EQ(test::readFile(target), doc("2"));
    EXPECT_EQ(test::readFile(backup), doc("1"));
    EXPECT_EQ(modeOf(backup), 0600u);

    {
        const BackupCallsOverride failingCopy(&linkAcrossFilesystems, &readFailingMidway);
        try {
            AtomicFileWriter::write(doc("3"), target, backup, {0600});
            FAIL() << "a write whose backup copy failed reported success";
        } catch (const MemoryError &e) {
            EXPECT_EQ(e.kind(), MemoryError::Kind::atomicRenameFailed);
            EXPECT_EQ(e.underlyingReason(),
                      QStringLiteral("could not copy api-keys.json for the backup: Input/output error"));
        }
    }
    EXPECT_EQ(test::readFile(target), doc("2"));
    EXPECT_EQ(test::readFile(backup), doc("1"));
    EXPECT_EQ(QDir(dir).entryList(QDir::Files | QDir::Hidden), (QStringList{"api-keys.json", "api-keys.json.backup"}));
}

TEST(AtomicFileWriter, ReadRefusesWhatItsWriterWouldNotHaveMade)
{
    // A link in the primary's place is not read through; the backup is tried.
    const QString dir = test::makeTempDir();
    const QString primary = dir + QStringLiteral("/context.json");
    const QString backup = dir + QStringLiteral("/context.json.bak");
    test::plantLinkToOutsideFile(primary, doc("outside"));
    test::writeFile(backup, doc("backup"));
    const auto result = readJson(primary, backup);
    EXPECT_EQ(result.value, QStringLiteral("backup"));
    EXPECT_EQ(result.primaryReason, QStringLiteral("it is a symbolic link, which is not followed"));

    ASSERT_TRUE(QFile::remove(backup));
    ASSERT_TRUE(test::plantFifo(backup));
    EXPECT_EQ(bothUnreadable(primary, backup).backupReason(), QStringLiteral("it is a named pipe, not a regular file"));
}

TEST(AtomicFileWriter, AStreamedWriteTakesWhatItIsGivenAndCopiesFromAnotherFile)
{
    const QString dir = nerim::test::makeTempDir();
    const QString source = dir + QStringLiteral("/source");
    QByteArray sourceBytes;
    for (int i = 0; i < 100000; ++i)
        sourceBytes += QByteArray::number(i) + ' ';
    ASSERT_TRUE(nerim::test::writeFile(source, sourceBytes));
    const QString target = dir + QStringLiteral("/target.json");
    const QString backup = AtomicFileWriter::backupPathFor(target);
    ASSERT_TRUE(nerim::test::writeFile(target, "old"));

    const int fd = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const AtomicFileWriter::FileIdentity written = AtomicFileWriter::write(
        [&](AtomicFileWriter::ContentSink &sink) {
            sink.write("head|");
            sink.copyFrom(fd, 7, 200000);
            sink.write("|");
            sink.copyFrom(fd, 0, 5);
            EXPECT_EQ(sink.position(), 5 + 200000 + 1 + 5);
        },
        target, backup);
    EXPECT_EQ(nerim::test::readFile(target), "head|" + sourceBytes.mid(7, 200000) + "|" + sourceBytes.left(5));
    EXPECT_EQ(nerim::test::readFile(backup), "old");
    EXPECT_EQ(AtomicFileWriter::FileIdentity::of(target), written);

    // Copying past the end of the other file, or a producer that throws,
    // leaves the target as it was and no temporary file behind.
    EXPECT_THROW(AtomicFileWriter::write([&](AtomicFileWriter::ContentSink &sink) { sink.copyFrom(fd, 10, sourceBytes.size()); },
                                         target, backup),
                 MemoryError);
    EXPECT_THROW(AtomicFileWriter::write(
                     [&](AtomicFileWriter::ContentSink &sink) {
                         sink.write("partial");
                         throw std::runtime_error("stopped");
                     },
                     target, backup),
                 std::runtime_error);
    ::close(fd);
    EXPECT_EQ(AtomicFileWriter::FileIdentity::of(target), written);
    EXPECT_FALSE(QFile::exists(target + QStringLiteral(".tmp")));
    EXPECT_EQ(nerim::test::readFile(backup), "old");
}

// What must happen before a file is replaced runs once the new content is on
// disk and nothing at the target has changed; when it fails, the write is
// given up with the old content and backup in place and no temporary file.
TEST(AtomicFileWriter, TheStepBeforeReplacingSeesTheNewContentAndCanStopTheWrite)
{
    const QString dir = test::makeTempDir();
    const QString target = dir + QStringLiteral("/doc.json");
    const QString backup = target + QStringLiteral(".backup");
    AtomicFileWriter::write(QByteArray("first"), target, backup);
    AtomicFileWriter::write(QByteArray("second"), target, backup);

    AtomicFileWriter::WriteOptions options;
    int calls = 0;
    options.beforeReplacing = [&] {
        ++calls;
        const QStringList temporary = QDir(dir).entryList({QStringLiteral("doc.json.tmp-*")}, QDir::Files);
        ASSERT_EQ(temporary.size(), 1);
        EXPECT_EQ(test::readFile(dir + QLatin1Char('/') + temporary.first()), QByteArray("third"));
        EXPECT_EQ(test::readFile(target), QByteArray("second"));
        EXPECT_EQ(test::readFile(backup), QByteArray("first"));
    };
    AtomicFileWriter::write(QByteArray("third"), target, backup, options);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(test::readFile(target), QByteArray("third"));

    options.beforeReplacing = [] { throw std::runtime_error("the log could not be marked"); };
    EXPECT_THROW(AtomicFileWriter::write(QByteArray("fourth"), target, backup, options), std::runtime_error);
    EXPECT_EQ(test::readFile(target), QByteArray("third"));
    EXPECT_EQ(test::readFile(backup), QByteArray("second"));
    EXPECT_TRUE(QDir(dir).entryList({QStringLiteral("doc.json.tmp*")}, QDir::Files).isEmpty());
}
