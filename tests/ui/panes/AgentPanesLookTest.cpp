// The rules of the agent column, the pane header and the prompt-target pill,
// without widgets.
#include "ui/design/NmIcons.h"
#include "ui/panes/AgentColumnLook.h"
#include "ui/panes/AgentPaneLook.h"
#include "ui/panes/AgentTargetPillLook.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace nerim {
namespace {

QUuid id(int n) { return QUuid(u"00000000-0000-0000-0000-%1"_s.arg(n, 12, 10, QLatin1Char('0'))); }

// ---- Prompt-target pill ---------------------------------------------------------------------

TEST(AgentTargetPillLook, LabelIconAndTintFollowTheTarget)
{
    const QList<AgentTargetPillLook::Pane> panes{{id(1), u"Atlas"_s, false}, {id(2), u"Deploy agent"_s, true}};
    struct Row {
        PromptTarget target;
        QString label;
        QString icon;
        bool tinted;
    };
    const QList<Row> rows{
        {PromptTarget::automatic(), u"Auto"_s, u"wand.and.stars"_s, false},
        {PromptTarget::plans(), u"Plans"_s, u"list.bullet.rectangle"_s, true},
        {PromptTarget::pane(id(1)), u"Atlas"_s, u"person.crop.circle"_s, true},
        // A system pane set as the target elsewhere shows its name.
        {PromptTarget::pane(id(2)), u"Deploy agent"_s, u"person.crop.circle"_s, true},
        // A pane that has gone reads "Auto" but keeps the person and the tint.
        {PromptTarget::pane(id(9)), u"Auto"_s, u"person.crop.circle"_s, true},
    };
    for (const Row &row : rows) {
        const MenuPillLook look = AgentTargetPillLook::look(row.target, panes);
        EXPECT_EQ(look.title, row.label);
        EXPECT_EQ(look.symbol, row.icon);
        EXPECT_EQ(look.tinted, row.tinted) << row.label.toStdString();
    }
    // Names are shown in capitals on the pill.
    EXPECT_EQ(AgentTargetPillLook::look(PromptTarget::pane(id(1)), {{id(1), u"ça va"_s, false}}).shownTitle(),
              u"ÇA VA"_s);
}

TEST(AgentTargetPillLook, TheMenuOffersTaskPanesOnlyInTheirSection)
{
    using K = AgentTargetPillLook::MenuEntry::Kind;
    const auto kinds = [](const QList<AgentTargetPillLook::MenuEntry> &entries) {
        QList<K> result;
        for (const auto &entry : entries)
            result.append(entry.kind);
        return result;
    };
    // No panes, or only system panes: Auto, a divider, Plans.
    for (const QList<AgentTargetPillLook::Pane> &panes :
         {QList<AgentTargetPillLook::Pane>{}, QList<AgentTargetPillLook::Pane>{{id(5), u"Repair"_s, true}}}) {
        const auto entries = AgentTargetPillLook::menuEntries(panes);
        EXPECT_EQ(kinds(entries), (QList<K>{K::item, K::divider, K::item}));
        EXPECT_EQ(entries[0].target, PromptTarget::automatic());
        EXPECT_EQ(entries[2].target, PromptTarget::plans());
    }

    const auto entries = AgentTargetPillLook::menuEntries(
        {{id(1), u"Atlas"_s, false}, {id(5), u"Deploy"_s, true}, {id(2), u"R&D"_s, false}});
    ASSERT_EQ(kinds(entries), (QList<K>{K::item, K::divider, K::item, K::divider, K::section, K::item, K::item}));
    EXPECT_EQ(entries[4].title, u"Task agents"_s);
    EXPECT_EQ(entries[5].title, u"Atlas"_s);
    EXPECT_EQ(entries[5].target, PromptTarget::pane(id(1)));
    EXPECT_EQ(entries[6].title, u"R&D"_s); // as written, not upper-cased
    EXPECT_EQ(entries[6].target, PromptTarget::pane(id(2)));
}

// ---- Agent column ------------------------------------------------------------------------------

TEST(AgentColumnLook, LayoutAndWidthFollowThePanesAndTheExpandedId)
{
    using L = AgentColumnLook::Layout;
    struct Row {
        QList<QUuid> panes;
        std::optional<QUuid> expanded;
        AgentColumnLook::Arrangement expected;
    };
    const QList<Row> rows{
        {{}, std::nullopt, {L::empty, -1, false}},
        {{id(1), id(2), id(3)}, std::nullopt, {L::stacked, -1, false}},
        {{id(1), id(2), id(3)}, id(2), {L::expanded, 1, true}},
        // A stale expanded id: stacked, but the width looks at the id alone.
        {{id(1)}, id(7), {L::stacked, -1, true}},
        {{}, id(7), {L::empty, -1, true}},
    };
    for (const Row &row : rows)
        EXPECT_EQ(AgentColumnLook::arrangement(row.panes, row.expanded), row.expected);
}

TEST(AgentColumnLook, ChipsStandForTheOtherPanesInOrder)
{
    const QList<AgentColumnLook::Pane> panes{
        {id(1), u"Atlas"_s, AgentStatus::working}, {id(2), u"Juniper"_s, AgentStatus::idle},
        {id(3), u"Claude 3"_s, AgentStatus::error}};
    const QList<AgentColumnLook::Chip> chips = AgentColumnLook::chips(panes, 1);
    ASSERT_EQ(chips.size(), 2);
    EXPECT_EQ(chips[0], (AgentColumnLook::Chip{id(1), u"Atlas"_s, {NmColor::success}, u"Switch focus to Atlas"_s}));
    EXPECT_EQ(chips[1], (AgentColumnLook::Chip{id(3), u"Claude 3"_s, {NmColor::danger}, u"Switch focus to Claude 3"_s}));
    EXPECT_TRUE(AgentColumnLook::chips(panes.mid(0, 1), 0).isEmpty());
}

TEST(AgentColumnLook, SpawnButtonByNumberOfPanes)
{
    for (const QList<bool> &panes : {QList<bool>{}, QList<bool>{false}, QList<bool>{false, true}}) {
        const auto look = AgentColumnLook::spawnButton(panes);
        EXPECT_TRUE(look.enabled);
        EXPECT_EQ(look.help, u"Create an idle agent pane"_s);
        EXPECT_EQ(look.color, TokenColor{NmColor::ink});
        EXPECT_FALSE(look.counter);
        EXPECT_DOUBLE_EQ(look.borderOpacity, 0.5);
    }
    const auto full = AgentColumnLook::spawnButton({false, false, false});
    EXPECT_FALSE(full.enabled);
    EXPECT_EQ(full.help, u"Agent limit reached"_s);
    EXPECT_EQ(full.color, TokenColor{NmColor::inkTertiary});
    EXPECT_EQ(full.counter, u"3 / 3"_s);
    EXPECT_DOUBLE_EQ(full.borderOpacity, 0.3);
    // The counter counts the user's agents: a Deploy or Repair pane beside
    // them fills the limit but is not one of them.
    EXPECT_EQ(AgentColumnLook::spawnButton({false, false, false, true}).counter, u"3 / 3"_s);
    EXPECT_EQ(AgentColumnLook::spawnButton({false, true, false, true}).counter, u"2 / 3"_s);
    const auto held = AgentColumnLook::spawnButton({false, false, true});
    EXPECT_FALSE(held.enabled);
    // Greyed with room to spare on the counter: the help says why.
    EXPECT_EQ(held.help, u"Agent limit reached: a Repair or Deploy pane is using one of the 3 places. Close it to spawn "
                         u"another agent."_s);
}

TEST(AgentColumnLook, ACardGrowsTheStackAndThePanesUnderItKeepTheirHeaders)
{
    using Heights = QList<AgentColumnLook::SlotHeights>;
    using AgentColumnLook::stackedAreaHeight;
    using AgentColumnLook::stackedSlotHeights;
    const AgentColumnLook::SlotNeed plain{0, 60, 30};
    const AgentColumnLook::SlotNeed carrier{150, 60, 30};

    // Without a card: the resting 400 points, shared evenly (first panes take the odd points).
    EXPECT_EQ(stackedAreaHeight({plain, plain, plain}), 400);
    EXPECT_EQ(stackedSlotHeights(400, {plain, plain, plain}), (Heights{{0, 123}, {0, 123}, {0, 122}}));
    // Four panes need more than the resting area to keep a line each.
    EXPECT_EQ(stackedAreaHeight({plain, plain, plain, plain}), 4 * 90 + 3 * 16);

    // A card adds its height; with all of it the panes keep their shares.
    EXPECT_EQ(stackedAreaHeight({plain, plain, carrier}), 550);
    EXPECT_EQ(stackedSlotHeights(550, {plain, plain, carrier}), (Heights{{0, 123}, {0, 123}, {150, 122}}));
    // Less room: the panes shrink evenly, down to a header and a line each.
    EXPECT_EQ(stackedSlotHeights(460, {plain, plain, carrier}), (Heights{{0, 93}, {0, 93}, {150, 92}}));
    // Less still: the other panes give up their line first, the card's pane keeps it.
    EXPECT_EQ(stackedSlotHeights(450, {plain, plain, carrier}), (Heights{{0, 89}, {0, 89}, {150, 90}}));
    EXPECT_EQ(stackedSlotHeights(430, {carrier, plain, plain}), (Heights{{150, 90}, {0, 79}, {0, 79}}));
    EXPECT_EQ(stackedSlotHeights(400, {plain, plain, carrier}), (Heights{{0, 64}, {0, 64}, {150, 90}}));
    // ...then a card that cannot give up its middle shows what is left after
    // the headers, and scrolls as a whole.
    EXPECT_EQ(stackedSlotHeights(300, {plain, plain, carrier}), (Heights{{0, 60}, {0, 60}, {88, 60}}));
    // Headers alone too tall: the card goes out of view and the slots overrun.
    EXPECT_EQ(stackedSlotHeights(200, {plain, plain, carrier}), (Heights{{0, 60}, {0, 60}, {0, 60}}));
    // An expanded pane is one slot on its own.
    EXPECT_EQ(stackedSlotHeights(500, {carrier}), (Heights{{150, 350}}));
    EXPECT_EQ(stackedSlotHeights(200, {carrier}), (Heights{{140, 60}}));
}

// A card whose middle scrolls gives that up before anything else it shows,
// and keeps its least (title, close mark, main control, status line, one row
// of its middle) while the headers leave room for it.
TEST(AgentColumnLook, ACardGivesUpItsMiddleButNeverItsLeast)
{
    using Heights = QList<AgentColumnLook::SlotHeights>;
    using AgentColumnLook::stackedSlotHeights;
    const AgentColumnLook::SlotNeed plain{0, 60, 30};
    const AgentColumnLook::SlotNeed card{150, 60, 30, 100};

    // Room for all of it: the whole card.
    EXPECT_EQ(stackedSlotHeights(400, {plain, plain, card}), (Heights{{0, 64}, {0, 64}, {150, 90}}));
    // Less: the middle shrinks while the pane under the card keeps its line.
    EXPECT_EQ(stackedSlotHeights(370, {plain, plain, card}), (Heights{{0, 60}, {0, 60}, {128, 90}}));
    EXPECT_EQ(stackedSlotHeights(342, {plain, plain, card}), (Heights{{0, 60}, {0, 60}, {100, 90}}));
    // Less still: that pane gives up its line, never the card its least.
    EXPECT_EQ(stackedSlotHeights(330, {plain, plain, card}), (Heights{{0, 60}, {0, 60}, {100, 78}}));
    EXPECT_EQ(stackedSlotHeights(312, {card, plain, plain}), (Heights{{100, 60}, {0, 60}, {0, 60}}));
    // Only past the headers and the least does the card show a part of itself.
    EXPECT_EQ(stackedSlotHeights(300, {plain, plain, card}), (Heights{{0, 60}, {0, 60}, {88, 60}}));
    // A least above the whole card counts as the whole card.
    EXPECT_EQ((AgentColumnLook::SlotNeed{80, 60, 30, 120}.leastCard()), 80);
}

TEST(AgentColumnLook, ResponsibilityKeepsItsFirst24Characters)
{
    EXPECT_EQ(AgentColumnLook::limitedResponsibility(u"abcdefghijklmnopqrstuvwxyz"_s), u"abcdefghijklmnopqrstuvwx"_s);
    EXPECT_FALSE(AgentColumnLook::limitedResponsibility(u"abcdefghijklmnopqrstuvwx"_s));
    // Characters, not code units: 23 letters and a family emoji (several code
    // points, 11 UTF-16 units) fit, and the emoji stays whole.
    const QString family = u"\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466"_s;
    const QString fits = u"abcdefghijklmnopqrstuvw"_s + family;
    EXPECT_FALSE(AgentColumnLook::limitedResponsibility(fits));
    EXPECT_EQ(AgentColumnLook::limitedResponsibility(fits + u"z"_s), fits);
    // Spaces count and stay.
    EXPECT_EQ(AgentColumnLook::limitedResponsibility(u"  "_s + QString(30, u'x')), u"  "_s + QString(22, u'x'));
    EXPECT_EQ(AgentColumnLook::responsibilityHelp(),
              u"Optional · up to 24 characters. Example: “UI build”, “reviewer”."_s);
}

TEST(AgentColumnLook, TheSpawnDraftSurvivesOnlyAClickOutside)
{
    AgentColumnLook::SpawnDraft draft;
    draft.open();
    draft.role = AgentRole::designer;
    draft.setResponsibility(u"UI build and a lot more than fits"_s);
    EXPECT_EQ(draft.responsibility, u"UI build and a lot more "_s);

    draft.dismiss();
    EXPECT_FALSE(draft.showing);
    EXPECT_EQ(draft.role, AgentRole::designer);
    EXPECT_EQ(draft.responsibility, u"UI build and a lot more "_s);

    draft.open();
    const auto spawn = draft.commit();
    EXPECT_EQ(spawn.responsibility, u"UI build and a lot more "_s); // as typed, not trimmed
    EXPECT_EQ(spawn.role, AgentRole::designer);
    EXPECT_FALSE(draft.showing);
    EXPECT_TRUE(draft.responsibility.isEmpty());
    EXPECT_EQ(draft.role, AgentRole::unspecified);

    draft.open();
    draft.role = AgentRole::research;
    draft.setResponsibility(u"notes"_s);
    draft.cancel();
    EXPECT_FALSE(draft.showing);
    EXPECT_TRUE(draft.responsibility.isEmpty());
    EXPECT_EQ(draft.role, AgentRole::unspecified);
}

// ---- Pane header ----------------------------------------------------------------------------

TEST(AgentPaneLook, RenamingCommitsOnlyARealNewName)
{
    AgentPaneLook::RenameState rename;
    rename.begin(u"Claude 1"_s);
    EXPECT_TRUE(rename.isEditing);
    EXPECT_EQ(rename.draft, u"Claude 1"_s);

    struct Row {
        QString current;
        QString draft;
        std::optional<QString> handedOn;
    };
    const QList<Row> rows{
        {u"Claude 1"_s, u"Claude 1"_s, std::nullopt},
        {u"Claude 1"_s, u"   \n\t"_s, std::nullopt},
        {u"Claude 1"_s, u"  Claude 1 \n"_s, std::nullopt},
        {u"Claude 1"_s, u"  Atlas  "_s, u"Atlas"_s},
        // A precomposed é and e with a combining accent are the same name.
        {u"Caf\u00e9"_s, u"Cafe\u0301"_s, std::nullopt},
    };
    for (const Row &row : rows) {
        rename.begin(row.current);
        rename.draft = row.draft;
        EXPECT_EQ(rename.commit(row.current), row.handedOn) << row.draft.toStdString();
        EXPECT_FALSE(rename.isEditing);
        EXPECT_EQ(rename.draft, row.draft); // the draft keeps its text
    }

    rename.begin(u"Atlas"_s);
    rename.draft = u"Juniper"_s;
    rename.cancel();
    EXPECT_FALSE(rename.isEditing);
    EXPECT_TRUE(rename.draft.isEmpty());
}

TEST(AgentPaneLook, NameFormsRoleMenuAndButtons)
{
    using F = AgentPaneLook::NameForm;
    EXPECT_EQ(AgentPaneLook::nameForm(false, false), F::renamable);
    EXPECT_EQ(AgentPaneLook::nameForm(false, true), F::system);
    EXPECT_EQ(AgentPaneLook::nameForm(true, false), F::editing);

    // The label shows any role; the menu offers five.
    EXPECT_EQ(AgentPaneLook::roleLabel(AgentRole::code),
              (AgentPaneLook::RoleLabel{u"chevron.left.forwardslash.chevron.right"_s, u"CODE"_s}));
    EXPECT_EQ(AgentPaneLook::roleLabel(AgentRole::dbSchema).shownTitle, u"DB SCHEMA"_s);
    QStringList titles;
    for (const auto &entry : AgentPaneLook::roleMenu())
        titles.append(entry.title);
    EXPECT_EQ(titles, (QStringList{u"General"_s, u"Designer"_s, u"Backend"_s, u"Research"_s, u"DB Schema"_s}));

    EXPECT_EQ(AgentPaneLook::expandButton(false).symbol, u"arrow.up.left.and.arrow.down.right"_s);
    EXPECT_EQ(AgentPaneLook::expandButton(false).help, u"Expand pane to full canvas"_s);
    EXPECT_EQ(AgentPaneLook::expandButton(true).symbol, u"arrow.down.right.and.arrow.up.left"_s);
    EXPECT_EQ(AgentPaneLook::expandButton(true).help, u"Return to tiled view"_s);
    EXPECT_EQ(AgentPaneLook::maximumWidth(false), 360);
    EXPECT_FALSE(AgentPaneLook::maximumWidth(true));
}

TEST(AgentPaneLook, EverySymbolThePanesDrawHasAnIcon)
{
    QStringList symbols{u"wand.and.stars"_s, u"chevron.down"_s, u"person.crop.circle"_s, u"list.bullet.rectangle"_s,
                        u"plus"_s, u"xmark"_s};
    for (AgentRole role : allAgentRoles())
        symbols.append(symbolName(role));
    symbols.append(AgentPaneLook::expandButton(false).symbol);
    symbols.append(AgentPaneLook::expandButton(true).symbol);
    for (const QString &symbol : symbols)
        EXPECT_TRUE(NmIcons::entry(symbol)) << symbol.toStdString();
}

TEST(AgentPaneLook, TheTranscriptScrollsToTheLastVisibleLine)
{
    using Kind = OutputLine::Kind;
    EXPECT_FALSE(AgentPaneLook::scrollTarget({}));
    const QList<OutputLine> lines{OutputLine::make(Kind::userPrompt, u"go"_s), OutputLine::make(Kind::stdout, u"a"_s),
                                  OutputLine::make(Kind::stdout, u"b"_s)};
    // Inside a run: its last line (the run's bottom anchor).
    EXPECT_EQ(AgentPaneLook::scrollTarget(renderGroups(lines)), lines[2].id);
    // In Highlights the output is hidden: the prompt is the newest visible line.
    EXPECT_EQ(AgentPaneLook::scrollTarget(renderGroups(visibleLines(lines, AppState::OutputMode::notification))),
              lines[0].id);
    EXPECT_EQ(AgentPaneLook::taskCompleteCount(
                  QList<OutputLine>{OutputLine::make(Kind::taskComplete, u"x"_s), lines[1],
                                    OutputLine::make(Kind::taskComplete, u"y"_s)}),
              2);
}

} // namespace
} // namespace nerim
