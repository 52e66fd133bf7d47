#include "persistence/IntentProcessorConstants.h"
#include "persistence/MemoryError.h"
#include "persistence/ModelChoice.h"
#include "persistence/PromptTarget.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace nerim;
namespace ipc = nerim::IntentProcessorConstants;

TEST(MemoryError, Descriptions)
{
    const QString arrow = QStringLiteral(" \u2192 ");
    const std::pair<MemoryError, QString> cases[] = {
        {MemoryError::bothPrimaryAndBackupUnreadable(QStringLiteral("/d/app.json"), QStringLiteral("file does not exist"),
                                                     QStringLiteral("backup file does not exist")),
         QStringLiteral("Both files unreadable at /d/app.json: primary=file does not exist; backup=backup file does not exist")},
        {MemoryError::primaryUnreadableRestoredFromBackup(QStringLiteral("/d/a"), QStringLiteral("bad")),
         QStringLiteral("Primary unreadable at /d/a, restored from backup. Cause: bad")},
        {MemoryError::schemaVersionMismatch(1, 20, QStringLiteral("/d/app.json")),
         QStringLiteral("Schema version mismatch at /d/app.json: expected 1, found 20")},
        {MemoryError::writeFailed(QStringLiteral("/d/a.tmp"), QString()), QStringLiteral("Write failed at /d/a.tmp: ")},
        {MemoryError::atomicRenameFailed(QStringLiteral("/deep/folder/app.json.tmp"), QStringLiteral("/deep/folder/app.json"),
                                         QStringLiteral("No space")),
         QStringLiteral("Atomic rename failed app.json.tmp") + arrow + QStringLiteral("app.json: No space")},
        {MemoryError::appSupportDirectoryUnavailable(QStringLiteral("x")),
         QStringLiteral("Application Support directory unavailable: x")},
        {MemoryError::projectDotfolderUnavailable(QStringLiteral("/p"), QStringLiteral("denied")),
         QStringLiteral("Cannot create .nerim/ in /p: denied")},
        {MemoryError::projectDirectoryMissing(QStringLiteral("/p")), QStringLiteral("Project directory missing: /p")},
        {MemoryError::unknownEntryKind(QStringLiteral("odd"), QStringLiteral("/p/c.json")),
         QStringLiteral("Unknown context entry kind 'odd' at /p/c.json")},
        {MemoryError::entriesNotChronological(QStringLiteral("/p/c.json")),
         QStringLiteral("Context entries out of chronological order at /p/c.json")},
        {MemoryError::readFailed(QStringLiteral("/d/app.json"), QStringLiteral("Permission denied")),
         QStringLiteral("Read failed at /d/app.json: Permission denied")},
    };
    for (const auto &[error, text] : cases) {
        EXPECT_EQ(error.description(), text);
        EXPECT_EQ(QString::fromUtf8(error.what()), text);
    }
    EXPECT_NE(MemoryError::writeFailed(QStringLiteral("/a"), QStringLiteral("x")),
              MemoryError::writeFailed(QStringLiteral("/a"), QStringLiteral("y")));
    EXPECT_EQ(MemoryError::writeFailed(QStringLiteral("/a"), QStringLiteral("x")),
              MemoryError::writeFailed(QStringLiteral("/a"), QStringLiteral("x")));
}

