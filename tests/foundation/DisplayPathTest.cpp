#include "foundation/DisplayPath.h"

#include <QDir>
#include <gtest/gtest.h>

using namespace nerim;

namespace {

class HomeFolder {
public:
    explicit HomeFolder(const QByteArray &home) : m_saved(qgetenv("HOME")) { qputenv("HOME", home); }
    ~HomeFolder() { qputenv("HOME", m_saved); }

private:
    QByteArray m_saved;
};

} // namespace

TEST(PathForDisplay, WritesTheHomeFolderAsTildeOnlyAtAFolderBoundary)
{
    HomeFolder home("/home/ada");
    EXPECT_EQ(pathForDisplay(QStringLiteral("/home/ada/.local/share/Nerim/api-keys.json")).toStdString(),
              "~/.local/share/Nerim/api-keys.json");
    EXPECT_EQ(pathForDisplay(QStringLiteral("/home/ada")).toStdString(), "~");
    // A sibling folder whose name merely starts with the home folder's name.
    EXPECT_EQ(pathForDisplay(QStringLiteral("/home/adams/notes")).toStdString(), "/home/adams/notes");
    EXPECT_EQ(pathForDisplay(QStringLiteral("/srv/data/api-keys.json")).toStdString(), "/srv/data/api-keys.json");
}

TEST(PathForDisplay, ARootHomeFolderIsNotAbbreviated)
{
    HomeFolder home("/");
    EXPECT_EQ(pathForDisplay(QStringLiteral("/etc/nerim")).toStdString(), "/etc/nerim");
}
