// The projects overview offscreen: its cards, the injected folder picker and
// removal alert, and the lazily built grid.
#include "WorkspaceWidgetTest.h"

#include "ui/design/Colors.h"
#include "ui/workspace/ActionTiles.h"
#include "ui/workspace/ProjectCard.h"
#include "ui/workspace/ProjectsOverviewView.h"
#include "ui/workspace/WorkspacePainting.h"

#include <QApplication>
#include <QEnterEvent>
#include <QLabel>
#include <QMenu>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;
using namespace nerim;
using namespace nerim::test;
using Entry = AppState::ProjectRegistryEntry;

namespace {

Entry entryFor(const QString &id, const QString &name)
{
    return {id, u"/home/u/"_s + name, name, Timestamp(100), Timestamp(100)};
}

void hover(QWidget *widget, bool inside)
{
    if (inside) {
        QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), widget->mapToGlobal(QPointF(10, 10)));
        QApplication::sendEvent(widget, &enter);
    } else {
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(widget, &leave);
    }
    settleEvents();
}

void clickCentre(QWidget *widget)
{
    QTest::mouseClick(widget, Qt::LeftButton, {}, widget->rect().center());
}

// The overview with recording callbacks and scripted dialogs.
class OverviewTest : public WorkspaceWidgetTest {
protected:
    ProjectsOverviewView &make(QList<Entry> projects, bool startBlank = true, QSize size = QSize(1180, 760))
    {
        ProjectsOverviewView::Callbacks callbacks;
        callbacks.onOpen = [this](const Entry &e) { opened.append(e.id); };
        callbacks.onAddProject = [this](const QString &path) { added.append(path); };
        callbacks.onRemoveProject = [this](const Entry &e) { removed.append(e.id); };
        if (startBlank)
            callbacks.onStartBlank = [this] { ++blanks; };
        ProjectsOverviewView::Options options;
        // The scripted dialogs answer from the event loop, as real ones do.
        options.folderPicker = [this](QWidget *, std::function<void(std::optional<QString>)> done) {
            ++picks;
            QTimer::singleShot(0, [done, result = pickResult] { done(result); });
        };
        options.removalAlert = [this](QWidget *, const QString &title, const QString &message,
                                      std::function<void(ProjectsOverviewView::AlertChoice)> done) {
            alerts.append(title + u" | "_s + message);
            QTimer::singleShot(0, [this, done, choice = alertChoice] {
                pendingDuringAlert = view->projectPendingRemoval().has_value();
                done(choice);
            });
        };
        view = std::make_unique<ProjectsOverviewView>(projects, callbacks, options);
        view->setAttribute(Qt::WA_DontShowOnScreen);
        view->resize(size);
        view->show();
        settleEvents();
        return *view;
    }

    std::unique_ptr<ProjectsOverviewView> view;
    QStringList opened, added, removed, alerts;
    int blanks = 0;
    int picks = 0;
    std::optional<QString> pickResult;
    ProjectsOverviewView::AlertChoice alertChoice = ProjectsOverviewView::AlertChoice::cancel;
    bool pendingDuringAlert = false;
};

} // namespace

TEST_F(OverviewTest, GridHoldsTheCardsInTheOrderGivenThenTheTiles)
{
    make({entryFor(u"B"_s, u"beta"_s), entryFor(u"scratch-debug"_s, u"nerim-scratch"_s), entryFor(u"A"_s, u"alpha"_s)});
    QList<ProjectCard *> cards = view->builtProjectCards();
    ASSERT_EQ(cards.size(), 3);
    EXPECT_EQ(cards[0]->project().id, u"B"_s);
    EXPECT_EQ(cards[2]->project().id, u"A"_s);
    EXPECT_EQ(view->subtitleLabel()->text(), u"2 projects."_s);
    EXPECT_FALSE(view->showsEmptyState());
    EXPECT_EQ(view->columnCount(), 4);
    // Row by row: three cards and the add tile, then the start-blank tile.
    EXPECT_EQ(view->addProjectCard()->geometry().top(), cards[0]->geometry().top());
    EXPECT_GT(view->addProjectCard()->geometry().left(), cards[2]->geometry().left());
    EXPECT_GT(view->startBlankCard()->geometry().top(), cards[0]->geometry().top());
    EXPECT_EQ(cards[0]->size(), QSize(220, 140));

    // A narrow window still has one column.
    view->resize(300, 700);
    settleEvents();
    EXPECT_EQ(view->columnCount(), 1);

    // Without the start-blank action the grid ends with the add tile.
    make({}, false);
    EXPECT_TRUE(view->addProjectCard());
    EXPECT_FALSE(view->startBlankCard());
    EXPECT_TRUE(view->showsEmptyState());
    EXPECT_EQ(view->subtitleLabel()->text(), u"Pick a folder to start a project."_s);
}

