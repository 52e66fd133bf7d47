#include "DesignWidgetsTestSupport.h"

#include <QApplication>

#include "ui/design/widgets/NmBreathingPulse.h"
#include "ui/design/widgets/NmHoverWidget.h"
#include "ui/design/widgets/NmLoadingHint.h"
#include "ui/design/widgets/NmMotionEffect.h"
#include "ui/design/widgets/ReducibleAnimation.h"
#include "ui/design/widgets/ReducibleTransition.h"
#include "ui/design/widgets/TaskCompletePulseWrapper.h"

#include <QEnterEvent>
#include <QLabel>
#include <QPainter>
#include <QVariantAnimation>

namespace nerim {
namespace {

class MotionWidgetsTest : public test::DesignWidgetTest {};

TEST_F(MotionWidgetsTest, MaterializeUnderReduceMotionIsAPlainFade)
{
    reduceMotion(true);
    QWidget parent;
    showOffscreen(&parent, QSize(300, 200));
    auto *pane = new QWidget(&parent);
    pane->setGeometry(20, 20, 200, 120);
    QVariantAnimation *running = ReducibleTransition::insert(pane, NmMotion::materialize(), NmMotion::standard());
    ASSERT_NE(running, nullptr);
    EXPECT_EQ(running->duration(), 200);
    NmMotionEffect *effect = NmMotionEffect::existing(pane);
    ASSERT_NE(effect, nullptr);
    // At every point of the fade: no blur, full size, only opacity moves.
    for (int ms : {0, 50, 100, 150}) {
        running->setCurrentTime(ms);
        EXPECT_EQ(effect->blurRadius(), 0.0) << ms;
        EXPECT_EQ(effect->scale(), 1.0) << ms;
    }
    running->setCurrentTime(100);
    EXPECT_NEAR(effect->opacity(), 0.5, 0.01); // ease-in-out is half-way at half time
    running->setCurrentTime(200);
    EXPECT_TRUE(effect->isAtRest());
}

TEST_F(MotionWidgetsTest, MaterializeWithMotionStartsBlurredAndSmall)
{
    QWidget parent;
    showOffscreen(&parent, QSize(300, 200));
    auto *pane = new QWidget(&parent);
    QVariantAnimation *running = ReducibleTransition::insert(pane, NmMotion::materialize(), NmMotion::standard());
    ASSERT_NE(running, nullptr);
    EXPECT_EQ(running->duration(), NmMotion::standard().durationMs);
    NmMotionEffect *effect = NmMotionEffect::existing(pane);
    running->setCurrentTime(0);
    EXPECT_EQ(effect->values(), (MaterializeValues{12.0, 0.0, 0.96}));
    running->setCurrentTime(running->duration());
    EXPECT_TRUE(effect->isAtRest());
}

// A materialize draws the widget once and animates that picture; the
// widget is drawn again only when something in it changes.
TEST_F(MotionWidgetsTest, AMaterializeDrawsTheWidgetOnceUnlessItChanges)
{
    class Counted : public QWidget {
    public:
        using QWidget::QWidget;
        int paints = 0;

    protected:
        void paintEvent(QPaintEvent *) override
        {
            ++paints;
            QPainter(this).fillRect(rect(), Qt::darkCyan);
        }
    };
    QWidget parent;
    showOffscreen(&parent, QSize(300, 200));
    auto *pane = new Counted(&parent);
    pane->setGeometry(20, 20, 200, 120);
    pane->show();
    QVariantAnimation *running = ReducibleTransition::insert(pane, NmMotion::materialize(), NmMotion::standard());
    ASSERT_NE(running, nullptr);
    QImage frame;
    for (int step = 0; step <= 8; ++step) {
        running->setCurrentTime(running->duration() * step / 10);
        frame = parent.grab().toImage();
    }
    EXPECT_EQ(pane->paints, 1) << "nine frames of the motion, one picture of the pane";
    // Blurred, faded and shrunk, the picture is still the pane's.
    const QColor middle = frame.pixelColor(frame.width() * 120 / 300, frame.height() * 80 / 200);
    EXPECT_GT(middle.blue(), middle.red()) << "the pane's colour shows through";
    pane->update();
    parent.grab();
    EXPECT_EQ(pane->paints, 2) << "a pane that changed is drawn again";
}

// Once an insertion is at rest the widget carries no effect any more (every
// repaint inside it would go through the effect, and a web view inside would
// show its last frame under it); one set moving again meanwhile stays.
TEST_F(MotionWidgetsTest, AnInsertedWidgetAtRestCarriesNoEffect)
{
    for (bool reduce : {false, true}) {
        SCOPED_TRACE(reduce);
        reduceMotion(reduce);
        QWidget parent;
        showOffscreen(&parent, QSize(300, 200));
        auto *pane = new QWidget(&parent);
        QVariantAnimation *running = ReducibleTransition::insert(pane, NmMotion::materialize(), NmMotion::standard());
        ASSERT_NE(running, nullptr);
        EXPECT_NE(pane->graphicsEffect(), nullptr);
        running->setCurrentTime(running->duration());
        QApplication::processEvents();
        EXPECT_EQ(pane->graphicsEffect(), nullptr);

        auto *dimmed = new QWidget(&parent);
        running = ReducibleTransition::insert(dimmed, NmMotion::materialize(), NmMotion::standard());
        running->setCurrentTime(running->duration());
        NmMotionEffect::existing(dimmed)->setOpacity(0.85);
        QApplication::processEvents();
        ASSERT_NE(NmMotionEffect::existing(dimmed), nullptr);
        EXPECT_DOUBLE_EQ(NmMotionEffect::existing(dimmed)->opacity(), 0.85);
    }
}

TEST_F(MotionWidgetsTest, RemovalAnimatesASnapshotAndHidesTheWidgetAtOnce)
{
    for (bool reduce : {false, true}) {
        SCOPED_TRACE(reduce);
        reduceMotion(reduce);
        QWidget parent;
        auto *pane = new QWidget(&parent);
        pane->setGeometry(20, 20, 200, 120);
        showOffscreen(&parent, QSize(300, 200));
        QVariantAnimation *running = ReducibleTransition::remove(pane, NmMotion::materialize(), NmMotion::standard());
        ASSERT_NE(running, nullptr);
        EXPECT_FALSE(pane->isVisible());
        delete pane; // callers may drop the widget straight away
        EXPECT_EQ(ReducibleTransition::runningRemovals(&parent), 1);
        running->setCurrentTime(running->duration());
        QApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_EQ(ReducibleTransition::runningRemovals(&parent), 0);
    }
}

TEST_F(MotionWidgetsTest, ReducibleAnimationAppliesAtOnceUnderReduceMotion)
{
    NmHoverWidget widget;
    reduceMotion(true);
    EXPECT_EQ(ReducibleAnimation::animateProperty(&widget, "hoverProgress", 0.5, NmMotion::standard()), nullptr);
    EXPECT_DOUBLE_EQ(widget.hoverProgress(), 0.5);

    double applied = -1;
    EXPECT_EQ(ReducibleAnimation::animateValue(&widget, "x", 0, 10, NmMotion::quick(),
                                               [&](double v) { applied = v; }),
              nullptr);
    EXPECT_EQ(applied, 10);

    reduceMotion(false);
    QVariantAnimation *first =
        ReducibleAnimation::animateValue(&widget, "x", 0, 10, NmMotion::quick(), [&](double v) { applied = v; });
    ASSERT_NE(first, nullptr);
    // A second change of the same key replaces the first.
    QVariantAnimation *second =
        ReducibleAnimation::animateValue(&widget, "x", applied, 20, NmMotion::quick(), [&](double v) { applied = v; });
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->state(), QAbstractAnimation::Stopped);
    second->setCurrentTime(second->duration());
    EXPECT_DOUBLE_EQ(applied, 20);
}

TEST_F(MotionWidgetsTest, PulseBrightensOnChangesOnlyAndNeverUnderReduceMotion)
{
    QWidget pane;
    double now = 0;
    TaskCompletePulseWrapper *pulse = TaskCompletePulseWrapper::apply(&pane);
    pulse->setClock([&] { return now; });
    pulse->setTrigger(3); // first value: no pulse
    now = 0.4;
    pulse->setClock([&] { return now; });
    EXPECT_EQ(pulse->brightness(), 0.0);

    pulse->setTrigger(4);
    now = 0.8;
    pulse->setClock([&] { return now; }); // redraws at the new time
    NmMotionEffect *effect = NmMotionEffect::existing(&pane);
    ASSERT_NE(effect, nullptr);
    EXPECT_DOUBLE_EQ(effect->brightness(), 0.08);
    now = 1.3;
    pulse->setClock([&] { return now; });
    EXPECT_EQ(effect->brightness(), 0.0);

    reduceMotion(true);
    pulse->setTrigger(5);
    now = 1.7;
    pulse->setClock([&] { return now; });
    EXPECT_EQ(effect->brightness(), 0.0);
    EXPECT_EQ(TaskCompletePulseWrapper::apply(&pane), pulse);
}

// An animation that ends a hair away from the resting values leaves the
// effect at rest, so the widget is drawn directly again (not through an
// offscreen copy for a blur or a brightness nobody can see).
TEST_F(MotionWidgetsTest, AnEffectThatEndsAHairFromRestIsAtRest)
{
    QWidget pane;
    NmMotionEffect *effect = NmMotionEffect::of(&pane);
    ASSERT_NE(effect, nullptr);
    effect->setBrightness(0.08);
    effect->setBrightness(1e-13);
    effect->setOpacity(0.85);
    effect->setOpacity(0.99999999);
    effect->setBlurRadius(12);
    effect->setBlurRadius(1e-12);
    effect->setScale(0.96);
    effect->setScale(1.0 - 1e-12);
    EXPECT_TRUE(effect->isAtRest());
    EXPECT_EQ(effect->brightness(), 0.0);
    EXPECT_EQ(effect->opacity(), 1.0);
    // Values that are not a hair from rest stay as given.
    effect->setOpacity(0.85);
    EXPECT_DOUBLE_EQ(effect->opacity(), 0.85);
    EXPECT_FALSE(effect->isAtRest());
}

TEST_F(MotionWidgetsTest, BreathingLineRestsAtPointSevenUnderReduceMotion)
{
    reduceMotion(true);
    NmLoadingHint hint(NmLoadingHint::Mark::none, QStringLiteral("Preparing memory…"), QStringLiteral("later"));
    showOffscreen(&hint, QSize(300, 80));
    NmMotionEffect *primary = NmMotionEffect::existing(hint.primaryLabel());
    ASSERT_NE(primary, nullptr);
    EXPECT_DOUBLE_EQ(primary->opacity(), 0.7);
    QApplication::processEvents();
    EXPECT_DOUBLE_EQ(primary->opacity(), 0.7);
    // The secondary line never breathes.
    ASSERT_NE(hint.secondaryLabel(), nullptr);
    EXPECT_EQ(NmMotionEffect::existing(hint.secondaryLabel()), nullptr);

    // Motion back on: the breath starts again from its low point.
    reduceMotion(false);
    EXPECT_NEAR(primary->opacity(), 0.55, 0.02);
    reduceMotion(true);
    EXPECT_DOUBLE_EQ(primary->opacity(), 0.7);
}

TEST_F(MotionWidgetsTest, HoverSwitchesAtOnceUnderReduceMotionAndIgnoresDisabledWidgets)
{
    reduceMotion(true);
    NmHoverWidget widget;
    showOffscreen(&widget, QSize(40, 40));
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(&widget, &enter);
    EXPECT_TRUE(widget.isHovered());
    EXPECT_EQ(widget.hoverProgress(), 1.0);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&widget, &leave);
    EXPECT_EQ(widget.hoverProgress(), 0.0);

    widget.setEnabled(false);
    QApplication::sendEvent(&widget, &enter);
    EXPECT_FALSE(widget.isHovered());

    // With motion the progress animates: not there yet right after entering.
    reduceMotion(false);
    widget.setEnabled(true);
    QApplication::sendEvent(&widget, &enter);
    EXPECT_TRUE(widget.isHovered());
    EXPECT_LT(widget.hoverProgress(), 1.0);
}

} // namespace
} // namespace nerim
