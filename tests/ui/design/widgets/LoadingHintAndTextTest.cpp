#include "DesignWidgetsTestSupport.h"

#include "ui/design/Font.h"
#include "ui/design/InterFontRegistry.h"
#include "ui/design/widgets/AtmosphereView.h"
#include "ui/design/widgets/NmLoadingHint.h"
#include "ui/design/widgets/NmText.h"

#include <QDir>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QGlyphRun>
#include <QPainter>
#include <QRawFont>
#include <QTextLayout>

#include <algorithm>

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
    expected = Font::withEmojiFallback(expected);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Font::nm(without, 13, QFont::Medium), expected);
    EXPECT_EQ(lines, 1);

    const QFont mono = Font::nmMono(12);
    // The system's fixed font: the face its (generic) name stands for.
    EXPECT_EQ(QFontInfo(mono).family(), QFontInfo(QFontDatabase::systemFont(QFontDatabase::FixedFont)).family());
    EXPECT_NE(mono.family(), QStringLiteral("Inter"));
    EXPECT_EQ(mono.weight(), QFont::Normal);
    // Point sizes keep fractions: 9.5 design points is never rounded to pixels.
    EXPECT_DOUBLE_EQ(NmFont::micro().pointSizeF(), Font::pointSizeForPixels(9.5));
}

// Emoji in the type scale's text and monospaced faces: one the text face
// lacks is drawn in colour from the emoji face, and none is drawn as a box
// (the "no glyph" mark). Which face draws an emoji the text face has (a
// black-and-white lightning bolt in DejaVu Sans Mono) is the machine's fonts'
// choice, so that is not asserted.
TEST_F(LoadingHintTest, EmojiAreDrawnInColour)
{
    if (!QFontDatabase::families().contains(Font::emojiFamily))
        GTEST_SKIP() << "fonts-noto-color-emoji is not installed (scripts/setup installs it)";
    const auto colouredPixels = [](const QFont &font, const QString &text) {
        QImage image(80, 40, QImage::Format_ARGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.setFont(font);
        painter.setPen(Qt::black);
        painter.drawText(QRect(0, 0, 80, 40), Qt::AlignCenter, text);
        painter.end();
        int coloured = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                coloured += std::max({c.red(), c.green(), c.blue()}) - std::min({c.red(), c.green(), c.blue()}) > 60;
            }
        return coloured;
    };
    // The faces Qt shapes `text` with, each glyph's face; glyph 0 is a box.
    struct Shaped {
        QStringList faces;
        bool box = false;
    };
    const auto shape = [](const QFont &font, const QString &text) {
        QTextLayout layout(text, font);
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        Shaped shaped;
        for (const QGlyphRun &run : layout.glyphRuns()) {
            shaped.faces.append(run.rawFont().familyName());
            for (const quint32 glyph : run.glyphIndexes())
                shaped.box = shaped.box || glyph == 0;
        }
        return shaped;
    };
    const QStringList emoji = {QStringLiteral("\U0001F355"), QStringLiteral("\u26A1"), QStringLiteral("\u2708"),
                               QStringLiteral("\U0001F680")};
    int lackedByATextFace = 0;
    for (const QFont &font : {NmFont::body(), NmFont::mono(), NmFont::micro()}) {
        EXPECT_EQ(font.families().last(), Font::emojiFamily);
        // The text face stays the font (the generic "monospace" too): digits
        // and letters never come from the emoji face.
        EXPECT_NE(QFontInfo(font).family(), Font::emojiFamily) << font.family().toStdString();
        const QRawFont textFace = QRawFont::fromFont(font);
        for (const QString &one : emoji) {
            const std::string what = font.family().toStdString() + " " + one.toStdString();
            const Shaped shaped = shape(font, one);
            EXPECT_FALSE(shaped.box) << what;
            if (textFace.supportsCharacter(one.toUcs4().first()))
                continue;
            ++lackedByATextFace;
            EXPECT_EQ(shaped.faces, QStringList{Font::emojiFamily}) << what;
            EXPECT_GT(colouredPixels(font, one), 20) << what;
        }
    }
    // No text face has every emoji (none of the faces the setup installs or a
    // desktop ships has a pizza), so the colour path above was taken.
    EXPECT_GT(lackedByATextFace, 0);
    // The application's default font (a generic name) gets the same fallback
    // after the face it stands for.
    const QFont defaultFont = Font::withEmojiFallback(QGuiApplication::font());
    EXPECT_EQ(defaultFont.families().last(), Font::emojiFamily);
    EXPECT_NE(QFontInfo(defaultFont).family(), Font::emojiFamily);
    EXPECT_FALSE(shape(defaultFont, QStringLiteral("\U0001F355")).box);
    if (!QRawFont::fromFont(defaultFont).supportsCharacter(U'\U0001F355')) {
        EXPECT_GT(colouredPixels(defaultFont, QStringLiteral("\U0001F355")), 20);
    }
}