TEST_F(OverviewTest, CardsOpenRemoveAndOfferAMenuExceptTheScratchCard)
{
    make({entryFor(u"A"_s, u"alpha"_s), entryFor(u"scratch-debug"_s, u"nerim-scratch"_s)});
    ProjectCard *card = view->cardFor(u"A"_s);
    ProjectCard *scratch = view->cardFor(u"scratch-debug"_s);

    clickCentre(scratch);
    settleEvents();
    EXPECT_EQ(opened, QStringList{u"scratch-debug"_s});
    hover(scratch, true);
    EXPECT_TRUE(scratch->removeButton()->isHidden());
    EXPECT_EQ(scratch->buildContextMenu(view.get()), nullptr);

    // Hovering shows the remove button; it asks before removing, and never opens.
    EXPECT_TRUE(card->removeButton()->isHidden());
    hover(card, true);
    ASSERT_FALSE(card->removeButton()->isHidden());
    EXPECT_EQ(card->removeButton()->toolTip(), u"Remove from Nerim (folder stays on disk)"_s);
    alertChoice = ProjectsOverviewView::AlertChoice::remove;
    clickCentre(card->removeButton());
    settleEvents();
    EXPECT_EQ(removed, QStringList{u"A"_s});
    EXPECT_EQ(opened.size(), 1);
    ASSERT_EQ(alerts.size(), 1);
    EXPECT_EQ(alerts[0], u"Remove this project? | alpha will be removed from your projects list. The folder and any "
                         ".nerim/ context stay on disk — you can re-add it later."_s);
    EXPECT_TRUE(pendingDuringAlert);
    EXPECT_FALSE(view->projectPendingRemoval());
    hover(card, false);
    EXPECT_TRUE(card->removeButton()->isHidden());

    // The menu: "Open", a divider, "Remove from Nerim…" (through the alert too).
    std::unique_ptr<QMenu> menu(card->buildContextMenu(view.get()));
    ASSERT_TRUE(menu);
    const QList<QAction *> actions = menu->actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(actions[0]->text(), u"Open"_s);
    EXPECT_TRUE(actions[1]->isSeparator());
    EXPECT_EQ(actions[2]->text(), u"Remove from Nerim…"_s);
    for (ProjectsOverviewView::AlertChoice choice :
         {ProjectsOverviewView::AlertChoice::cancel, ProjectsOverviewView::AlertChoice::dismissed}) {
        alertChoice = choice;
        actions[2]->trigger();
        settleEvents();
        EXPECT_FALSE(view->projectPendingRemoval());
    }
    EXPECT_EQ(removed.size(), 1);
    EXPECT_EQ(alerts.size(), 3);
    actions[0]->trigger();
    settleEvents();
    EXPECT_EQ(opened, (QStringList{u"scratch-debug"_s, u"A"_s}));
}

TEST_F(OverviewTest, TheAddTileRunsThePickerAndTheStartTileStarts)
{
    make({});
    clickCentre(view->addProjectCard());
    settleEvents();
    EXPECT_EQ(picks, 1);
    EXPECT_TRUE(added.isEmpty());

    pickResult = u"/home/u/My Site"_s;
    clickCentre(view->addProjectCard());
    settleEvents();
    EXPECT_EQ(added, QStringList{u"/home/u/My Site"_s});

    clickCentre(view->startBlankCard());
    settleEvents();
    EXPECT_EQ(blanks, 1);
    EXPECT_EQ(view->startBlankCard()->toolTip(),
              u"Create an empty project — Nerim will make a fresh folder in Documents/Nerim Projects"_s);
}

