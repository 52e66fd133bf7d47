#include "app/ApplicationStyle.h"
#include "app/KeyboardFocusRing.h"
#include "app/MainWindow.h"
#include "ui/design/Colors.h"
#include "ui/design/MotionPreferences.h"
#include "ui/design/widgets/AtmosphereView.h"
#include "ui/design/widgets/NmCapsuleButton.h"
#include "voice/VoiceNarratorService.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QScreen>
#include <QTest>
#include <gtest/gtest.h>

using nerim::MainWindow;

// A pairing link brings the window forward without taking away the size the
// user gave it: only a minimized window changes state.
TEST(MainWindow, BringingToFrontKeepsMaximizedAndFullScreen)
{
    const struct {
        const char *name;
        void (*arrange)(MainWindow &);
        Qt::WindowStates expected;
    } rows[] = {
        {"normal", [](MainWindow &w) { w.show(); }, Qt::WindowNoState},
        {"maximized", [](MainWindow &w) { w.showMaximized(); }, Qt::WindowMaximized},
        {"full screen", [](MainWindow &w) { w.showFullScreen(); }, Qt::WindowFullScreen},
        {"minimized", [](MainWindow &w) { w.showMinimized(); }, Qt::WindowNoState},
        {"minimized from maximized",
         [](MainWindow &w) {
             w.showMaximized();
             w.setWindowState(w.windowState() | Qt::WindowMinimized);
         },
         Qt::WindowMaximized},
        {"hidden", [](MainWindow &) {}, Qt::WindowNoState},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        MainWindow window;
        row.arrange(window);
        QApplication::processEvents();
        window.bringToFront();
        QApplication::processEvents();
        EXPECT_TRUE(window.isVisible());
        EXPECT_FALSE(window.isMinimized());
        EXPECT_EQ(window.windowState() & ~Qt::WindowActive, row.expected);
    }
}

// The window opens within the screen's free area, whatever its size: the
// default size where it fits, else as much as fits with its frame inside.
TEST(MainWindow, OpensWithinTheScreensFreeArea)
{
    const QMargins frame(4, 30, 4, 4);
    for (const QRect available : {QRect(0, 0, 1024, 700), QRect(0, 0, 1280, 800), QRect(0, 0, 1600, 1000),
                                  QRect(1920, 24, 1024, 676), QRect(0, 0, 640, 480)}) {
        SCOPED_TRACE(QStringLiteral("%1x%2").arg(available.width()).arg(available.height()).toStdString());
        const QRect placed = MainWindow::fittedGeometry(available, frame);
        EXPECT_TRUE(available.contains(placed.marginsAdded(frame))) << placed.x() << "," << placed.y();
        EXPECT_EQ(placed.width(), std::min(MainWindow::defaultWidth, available.width() - 8));
        EXPECT_EQ(placed.height(), std::min(MainWindow::defaultHeight, available.height() - 34));
    }

    // The real window, on the test's screen (smaller than the default size).
    MainWindow window;
    window.show();
    QApplication::processEvents();
    const QRect available = window.screen()->availableGeometry();
    EXPECT_TRUE(available.contains(window.frameGeometry()))
        << window.frameGeometry().width() << "x" << window.frameGeometry().height() << " in " << available.width()
        << "x" << available.height();
}

// Where Tab puts the focus shows a ring, unless the control draws its own;
// a click, or focus that moves for another reason, shows none.
TEST(KeyboardFocusRing, RingsWhatTabReaches)
{
    nerim::KeyboardFocusRing rings;
    QWidget window;
    auto *field = new QLineEdit(&window);
    auto *plain = new QPushButton(QStringLiteral("Plain"), &window);
    auto *own = new nerim::NmCapsuleButton(QStringLiteral("Own"), nerim::NmCapsuleButton::Role::bordered, &window);
    auto *layout = new QVBoxLayout(&window);
    for (QWidget *w : {static_cast<QWidget *>(field), static_cast<QWidget *>(plain), static_cast<QWidget *>(own)}) {
        w->setFocusPolicy(Qt::StrongFocus);
        layout->addWidget(w);
    }
    window.show();
    QApplication::setActiveWindow(&window);
    field->setFocus(Qt::OtherFocusReason);
    QApplication::processEvents();
    EXPECT_EQ(rings.ringedWidget(), nullptr);

    QTest::keyClick(field, Qt::Key_Tab);
    ASSERT_TRUE(plain->hasFocus());
    EXPECT_EQ(rings.ringedWidget(), plain);
    QTest::keyClick(plain, Qt::Key_Tab);
    ASSERT_TRUE(own->hasFocus());
    EXPECT_EQ(rings.ringedWidget(), nullptr); // it draws its own ring
    QTest::keyClick(own, Qt::Key_Backtab);
    EXPECT_EQ(rings.ringedWidget(), plain);
    QTest::mouseClick(field, Qt::LeftButton);
    field->setFocus(Qt::MouseFocusReason);
    EXPECT_EQ(rings.ringedWidget(), nullptr);
    // Focus moved on because the focused control went away is not a Tab.
    plain->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(rings.ringedWidget(), nullptr);
}

