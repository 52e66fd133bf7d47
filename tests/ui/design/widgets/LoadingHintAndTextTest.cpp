#include "DesignWidgetsTestSupport.h"

#include "ui/design/Font.h"
#include "ui/design/InterFontRegistry.h"
#include "ui/design/widgets/AtmosphereView.h"
#include "ui/design/widgets/NmLoadingHint.h"
#include "ui/design/widgets/NmText.h"

#include <QFontDatabase>
#include <QLabel>
#include <QLayout>

namespace nerim {
namespace {

class LoadingHintTest : public test::DesignWidgetTest {
protected:
    void TearDown() override { NmLoadingHint::setWordmarkFactory({}); }
};

TEST_F(LoadingHintTest, MarkSetsSpacingFontAndTheWordmarkMode)
{
    // Without a factory the mark is an empty stand-in that keeps the spacing.
    NmLoadingHint plain(NmLoadingHint::Mark::wordmark, QStringLiteral("Opening project…"));
    ASSERT_NE(plain.markWidget(), nullptr);
    EXPECT_EQ(plain.markWidget()->maximumHeight(), 0);
    EXPECT_EQ(plain.layout()->spacing(), 24);
    EXPECT_EQ(plain.primaryLabel()->font(), NmFont::subtitle());
    EXPECT_EQ(plain.secondaryLabel(), nullptr);

    QList<NmWordmarkMode> modes;
    NmLoadingHint::setWordmarkFactory([&](NmWordmarkMode mode, QWidget *parent) {
        modes.append(mode);
        auto *mark = new QWidget(parent);
        mark->setFixedSize(80, 20);
        return mark;
    });
    NmLoadingHint monogram(NmLoadingHint::Mark::monogram, QStringLiteral("Opening project…"), QString());
    EXPECT_EQ(monogram.layout()->spacing(), 12);
    EXPECT_EQ(monogram.primaryLabel()->font(), NmFont::body());
    EXPECT_EQ(monogram.markWidget()->size(), QSize(80, 20));
    // A present but empty secondary line is still there.
    ASSERT_NE(monogram.secondaryLabel(), nullptr);
    EXPECT_EQ(monogram.secondaryLabel()->font(), NmFont::caption());

    NmLoadingHint none(NmLoadingHint::Mark::none, QStringLiteral("Preparing memory…"));
    EXPECT_EQ(none.markWidget(), nullptr);
    EXPECT_EQ(none.layout()->spacing(), 0);
    EXPECT_EQ(none.primaryLabel()->font(), NmFont::caption());
    NmLoadingHint wordmark(NmLoadingHint::Mark::wordmark, QStringLiteral("x"));
    EXPECT_EQ(modes, (QList<NmWordmarkMode>{NmWordmarkMode::monogram, NmWordmarkMode::welcome}));
}

TEST_F(LoadingHintTest, LinesAreShownAsPlainText)
{
    NmLoadingHint hint(NmLoadingHint::Mark::none, QStringLiteral("<b>Recipe</b> &amp;"), QStringLiteral("<img src=x>"));
    EXPECT_EQ(hint.primaryLabel()->textFormat(), Qt::PlainText);
    EXPECT_EQ(hint.primaryLabel()->text(), QStringLiteral("<b>Recipe</b> &amp;"));
    EXPECT_EQ(hint.secondaryLabel()->textFormat(), Qt::PlainText);

    QLabel tip;
    NmText::setPlainToolTip(&tip, QStringLiteral("Close <b>pane</b>"));
    EXPECT_FALSE(tip.toolTip().contains(QStringLiteral("<b>")));
    EXPECT_TRUE(tip.toolTip().contains(QStringLiteral("&lt;b&gt;")));
    NmText::setPlainToolTip(&tip, QStringLiteral("Close pane"));
    EXPECT_EQ(tip.toolTip(), QStringLiteral("Close pane"));
}

TEST_F(LoadingHintTest, FontsFallBackToTheSystemFontAndMonoIsNeverInter)
{
    InterFontRegistry::Environment missing;
    missing.findFontFiles = [] { return QStringList(); };
    missing.registerFontFile = [](const QString &) { return InterFontRegistry::RegisterResult{true, {}}; };
    missing.familyNames = [] { return QStringList(); };
    int lines = 0;
    missing.log = [&](const QString &) { ++lines; };
    const InterFontRegistry without(missing);
    QFont expected = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    expected.setPointSizeF(Font::pointSizeForPixels(13));
    expected.setWeight(QFont::Medium);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Font::nm(without, 13, QFont::Medium), expected);
    EXPECT_EQ(lines, 1);

    const QFont mono = Font::nmMono(12);
    EXPECT_EQ(mono.family(), QFontDatabase::systemFont(QFontDatabase::FixedFont).family());
    EXPECT_NE(mono.family(), QStringLiteral("Inter"));
    EXPECT_EQ(mono.weight(), QFont::Normal);
    // Point sizes keep fractions: 9.5 design points is never rounded to pixels.
    EXPECT_DOUBLE_EQ(NmFont::micro().pointSizeF(), Font::pointSizeForPixels(9.5));
}

TEST_F(LoadingHintTest, AtmosphereStandsStillUnderReduceMotion)
{
    double t = 1000.0;
    AtmosphereView view;
    view.setClock([&] { return t; });
    showOffscreen(&view, QSize(120, 160));
    EXPECT_TRUE(view.isAnimating());

    reduceMotion(true);
    EXPECT_FALSE(view.isAnimating());
    const QImage still = view.grab().toImage();
    t = 1030.0;
    view.setClock([&] { return t; });
    EXPECT_EQ(view.grab().toImage(), still);

    reduceMotion(false);
    EXPECT_TRUE(view.isAnimating());
    EXPECT_NE(view.grab().toImage(), still);
}

} // namespace
} // namespace nerim
