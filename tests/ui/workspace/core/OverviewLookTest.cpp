#include "ui/workspace/OverviewLook.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace nerim {
namespace {

using Entry = AppState::ProjectRegistryEntry;

Entry project(const QString &id, const QString &name = u"Site"_s, Timestamp openedAt = Timestamp(0))
{
    return {id, u"/p/"_s + name, name, openedAt, openedAt};
}

TEST(OverviewLook, CountSubtitleAndEmptyStateIgnoreTheScratchEntry)
{
    struct Row {
        QList<Entry> projects;
        int count;
        QString subtitle;
        bool empty;
    };
    QList<Entry> thousand;
    for (int i = 0; i < 1000; ++i)
        thousand.append(project(QString::number(i)));
    thousand.insert(500, project(u"scratch-debug"_s));
    const Row rows[] = {
        {{}, 0, u"Pick a folder to start a project."_s, true},
        {{project(u"scratch-debug"_s)}, 0, u"Pick a folder to start a project."_s, true},
        {{project(u"scratch-debug"_s), project(u"A"_s)}, 1, u"One project."_s, false},
        {{project(u"A"_s), project(u"B"_s)}, 2, u"2 projects."_s, false},
        // Only the exact id marks the scratch entry.
        {{project(u"Scratch-Debug"_s), project(u"scratch-debug "_s)}, 2, u"2 projects."_s, false},
        {thousand, 1000, u"1000 projects."_s, false},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(OverviewLook::visibleProjectCount(row.projects), row.count);
        EXPECT_EQ(OverviewLook::subtitleText(row.count), row.subtitle);
        EXPECT_EQ(OverviewLook::showsEmptyState(row.projects), row.empty) << row.subtitle.toStdString();
    }
}

TEST(OverviewLook, AlertNamesTheProjectAsWritten)
{
    EXPECT_EQ(OverviewLook::removalAlertMessage(project(u"A"_s, u"<b>Shop</b> %1"_s)),
              u"<b>Shop</b> %1 will be removed from your projects list. The folder and any .nerim/ context stay on "
              "disk — you can re-add it later."_s);
}

TEST(OverviewLook, ColumnsFitTheCappedContentWidth)
{
    EXPECT_EQ(OverviewLook::gridColumns(1200), 4); // 1104 wide: five would need 1196
    EXPECT_EQ(OverviewLook::gridColumns(2560), 4); // the content never grows past 1200
    EXPECT_EQ(OverviewLook::gridColumns(1180), 4);
    EXPECT_EQ(OverviewLook::gridColumns(1048), 4); // 4 × 220 + 3 × 24 + 2 × 48
    EXPECT_EQ(OverviewLook::gridColumns(1047), 3);
    EXPECT_EQ(OverviewLook::gridColumns(560), 2);
    EXPECT_EQ(OverviewLook::gridColumns(559), 1);
    EXPECT_EQ(OverviewLook::gridColumns(200), 1); // narrower than one card: still one column
    EXPECT_EQ(OverviewLook::gridColumns(2000, 100), 9);

    EXPECT_EQ(OverviewLook::gridHeight(0, 4), 0);
    EXPECT_EQ(OverviewLook::gridHeight(4, 4), 140);
    EXPECT_EQ(OverviewLook::gridHeight(5, 4), 140 * 2 + 24);
}

TEST(OverviewLook, FreeHeightGoesToTheUpperSpacerUntilItsCap)
{
    using S = OverviewLook::SpacerHeights;
    EXPECT_EQ(OverviewLook::spacerHeights(-50), (S{32, 40}));
    EXPECT_EQ(OverviewLook::spacerHeights(0), (S{32, 40}));
    EXPECT_EQ(OverviewLook::spacerHeights(100), (S{82, 90}));
    EXPECT_EQ(OverviewLook::spacerHeights(256), (S{160, 168}));
    EXPECT_EQ(OverviewLook::spacerHeights(1000), (S{160, 912}));
}

TEST(OverviewLook, ProjectCards)
{
    const Timestamp now(1'000'000);
    const Entry scratch = project(u"scratch-debug"_s, u"nerim-scratch"_s, now);
    const Entry site = project(u"A"_s, u"Site"_s, now.addingSeconds(-7200));
    for (bool hovered : {false, true}) {
        const OverviewLook::ProjectCardLook s = OverviewLook::projectCardLook(scratch, hovered, now);
        EXPECT_EQ(s.symbol, u"hammer"_s);
        EXPECT_EQ(s.iconColor, TokenColor{NmColor::inkTertiary});
        EXPECT_EQ(s.footer, u"Debug testing directory"_s);
        EXPECT_FALSE(s.showsRemoveButton);
        EXPECT_FALSE(s.offersContextMenu);
        EXPECT_TRUE(s.showsDashedOutline);

        const OverviewLook::ProjectCardLook o = OverviewLook::projectCardLook(site, hovered, now);
        EXPECT_EQ(o.symbol, u"folder"_s);
        EXPECT_EQ(o.iconColor, TokenColor{NmColor::accent});
        EXPECT_EQ(o.footer, u"Last opened 2 hr. ago"_s);
        EXPECT_EQ(o.showsRemoveButton, hovered);
        EXPECT_TRUE(o.offersContextMenu);
        EXPECT_FALSE(o.showsDashedOutline);
    }
}

TEST(OverviewLook, CardNamesKeepWhatTellsBlankProjectsApart)
{
    // One point per character: the rule, whatever font draws it.
    const OverviewLook::TextWidth width = [](const QString &text) { return double(text.size()); };
    const QString first = u"Untitled Project 2026-12-09 17-30-12"_s;
    const QString second = u"Untitled Project 2026-12-09 17-31-05"_s;
    EXPECT_EQ(OverviewLook::projectCardName(first, 36, width), first);
    EXPECT_EQ(OverviewLook::projectCardName(first, 30, width), u"Untitled\u2026 2026-12-09 17-30-12"_s);
    EXPECT_EQ(OverviewLook::projectCardName(second, 30, width), u"Untitled\u2026 2026-12-09 17-31-05"_s);
    EXPECT_EQ(OverviewLook::projectCardName(first + u" (2)"_s, 30, width), u"Untit\u2026 2026-12-09 17-30-12 (2)"_s);
    // Too narrow for the date: the time stays.
    EXPECT_EQ(OverviewLook::projectCardName(first, 10, width), u"\u2026 17-30-12"_s);
    // Other names are cut at their end.
    EXPECT_EQ(OverviewLook::projectCardName(u"A very long project name"_s, 10, width), u"A very lo\u2026"_s);
}

TEST(OverviewLook, ActionTiles)
{
    const auto add = OverviewLook::addProjectTileLook(false);
    const auto addHovered = OverviewLook::addProjectTileLook(true);
    EXPECT_EQ(add.fill.opacity, 0.0);
    EXPECT_EQ(addHovered.fill, (TokenColor{NmColor::paperShade, 0.5}));
    EXPECT_EQ(add.border, (TokenColor{NmColor::inkTertiary, 0.4}));
    EXPECT_EQ(addHovered.border, (TokenColor{NmColor::accent, 0.85}));
    EXPECT_EQ(add.borderWidth, 0.75);
    EXPECT_EQ(addHovered.borderWidth, 1.25);
    EXPECT_EQ(add.dash, (QVector<qreal>{5, 5}));
    EXPECT_EQ(add.symbolColor, TokenColor{NmColor::inkTertiary});
    EXPECT_EQ(addHovered.labelColor, TokenColor{NmColor::ink});
    EXPECT_EQ(add.help, u"Choose any folder to add as a project"_s);

    const auto blank = OverviewLook::startBlankTileLook(false, u"Documents/Nerim Projects"_s);
    const auto blankHovered = OverviewLook::startBlankTileLook(true, u"Documents/Nerim Projects"_s);
    EXPECT_EQ(blank.fill, (TokenColor{NmColor::accent, 0.08}));
    EXPECT_EQ(blankHovered.fill, (TokenColor{NmColor::accent, 0.18}));
    EXPECT_EQ(blank.border, (TokenColor{NmColor::accent, 0.35}));
    EXPECT_TRUE(blank.dash.isEmpty());
    EXPECT_EQ(blank.symbol, u"sparkles"_s);
    EXPECT_EQ(blank.symbolColor, (TokenColor{NmColor::accent, 0.7}));
    EXPECT_EQ(blank.label, u"Start blank"_s);
    EXPECT_EQ(blank.help, u"Create an empty project — Nerim will make a fresh folder in Documents/Nerim Projects"_s);

    EXPECT_EQ(OverviewLook::projectsFolderForHelp(u"/home/u/Dokumente/Nerim Projects"_s, u"/home/u"_s),
              u"Dokumente/Nerim Projects"_s);
    EXPECT_EQ(OverviewLook::projectsFolderForHelp(u"/srv/docs/Nerim Projects"_s, u"/home/u"_s),
              u"/srv/docs/Nerim Projects"_s);
}

TEST(RelativePhrase, LargestWholeUnitInThePastAndTheFuture)
{
    const Timestamp now(1'000'000'000);
    const double day = 86400;
    struct Row {
        double offset; // date minus now
        QString phrase;
    };
    const Row rows[] = {
        {0, u"0 sec. ago"_s},
        {-0.4, u"0 sec. ago"_s},
        {-1, u"1 sec. ago"_s},
        {-59, u"59 sec. ago"_s},
        {-60, u"1 min. ago"_s},
        {-3599, u"59 min. ago"_s},
        {-3600, u"1 hr. ago"_s},
        {-day + 1, u"23 hr. ago"_s},
        {-day, u"1 day ago"_s},
        {-2 * day, u"2 days ago"_s},
        {-6.9 * day, u"6 days ago"_s},
        {-7 * day, u"1 wk. ago"_s},
        {-29 * day, u"4 wk. ago"_s},
        {-30 * day, u"1 mo. ago"_s},
        {-364 * day, u"12 mo. ago"_s},
        {-365 * day, u"1 yr. ago"_s},
        {-3650 * day, u"10 yr. ago"_s},
        {0.5, u"in 0 sec."_s},
        {90, u"in 1 min."_s},
        {3 * day, u"in 3 days"_s},
        {400 * day, u"in 1 yr."_s},
    };
    for (const Row &row : rows)
        EXPECT_EQ(relativePhraseShort(now.addingSeconds(row.offset), now), row.phrase) << row.offset;
}

} // namespace
} // namespace nerim
