#include "TestEnvironment.h"
#include "credentials/APIKeyFileWriter.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace nerim;

namespace {

QString folder() { return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Nerim"); }
QString keyFile() { return folder() + QStringLiteral("/api-keys.json"); }
QString backupFile() { return keyFile() + QStringLiteral(".backup"); }

QJsonObject readObject(const QString &path) { return QJsonDocument::fromJson(test::readFile(path)).object(); }

mode_t modeOf(const QString &path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode & 07777;
}

} // namespace

TEST(APIKeyFileWriter, FirstWriteCreatesAPrivateFileWithoutBackup)
{
    APIKeyFileWriter::writeAnthropicKey(QStringLiteral("  sk-new\n"));
    EXPECT_EQ(readObject(keyFile()), (QJsonObject{{QStringLiteral("anthropic"), QStringLiteral("sk-new")}}));
    EXPECT_EQ(test::readFile(keyFile()), QByteArray("{\n    \"anthropic\": \"sk-new\"\n}\n"));
    EXPECT_EQ(modeOf(keyFile()), 0600u);
    EXPECT_EQ(modeOf(folder()), 0700u);
    EXPECT_FALSE(QFileInfo::exists(backupFile()));
}

TEST(APIKeyFileWriter, KeepsTheGroqKeyAndBacksUpPrivately)
{
    ASSERT_TRUE(test::writeFile(keyFile(), R"({"anthropic": "sk-old", "groq": "  gsk-1 ", "other": 1})"));
    APIKeyFileWriter::writeAnthropicKey(QStringLiteral("sk-new"));
    EXPECT_EQ(readObject(keyFile()), (QJsonObject{{QStringLiteral("anthropic"), QStringLiteral("sk-new")},
                                                  {QStringLiteral("groq"), QStringLiteral("gsk-1")}}));
    EXPECT_EQ(readObject(backupFile()).value(QStringLiteral("anthropic")).toString(), QStringLiteral("sk-old"));
    EXPECT_EQ(modeOf(keyFile()), 0600u);
    EXPECT_EQ(modeOf(backupFile()), 0600u);
}

TEST(APIKeyFileWriter, ExistingFileVariants)
{
    const struct {
        const char *existing;
        QJsonObject expected;
    } rows[] = {
        {R"({"groq": "   "})", QJsonObject{{QStringLiteral("anthropic"), QStringLiteral("sk")}}},
        {"not json", QJsonObject{{QStringLiteral("anthropic"), QStringLiteral("sk")}}},
        {R"({"groq": 5})", QJsonObject{{QStringLiteral("anthropic"), QStringLiteral("sk")}}},
        {R"({"voice": "x", "groq": "g"})",
         QJsonObject{{QStringLiteral("anthropic"), QStringLiteral("sk")}, {QStringLiteral("groq"), QStringLiteral("g")}}},
    };
    for (const auto &row : rows) {
        ASSERT_TRUE(test::writeFile(keyFile(), row.existing));
        APIKeyFileWriter::writeAnthropicKey(QStringLiteral("sk"));
        EXPECT_EQ(readObject(keyFile()), row.expected) << row.existing;
        EXPECT_EQ(test::readFile(backupFile()), QByteArray(row.existing));
    }
}

TEST(APIKeyFileWriter, BlankKeyWritesNothing)
{
    ASSERT_TRUE(test::writeFile(keyFile(), R"({"anthropic": "keep"})"));
    APIKeyFileWriter::writeAnthropicKey(QStringLiteral(" \n\t "));
    EXPECT_EQ(test::readFile(keyFile()), QByteArray(R"({"anthropic": "keep"})"));
    EXPECT_FALSE(QFileInfo::exists(backupFile()));
}

TEST(APIKeyFileWriter, HasSavedAnthropicKey)
{
    EXPECT_FALSE(APIKeyFileWriter::hasSavedAnthropicKey());
    const struct {
        const char *content;
        bool expected;
    } rows[] = {
        {R"({"anthropic": "  "})", false},
        {"garbage", false},
        {R"({"groq": "g"})", false},
        {R"({"anthropic": 3})", false},
        {R"({"anthropic": "sk-x"})", true},
        {R"({"anthropic": "REPLACE_WITH_ANTHROPIC_API_KEY"})", true},
    };
    for (const auto &row : rows) {
        ASSERT_TRUE(test::writeFile(keyFile(), row.content));
        EXPECT_EQ(APIKeyFileWriter::hasSavedAnthropicKey(), row.expected) << row.content;
    }
}

TEST(APIKeyFileWriter, UnwritableFolderThrowsCouldNotWriteFile)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root writes through folder permissions";
    QDir().mkpath(folder());
    ASSERT_TRUE(QFile::setPermissions(folder(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    try {
        APIKeyFileWriter::writeAnthropicKey(QStringLiteral("sk"));
        ADD_FAILURE() << "no error thrown";
    } catch (const APIKeyFileWriter::WriteError &error) {
        EXPECT_EQ(error.kind(), APIKeyFileWriter::WriteError::Kind::couldNotWriteFile);
        EXPECT_TRUE(error.description().startsWith(QStringLiteral("Couldn't save the key: ")));
    }
    QFile::setPermissions(folder(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

TEST(APIKeyFileWriter, WriteErrorDescriptions)
{
    using E = APIKeyFileWriter::WriteError;
    EXPECT_EQ(E(E::Kind::couldNotSerializeJSON, QStringLiteral("x")).description(), QStringLiteral("Couldn't encode the key file: x"));
    EXPECT_EQ(E(E::Kind::couldNotWriteFile, QStringLiteral("x")).description(), QStringLiteral("Couldn't save the key: x"));
    EXPECT_EQ(E(E::Kind::couldNotSetPermissions, QStringLiteral("x")).description(),
              QStringLiteral("Saved the key but couldn't lock down file permissions: x"));
}
