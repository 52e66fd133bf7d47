#include "ui/design/InterFontRegistry.h"

#include <gtest/gtest.h>

namespace nerim {
namespace {

// A scripted environment that counts how often each step is reached.
struct FakeFonts {
    QStringList files;
    InterFontRegistry::RegisterResult registerResult{true, {}};
    QStringList families;
    QList<int> installedWeights; // upright faces the system already lists

    int lookups = 0;
    QStringList registered;
    int familyQueries = 0;
    QStringList log;

    InterFontRegistry::Environment environment()
    {
        InterFontRegistry::Environment env;
        env.findFontFiles = [this] {
            ++lookups;
            return files;
        };
        env.installedUprightWeights = [this] { return installedWeights; };
        env.registerFontFile = [this](const QString &path) {
            registered.append(path);
            return registerResult;
        };
        env.familyNames = [this] {
            ++familyQueries;
            return families;
        };
        env.log = [this](const QString &line) { log.append(line); };
        return env;
    }
};

const QStringList kInterFiles = {QStringLiteral("/usr/share/fonts/opentype/inter/Inter-Regular.otf"),
                                 QStringLiteral("/usr/share/fonts/opentype/inter/Inter-Medium.otf")};

struct RegistryCase {
    const char *name;
    QStringList files;
    InterFontRegistry::RegisterResult registerResult;
    QStringList families;
    bool registered;
    QString logLine;
    int registerCalls;
    int familyQueries;
};

TEST(InterFontRegistryTest, DecidesAndLogsOneLinePerOutcome)
{
    const QList<RegistryCase> cases = {
        {"no files", {}, {true, {}}, {QStringLiteral("Inter")}, false,
         QStringLiteral("[Nerim design] Inter font files not found. Font.nm(...) will fall back to the system font. "
                        "Install Debian's fonts-inter package (scripts/setup installs it)."),
         0, 0},
        {"register fails with a reason", kInterFiles, {false, QStringLiteral("Permission denied")},
         {QStringLiteral("Inter")}, false,
         QStringLiteral("[Nerim design] QFontDatabase::addApplicationFont failed for Inter-Regular.otf — "
                        "Permission denied. Font.nm(...) will fall back to the system font."),
         1, 0},
        {"register fails without a reason", kInterFiles, {false, {}}, {QStringLiteral("Inter")}, false,
         QStringLiteral("[Nerim design] QFontDatabase::addApplicationFont failed for Inter-Regular.otf — unknown. "
                        "Font.nm(...) will fall back to the system font."),
         1, 0},
        {"family present", kInterFiles, {true, {}},
         {QStringLiteral("DejaVu Sans"), QStringLiteral("Inter"), QStringLiteral("Inter Display")}, true,
         QStringLiteral("[Nerim design] Inter font registered — Font.nm(...) will use Inter from fonts-inter."), 2, 1},
        {"only look-alikes, in the database's order", kInterFiles, {true, {}},
         {QStringLiteral("Inter Display"), QStringLiteral("DejaVu Sans"), QStringLiteral("WINTERTHUR"),
          QStringLiteral("inter")},
         false,
         QStringLiteral("[Nerim design] Inter registered but family 'Inter' not found. Inter-like families present: "
                        "Inter Display, WINTERTHUR, inter. Update NmFontFamily.inter in DesignTokens to match."),
         2, 1},
        {"no family at all", kInterFiles, {true, {}}, {}, false,
         QStringLiteral("[Nerim design] Inter registered but family 'Inter' not found. Inter-like families present: "
                        ". Update NmFontFamily.inter in DesignTokens to match."),
         2, 1},
    };
    for (const RegistryCase &c : cases) {
        SCOPED_TRACE(c.name);
        FakeFonts fonts;
        fonts.files = c.files;
        fonts.registerResult = c.registerResult;
        fonts.families = c.families;
        const InterFontRegistry registry(fonts.environment());
        EXPECT_EQ(registry.isRegistered(), c.registered);
        ASSERT_EQ(fonts.log.size(), 1);
        EXPECT_EQ(fonts.log.first(), c.logLine);
        EXPECT_EQ(fonts.registered.size(), c.registerCalls);
        EXPECT_EQ(fonts.familyQueries, c.familyQueries);
    }
}

TEST(InterFontRegistryTest, RegistersOnceHoweverOftenItIsAsked)
{
    FakeFonts fonts;
    const InterFontRegistry registry(fonts.environment());
    for (int i = 0; i < 50; ++i)
        EXPECT_FALSE(registry.isRegistered());
    EXPECT_EQ(fonts.lookups, 1);
    EXPECT_EQ(fonts.log.size(), 1);
}

// Faces the system already has are not registered again; a face it lacks (or
// a file whose face is not known by its name) is, and a failure there still
// ends the registration.
TEST(InterFontRegistryTest, RegistersOnlyTheFacesTheSystemLacks)
{
    const QString folder = QStringLiteral("/usr/share/fonts/opentype/inter/");
    const QStringList files = {folder + QStringLiteral("Inter-Thin.otf"), folder + QStringLiteral("Inter-Regular.otf"),
                               folder + QStringLiteral("Inter-SemiBold.otf"), folder + QStringLiteral("Inter-Odd.otf")};
    const QStringList families = {QStringLiteral("Inter")};
    {
        FakeFonts fonts;
        fonts.files = files.mid(0, 3);
        fonts.families = families;
        fonts.installedWeights = {100, 200, 300, 400, 500, 600, 700, 800, 900};
        const InterFontRegistry registry(fonts.environment());
        EXPECT_TRUE(registry.isRegistered());
        EXPECT_TRUE(fonts.registered.isEmpty());
        EXPECT_EQ(fonts.log, QStringList{QStringLiteral(
                                 "[Nerim design] Inter font registered — Font.nm(...) will use Inter from fonts-inter.")});
    }
    {
        FakeFonts fonts;
        fonts.files = files;
        fonts.families = families;
        fonts.installedWeights = {400, 700}; // an italic-only or partial installation lists fewer
        const InterFontRegistry registry(fonts.environment());
        EXPECT_TRUE(registry.isRegistered());
        EXPECT_EQ(fonts.registered, (QStringList{files[0], files[2], files[3]}));
    }
    {
        FakeFonts fonts;
        fonts.files = files;
        fonts.families = families;
        fonts.installedWeights = {100};
        fonts.registerResult = {false, QStringLiteral("Permission denied")};
        const InterFontRegistry registry(fonts.environment());
        EXPECT_FALSE(registry.isRegistered());
        EXPECT_EQ(fonts.registered, QStringList{files[1]});
    }
    EXPECT_EQ(InterFontRegistry::faceWeight(folder + QStringLiteral("Inter-ExtraBold.otf")), 800);
    EXPECT_EQ(InterFontRegistry::faceWeight(QStringLiteral("Inter-Light.otf")), 300);
    EXPECT_EQ(InterFontRegistry::faceWeight(folder + QStringLiteral("Inter-LightItalic.otf")), std::nullopt);
    EXPECT_EQ(InterFontRegistry::faceWeight(folder + QStringLiteral("InterDisplay-Light.otf")), std::nullopt);
}

TEST(InterFontRegistryTest, SystemLookupFindsOnlyUprightInterFaces)
{
    const QStringList files = InterFontRegistry::systemEnvironment().findFontFiles();
    if (files.isEmpty())
        GTEST_SKIP() << "fonts-inter is not installed here";
    for (const QString &file : files) {
        EXPECT_TRUE(file.contains(QStringLiteral("/Inter-"))) << file.toStdString();
        EXPECT_FALSE(file.contains(QStringLiteral("Italic"))) << file.toStdString();
    }
    EXPECT_TRUE(files.filter(QStringLiteral("Inter-Regular.otf")).size() == 1);
}

} // namespace
} // namespace nerim