// The face a font is drawn with is found without loading it, and it is the
// face Qt loads: for the application's font, generic names and real faces.
TEST_F(LoadingHintTest, AliasesResolveToTheFaceQtDraws)
{
    // The X11 desktop's fixed font carries a typewriter hint (this test's
    // platform gives none).
    QFont typewriter(QStringLiteral("monospace"));
    typewriter.setStyleHint(QFont::TypeWriter);
    // Names matched ahead (as at start-up, before the first window) give the
    // same answers as names matched when asked.
    Font::matchAliasesAhead({QStringLiteral("Sans Serif"), QStringLiteral("monospace")});
    QList<QFont> fonts = {QGuiApplication::font(), QFont(QStringLiteral("Sans Serif")), QFont(QStringLiteral("serif")),
                          QFont(QStringLiteral("sans-serif")), QFontDatabase::systemFont(QFontDatabase::FixedFont),
                          typewriter};
    // Faces of the database, some also with their foundry.
    for (const QString &family : QFontDatabase::families())
        fonts.append(QFont(family));
    for (const QFont &font : fonts) {
        QFont bold = font;
        bold.setWeight(QFont::Bold);
        for (const QFont &asked : {font, bold}) {
            const QString resolved = Font::resolveAlias(asked);
            EXPECT_FALSE(resolved.isEmpty()) << asked.family().toStdString();
            EXPECT_EQ(resolved.toStdString(), QFontInfo(asked).family().toStdString()) << asked.family().toStdString();
            // The emoji fallback leaves the face the text is drawn with as it was.
            EXPECT_EQ(QFontInfo(Font::withEmojiFallback(asked)).family().toStdString(), resolved.toStdString())
                << asked.family().toStdString();
        }
    }
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

// The drift repaints only the bands of the window whose colour moved, and
// what is shown afterwards is the picture of that moment to within a level;
// painting starts none of the painter's helper threads (a scaled image would).
TEST_F(LoadingHintTest, AtmosphereRepaintsOnlyWhatMovedAndScalesNoImage)
{
    const auto threads = [] { return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(); };
    double t = 1000.0;
    AtmosphereView view;
    view.setClock([&] { return t; });
    const qsizetype threadsBefore = threads();
    showOffscreen(&view, QSize(1600, 1000));
    view.grab();
    EXPECT_EQ(threads(), threadsBefore);

    const int renders = view.renderCount();
    while (view.renderCount() == renders && t < 1030.0) {
        t += 0.25;
        view.setClock([&] { return t; });
    }
    ASSERT_GT(view.renderCount(), renders);
    const QRegion repainted = view.lastRepainted();
    EXPECT_FALSE(repainted.isEmpty());
    int area = 0;
    for (const QRect &rect : repainted)
        area += rect.width() * rect.height();
    EXPECT_LT(area, view.width() * view.height() / 2);

    AtmosphereView fresh;
    fresh.setClock([&] { return t; });
    showOffscreen(&fresh, QSize(1600, 1000));
    const QImage shown = view.grab().toImage();
    const QImage expected = fresh.grab().toImage();
    ASSERT_EQ(shown.size(), expected.size());
    int worst = 0;
    for (int y = 0; y < shown.height(); ++y) {
        const int x = (y * 7) % shown.width();
        const QColor a = shown.pixelColor(x, y), b = expected.pixelColor(x, y);
        worst = std::max({worst, std::abs(a.red() - b.red()), std::abs(a.green() - b.green()),
                          std::abs(a.blue() - b.blue())});
    }
    EXPECT_LE(worst, 1);
}

} // namespace
} // namespace nerim