// The drifting background repaints only when the picture changed visibly (a
// frame's worth of drift changes nothing a person could see) and rests while
// the window is minimised, hidden or under Reduce Motion.
TEST(MainWindow, TheBackgroundRestsUntilItsPictureVisiblyChanges)
{
    nerim::MotionPreferences::shared().setReduceMotion(false);
    MainWindow window;
    window.setAttribute(Qt::WA_DontShowOnScreen);
    window.resize(1280, 800);
    auto *background = window.findChild<nerim::AtmosphereView *>();
    ASSERT_NE(background, nullptr);
    double t = 1000.0;
    background->setClock([&t] { return t; });
    window.show();
    QApplication::setActiveWindow(&window);
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
    ASSERT_TRUE(background->isAnimating());
    background->grab();
    const int drawn = background->renderCount();

    // Ticks a thirtieth of a second apart for a second: nothing visible moves.
    for (int tick = 0; tick < 30; ++tick) {
        t += 1.0 / 30;
        QTest::qWait(12);
        background->grab();
    }
    EXPECT_LE(background->renderCount() - drawn, 1);

    // Ten seconds on, the middle row has moved: the picture is drawn anew.
    t += 10;
    QTest::qWait(400);
    background->grab();
    EXPECT_GT(background->renderCount(), drawn);

    window.showMinimized();
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
    EXPECT_FALSE(background->isAnimating());
    window.showNormal();
    QApplication::setActiveWindow(&window);
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
    EXPECT_TRUE(background->isAnimating());
    window.hide();
    QApplication::processEvents();
    EXPECT_FALSE(background->isAnimating());
    nerim::MotionPreferences::shared().setReduceMotion(true);
}

// The application menu, drawn with the palette: Settings…, the narration
// mute toggle (bound to the user's setting) and Quit Nerim.
TEST(MainWindow, TheApplicationMenuHoldsSettingsTheMuteToggleAndQuit)
{
    MainWindow window;
    window.installApplicationMenu();
    const QList<QAction *> menus = window.menuBar()->actions();
    ASSERT_EQ(menus.size(), 1);
    EXPECT_EQ(menus[0]->text(), QStringLiteral("Nerim"));
    QMenu *menu = menus[0]->menu();
    ASSERT_NE(menu, nullptr);
    QStringList texts;
    for (QAction *action : menu->actions())
        texts << (action->isSeparator() ? QStringLiteral("—") : action->text());
    EXPECT_EQ(texts, (QStringList{QStringLiteral("Settings\u2026"), QStringLiteral("Mute Narration"),
                                  QStringLiteral("—"), QStringLiteral("Quit Nerim")}));
    QAction *mute = menu->findChild<QAction *>(QStringLiteral("muteNarrationAction"));
    ASSERT_NE(mute, nullptr);
    const bool before = nerim::VoiceNarratorService::shared().isMuted();
    mute->setChecked(!before);
    EXPECT_EQ(nerim::VoiceNarratorService::shared().isMuted(), !before);
    mute->setChecked(before);
    EXPECT_EQ(nerim::VoiceNarratorService::shared().isMuted(), before);
    EXPECT_FALSE(window.windowIcon().isNull());
    EXPECT_FALSE(MainWindow::applicationIcon().pixmap(64, 64).isNull());
}