// Whether an accent focus ring shows along the left edge of `widget`.
bool showsFocusRing(QWidget *widget)
{
    const QImage image = widget->grab().toImage();
    const QColor accent = qColor(NmColor::accent);
    const int y = image.height() / 2;
    for (int x = 0; x < 4 && x < image.width(); ++x) {
        const QColor c = image.pixelColor(int(x * image.devicePixelRatio()), int(y * image.devicePixelRatio()));
        if (std::abs(c.red() - accent.red()) < 24 && std::abs(c.green() - accent.green()) < 24
            && std::abs(c.blue() - accent.blue()) < 24)
            return true;
    }
    return false;
}

// Tab walks the cards and tiles with a visible ring; Return, Enter and Space
// run what a click runs, other keys nothing.
TEST_F(OverviewTest, CardsAndTilesWorkFromTheKeyboard)
{
    pickResult = u"/home/u/Keyed"_s;
    make({entryFor(u"A"_s, u"alpha"_s)});
    // Keyboard focus needs an active window, shown (offscreen).
    view->hide();
    view->setAttribute(Qt::WA_DontShowOnScreen, false);
    view->show();
    QApplication::setActiveWindow(view.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    ProjectCard *card = view->cardFor(u"A"_s);
    AddProjectCard *add = view->addProjectCard();
    StartBlankCard *blank = view->startBlankCard();
    if (QWidget *focused = QApplication::focusWidget())
        focused->clearFocus();
    settleEvents();
    EXPECT_FALSE(showsFocusRing(card));
    EXPECT_FALSE(showsFocusRing(add));

    // A click does not take the keyboard; Tab does.
    clickCentre(card);
    settleEvents();
    EXPECT_FALSE(card->hasFocus());
    card->setFocus(Qt::TabFocusReason);
    settleEvents();
    ASSERT_TRUE(card->hasFocus());
    EXPECT_TRUE(showsFocusRing(card));
    QTest::keyClick(card, Qt::Key_A);
    QTest::keyClick(card, Qt::Key_Return, Qt::ControlModifier);
    settleEvents();
    EXPECT_EQ(opened, QStringList{u"A"_s});
    QTest::keyClick(card, Qt::Key_Return);
    settleEvents();
    EXPECT_EQ(opened, (QStringList{u"A"_s, u"A"_s}));

    QTest::keyClick(card, Qt::Key_Tab);
    settleEvents();
    ASSERT_TRUE(add->hasFocus());
    EXPECT_FALSE(showsFocusRing(card));
    EXPECT_TRUE(showsFocusRing(add));
    QTest::keyClick(add, Qt::Key_Space);
    settleEvents();
    EXPECT_EQ(added, QStringList{u"/home/u/Keyed"_s});

    QTest::keyClick(add, Qt::Key_Tab);
    settleEvents();
    ASSERT_TRUE(blank->hasFocus());
    QTest::keyClick(blank, Qt::Key_Enter, Qt::KeypadModifier);
    settleEvents();
    EXPECT_EQ(blanks, 1);
}

// Every stop of the Tab order is a card or a tile, and shows its ring: no
// card has the focus (or a ring) when the screen opens, the first Tab lands
// on the first card, and going round (forwards and back) never stops on
// something that shows nothing.
TEST_F(OverviewTest, EveryTabStopShowsTheFocusRing)
{
    make({entryFor(u"A"_s, u"alpha"_s), entryFor(u"B"_s, u"beta"_s)});
    view->hide();
    view->setAttribute(Qt::WA_DontShowOnScreen, false);
    view->show();
    QApplication::setActiveWindow(view.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    settleEvents();

    const QList<QWidget *> stops{view->cardFor(u"A"_s), view->cardFor(u"B"_s), view->addProjectCard(),
                                 view->startBlankCard()};
    for (QWidget *stop : stops) {
        EXPECT_FALSE(stop->hasFocus());
        EXPECT_FALSE(showsFocusRing(stop));
    }
    for (const Qt::Key key : {Qt::Key_Tab, Qt::Key_Backtab}) {
        for (int press = 0; press < 2 * int(stops.size()); ++press) {
            QWidget *from = QApplication::focusWidget() ? QApplication::focusWidget() : view.get();
            QTest::keyClick(from, key);
            settleEvents();
            QWidget *focused = QApplication::focusWidget();
            ASSERT_NE(focused, nullptr) << press;
            EXPECT_TRUE(stops.contains(focused)) << press << " " << focused->metaObject()->className();
            EXPECT_TRUE(showsFocusRing(focused)) << press << " " << focused->metaObject()->className();
            if (key == Qt::Key_Tab && press == 0) {
                EXPECT_EQ(focused, stops.first());
            }
        }
    }
}

TEST_F(OverviewTest, NamesAndPathsAreShownAsWritten)
{
    Entry odd = entryFor(u"A"_s, u"<b>Shop</b> &amp;"_s);
    odd.path = u"/home/u/<i>dir</i>/a very long folder name that goes on/and on/and on/for three lines or more"_s;
    make({odd});
    ProjectCard *card = view->cardFor(u"A"_s);
    EXPECT_TRUE(card->shownName().startsWith(u"<b>Shop</b>"_s));
    const QStringList lines = card->shownPathLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith(u"/home/u/<i>dir</i>"_s));
    EXPECT_TRUE(lines[1].endsWith(u"…"_s));
}

TEST_F(OverviewTest, AThousandProjectsBuildOnlyTheCardsNearTheView)
{
    QList<Entry> many;
    for (int i = 0; i < 1000; ++i)
        many.append(entryFor(QString::number(i), u"p"_s + QString::number(i)));
    make(many);
    EXPECT_EQ(view->subtitleLabel()->text(), u"1000 projects."_s);
    const qsizetype built = view->builtProjectCards().size();
    EXPECT_GT(built, 0);
    EXPECT_LT(built, 100);
    EXPECT_FALSE(view->cardFor(u"999"_s));

    view->verticalScrollBar()->setValue(view->verticalScrollBar()->maximum());
    settleEvents();
    EXPECT_TRUE(view->cardFor(u"999"_s));
    EXPECT_FALSE(view->cardFor(u"0"_s));
    EXPECT_TRUE(view->startBlankCard());
    EXPECT_LT(view->builtProjectCards().size(), 100);
}

TEST_F(OverviewTest, ACardRepaintedAStripAtATimeNeverSplicesTwoFooterPhrases)
{
    double seconds = 100 + 53;
    ProjectCard card(entryFor(u"A"_s, u"Shop"_s), {}, {}, [&seconds] { return Timestamp(seconds); });
    card.setAttribute(Qt::WA_DontShowOnScreen);
    card.resize(220, 140);
    card.show();
    settleEvents();
    const auto drawn = [&card](const QRegion &region) {
        QImage image(card.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::white);
        card.render(&image, region.boundingRect().topLeft(), region);
        return image;
    };
    const QImage before = drawn(QRegion(card.rect()));

    // The phrase moves on ("53 sec." to "2 min."); a strip through the
    // footer's upper half still draws the one the rest of the card shows.
    seconds = 100 + 120;
    const QRect strip(0, card.height() - 32, card.width(), 7);
    const QImage stripped = drawn(QRegion(strip));
    EXPECT_EQ(stripped.copy(strip), before.copy(strip));

    // A paint of the whole footer draws the new phrase, and strips then follow it.
    const QImage after = drawn(QRegion(card.rect()));
    EXPECT_NE(after.copy(strip), before.copy(strip));
    EXPECT_EQ(drawn(QRegion(strip)).copy(strip), after.copy(strip));
}