TEST(IntentProcessorConstants, KeyFileReading)
{
    struct Case {
        const char *contents; // nullptr: no file
        QString anthropic;
        QString groq;
        bool logs;
    };
    const QString a = ipc::anthropicPlaceholder;
    const QString g = ipc::groqPlaceholder;
    const Case cases[] = {
        {nullptr, a, g, false},
        {"{}", a, g, false},
        {R"({"other": "x"})", a, g, false},
        {R"({"anthropic": "   ", "groq": "\n gsk-1 \n"})", a, QStringLiteral("gsk-1"), false},
        {R"({"anthropic": " sk-ant-1 ", "groq": null})", QStringLiteral("sk-ant-1"), g, false},
        {R"({"anthropic": 42, "groq": "gsk"})", a, g, true},
        {"not json", a, g, true},
        {"[\"sk\"]", a, g, true},
    };
    for (const auto &c : cases) {
        const QString path = test::makeTempDir() + QStringLiteral("/api-keys.json");
        if (c.contents)
            test::writeFile(path, c.contents);
        test::LogCapture log;
        const auto keys = ipc::readAPIKeysFile(path);
        EXPECT_EQ(keys.anthropicKey, c.anthropic) << (c.contents ? c.contents : "no file");
        EXPECT_EQ(keys.groqKey, c.groq) << (c.contents ? c.contents : "no file");
        EXPECT_EQ(log.lines().size(), c.logs ? 1 : 0) << (c.contents ? c.contents : "no file");
        if (c.logs) {
            EXPECT_TRUE(log.lines().first().startsWith(QStringLiteral("[Nerim] api-keys.json load failed: ")));
        }
    }
    EXPECT_FALSE(ipc::isUsableKey(QString()));
    EXPECT_FALSE(ipc::isUsableKey(QStringLiteral("REPLACE_WITH_MY_KEY")));
    EXPECT_TRUE(ipc::isUsableKey(QStringLiteral("sk-ant-x")));
}

TEST(IntentProcessorConstants, KeyCacheIsFilledOnceFromTheDataFolder)
{
    const QString path = ipc::apiKeysFilePath();
    EXPECT_EQ(path, test::homeDir() + QStringLiteral("/.local/share/Nerim/api-keys.json"));
    test::writeFile(path, R"({"anthropic": "sk-ant-1"})");
    EXPECT_TRUE(ipc::hasAnthropicKey());
    EXPECT_FALSE(ipc::hasGroqKey());
    test::writeFile(path, R"({"groq": "gsk"})"); // a key saved during the run counts from the next launch
    EXPECT_TRUE(ipc::hasAnthropicKey());
    EXPECT_FALSE(ipc::hasGroqKey());
}

TEST(IntentProcessorConstants, VersionTextAndEnvironment)
{
    EXPECT_EQ(ipc::versionText(QStringLiteral("1.4"), QStringLiteral("212")), QStringLiteral("1.4 (212)"));
    EXPECT_EQ(ipc::versionText(QStringLiteral("1.4"), QStringLiteral("1.4")), QStringLiteral("1.4"));
    EXPECT_EQ(ipc::versionText(QStringLiteral("1.4"), QString()), QStringLiteral("1.4"));
    test::LogCapture log;
    EXPECT_EQ(ipc::versionText(QString(), QStringLiteral("5")), QStringLiteral("unknown"));
    EXPECT_EQ(log.lines().size(), 1);
    EXPECT_FALSE(ipc::appVersion().isEmpty());
    EXPECT_EQ(ipc::subprocessEnvironment().size(), 2);
    EXPECT_EQ(ipc::subprocessEnvironment().value(QStringLiteral("TERM")), QStringLiteral("dumb"));
    EXPECT_EQ(ipc::groqTranscriptionURL().path(), QStringLiteral("/openai/v1/audio/transcriptions"));
    EXPECT_EQ(ipc::claudeCodeDocsURL().scheme(), QStringLiteral("https"));
}

TEST(IntentProcessorConstants, FoldersAndLegacyMigration)
{
    const QString data = test::homeDir() + QStringLiteral("/.local/share");
    test::writeFile(data + QStringLiteral("/Veltra/app.json"), "{}");
    test::LogCapture log;
    EXPECT_EQ(ipc::appSupportDirectory(), data + QStringLiteral("/Nerim"));
    EXPECT_EQ(test::readFile(data + QStringLiteral("/Nerim/app.json")), QByteArray("{}"));
    EXPECT_FALSE(QFileInfo::exists(data + QStringLiteral("/Veltra")));
    EXPECT_EQ(log.lines().size(), 1);
    EXPECT_TRUE(log.contains(QStringLiteral("[Nerim memory] Migrated legacy app-support directory: ")));

    // Both present: nothing moves, the legacy folder stays untouched.
    test::writeFile(data + QStringLiteral("/Veltra/x"), "x");
    EXPECT_EQ(ipc::appSupportDirectory(), data + QStringLiteral("/Nerim"));
    EXPECT_TRUE(QFileInfo::exists(data + QStringLiteral("/Veltra/x")));
    EXPECT_EQ(log.lines().size(), 1);

    const QString fresh = test::makeTempDir(QStringLiteral("fresh"));
    EXPECT_EQ(ipc::projectDotfolder(fresh + QStringLiteral("/")), fresh + QStringLiteral("/.nerim"));
    EXPECT_TRUE(QFileInfo(fresh + QStringLiteral("/.nerim")).isDir());

    EXPECT_EQ(ipc::scratchDirectory(), test::homeDir() + QStringLiteral("/Documents/nerim-scratch"));
    EXPECT_TRUE(QFileInfo(ipc::scratchDirectory()).isDir());
}