// The icon is made from pixels rendered at build time: every size the window
// system asks for, each the brand mark (a dark mark on a light tile with
// transparent corners), none of them blank or of the wrong size.
TEST(MainWindow, ApplicationIconHasEverySizeOfTheBrandMark)
{
    const QIcon icon = MainWindow::applicationIcon();
    QList<QSize> sizes = icon.availableSizes();
    std::sort(sizes.begin(), sizes.end(), [](QSize a, QSize b) { return a.width() < b.width(); });
    EXPECT_EQ(sizes, (QList<QSize>{{16, 16}, {32, 32}, {48, 48}, {64, 64}, {128, 128}}));
    for (const QSize &size : sizes) {
        SCOPED_TRACE(size.width());
        const QImage image = icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
        ASSERT_EQ(image.size(), size);
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
        EXPECT_EQ(qAlpha(image.pixel(size.width() - 1, size.height() - 1)), 0);
        // The tile is light paper; the mark crosses the middle row in ink.
        EXPECT_GT(qGray(image.pixel(size.width() / 2, size.height() / 5)), 200);
        int darkest = 255;
        for (int x = 0; x < size.width(); ++x)
            darkest = std::min(darkest, qGray(image.pixel(x, size.height() / 2)));
        EXPECT_LT(darkest, 100);
    }
}

// The style draws the menu bar's overflow icons itself and leaves every other
// standard icon to the desktop's style.
TEST(ApplicationStyle, DrawsTheOverflowIconsAndForwardsTheRest)
{
    nerim::ApplicationStyle style;
    for (const auto which : {QStyle::SP_ToolBarHorizontalExtensionButton, QStyle::SP_ToolBarVerticalExtensionButton}) {
        const QImage image = style.standardIcon(which).pixmap(16, 16).toImage();
        ASSERT_FALSE(image.isNull());
        int inked = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                inked += qAlpha(image.pixel(x, y)) > 128;
        EXPECT_GT(inked, 10) << which;
    }
    EXPECT_FALSE(style.standardIcon(QStyle::SP_MessageBoxWarning).isNull());
}

// The window's menu bar is drawn by the style in the design's colours, with
// no style sheet behind it: the bar in mist, the item under the pointer on
// the soft accent with round corners, the padding around its title. The menu
// takes its style sheet the first time it opens.
TEST(ApplicationStyle, DrawsTheMenuBarAndTheMenuIsStyledWhenItFirstOpens)
{
    nerim::ApplicationStyle style;
    MainWindow window;
    window.installApplicationMenu();
    QMenuBar *bar = window.menuBar();
    bar->setStyle(&style);
    window.resize(640, 400);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_TRUE(bar->styleSheet().isEmpty());

    QAction *title = bar->actions().constFirst();
    const QRect item = bar->actionGeometry(title);
    EXPECT_EQ(item.height(), bar->fontMetrics().height() + 6);
    EXPECT_NEAR(item.width(), bar->fontMetrics().horizontalAdvance(title->text()) + 20, 1);
    EXPECT_EQ(item.top(), 2);
    const auto pixel = [bar](QPoint at) { return bar->grab().toImage().pixelColor(at); };
    const QColor mist = nerim::qColor(nerim::NmColor::mist);
    const QColor accent = nerim::qColor(nerim::NmColor::accentSoft);
    const QPoint insideEdge(item.left() + 2, item.center().y());
    EXPECT_EQ(pixel(QPoint(bar->width() - 3, bar->height() / 2)), mist);
    EXPECT_EQ(pixel(insideEdge), mist);

    QMouseEvent move(QEvent::MouseMove, QPointF(item.center()), bar->mapToGlobal(QPointF(item.center())), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(bar, &move);
    EXPECT_EQ(pixel(insideEdge), accent);
    EXPECT_NE(pixel(item.topLeft()), accent); // the corner is round

    QMenu *menu = title->menu();
    ASSERT_NE(menu, nullptr);
    EXPECT_TRUE(menu->styleSheet().isEmpty());
    menu->popup(window.mapToGlobal(item.bottomLeft()));
    QApplication::processEvents();
    EXPECT_TRUE(menu->styleSheet().contains(QStringLiteral("QMenu::item:selected")));
    menu->close();
}
