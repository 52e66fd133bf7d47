#include "onboarding/OnboardingWordmark.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/MotionPreferences.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace nerim;

namespace {

void show(QWidget &widget)
{
    widget.setAttribute(Qt::WA_DontShowOnScreen);
    widget.show();
    QApplication::processEvents();
}

// Whether some pixel of the widget is drawn in (nearly) the ink colour.
bool drawsInk(QWidget &widget)
{
    const QImage image = widget.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    const QColor ink = qColor(NmColor::ink);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.alpha() > 240 && std::abs(c.red() - ink.red()) < 12 && std::abs(c.green() - ink.green()) < 12 &&
                std::abs(c.blue() - ink.blue()) < 12)
                return true;
        }
    return false;
}

} // namespace

TEST(OnboardingWordmark, WelcomeAndMonogramDrawInInk)
{
    MotionPreferences::shared().setReduceMotion(true);
    OnboardingWordmark welcome(OnboardingWordmark::Mode::welcome);
    OnboardingWordmark monogram(OnboardingWordmark::Mode::monogram);
    EXPECT_EQ(welcome.text(), u"Nerim"_s);
    EXPECT_EQ(monogram.text(), u"Nm"_s);
    // The wordmark is set in the display type, larger than the monogram.
    EXPECT_GT(welcome.sizeHint().height(), monogram.sizeHint().height());
    EXPECT_GT(welcome.sizeHint().width(), monogram.sizeHint().width());
    show(welcome);
    show(monogram);
    EXPECT_TRUE(drawsInk(welcome));
    EXPECT_TRUE(drawsInk(monogram));
}

TEST(OnboardingWordmark, SettlesFromTransparentOnItsFirstShow)
{
    MotionPreferences::shared().setReduceMotion(false);
    OnboardingWordmark mark(OnboardingWordmark::Mode::welcome);
    EXPECT_FALSE(mark.settled());
    EXPECT_EQ(mark.opacity(), 0.0);
    show(mark);
    EXPECT_TRUE(mark.settled());
    EXPECT_LT(mark.opacity(), 1.0);
    QElapsedTimer timer;
    timer.start();
    while (mark.opacity() < 1.0 && timer.elapsed() < 5000)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(mark.opacity(), 1.0);

    // Under Reduce Motion it is there at once.
    MotionPreferences::shared().setReduceMotion(true);
    OnboardingWordmark still(OnboardingWordmark::Mode::monogram);
    show(still);
    EXPECT_EQ(still.opacity(), 1.0);
}

TEST(OnboardingWordmark, IsTheMarkOfTheLoadingHints)
{
    OnboardingWordmark::installAsLoadingHintMark();
    const NmLoadingHint wordmark(NmLoadingHint::Mark::wordmark, u"Loading"_s);
    const NmLoadingHint monogram(NmLoadingHint::Mark::monogram, u"Opening project…"_s);
    auto *welcomeMark = qobject_cast<OnboardingWordmark *>(wordmark.markWidget());
    auto *monogramMark = qobject_cast<OnboardingWordmark *>(monogram.markWidget());
    ASSERT_TRUE(welcomeMark);
    ASSERT_TRUE(monogramMark);
    EXPECT_EQ(welcomeMark->mode(), OnboardingWordmark::Mode::welcome);
    EXPECT_EQ(monogramMark->mode(), OnboardingWordmark::Mode::monogram);
    EXPECT_FALSE(NmLoadingHint(NmLoadingHint::Mark::none, u"x"_s).markWidget());
    NmLoadingHint::setWordmarkFactory({});
}