TEST(IntentProcessorConstants, DataFolderIsForItsOwnerOnly)
{
    const QString data = test::homeDir() + QStringLiteral("/.local/share");
    const QString folder = data + QStringLiteral("/Nerim");
    const auto modeOf = [](const QString &path) {
        struct stat st {};
        ::stat(QFile::encodeName(path).constData(), &st);
        return st.st_mode & 07777;
    };
    const mode_t previousMask = ::umask(022);
    EXPECT_EQ(ipc::appSupportDirectory(), folder);
    EXPECT_EQ(modeOf(folder), 0700u);

    // A folder an earlier version (or the legacy product) left open to others is closed.
    ASSERT_TRUE(QDir(folder).removeRecursively());
    ASSERT_TRUE(QDir().mkpath(data + QStringLiteral("/Veltra")));
    ASSERT_EQ(::chmod(QFile::encodeName(data + QStringLiteral("/Veltra")).constData(), 0755), 0);
    EXPECT_EQ(ipc::appSupportDirectory(), folder);
    EXPECT_EQ(modeOf(folder), 0700u);
    ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0750), 0);
    ipc::appSupportDirectory();
    EXPECT_EQ(modeOf(folder), 0700u);
    ::umask(previousMask);
}

TEST(SharedTypes, ModelChoicesAndPromptTargets)
{
    const auto &all = allModelChoices();
    ASSERT_EQ(all.size(), 8);
    EXPECT_EQ(all.first(), ModelChoice::haiku45);
    EXPECT_EQ(all.last(), ModelChoice::fable5);
    EXPECT_EQ(defaultModelChoice, ModelChoice::sonnet46);
    QSet<QString> ids;
    for (ModelChoice choice : all) {
        EXPECT_EQ(modelChoiceFromRaw(rawValue(choice)), choice);
        ids.insert(modelId(choice));
    }
    EXPECT_EQ(ids.size(), 8);
    EXPECT_EQ(modelId(ModelChoice::haiku45), QStringLiteral("claude-haiku-4-5-20251001"));
    EXPECT_EQ(modelId(ModelChoice::opus47), QStringLiteral("claude-opus-4-7"));
    EXPECT_EQ(displayName(ModelChoice::sonnet46), QStringLiteral("Sonnet 4.6"));
    EXPECT_EQ(rawValue(ModelChoice::opus47), QStringLiteral("opus47"));
    for (const char *wrong : {"Opus47", "opus-47", "OPUS47", " opus47", ""})
        EXPECT_FALSE(modelChoiceFromRaw(QString::fromLatin1(wrong))) << wrong;

    const QUuid a = QUuid::createUuid();
    const QUuid b = QUuid::createUuid();
    EXPECT_EQ(PromptTarget::pane(a), PromptTarget::pane(a));
    EXPECT_NE(PromptTarget::pane(a), PromptTarget::pane(b));
    EXPECT_NE(PromptTarget::pane(a), PromptTarget::automatic());
    EXPECT_NE(PromptTarget::pane(QUuid()), PromptTarget::automatic());
    EXPECT_NE(PromptTarget::plans(), PromptTarget::automatic());
    EXPECT_EQ(PromptTarget::plans(), PromptTarget::plans());
    QSet<PromptTarget> targets{PromptTarget::pane(a), PromptTarget::pane(a), PromptTarget::automatic(), PromptTarget::plans()};
    EXPECT_EQ(targets.size(), 3);
}
