// Gallery pages of the design system: palette, type, icons, the background,
// surfaces, loading hints, motion states and the painter kit.
#include "GalleryRegistry.h"

#include "ui/design/AtmosphereMesh.h"
#include "ui/design/Colors.h"
#include "ui/design/Font.h"
#include "ui/design/MotionPreferences.h"
#include "ui/design/NmIcons.h"
#include "ui/design/NmPainter.h"
#include "ui/design/Strings.h"
#include "ui/design/widgets/AtmosphereView.h"
#include "ui/design/widgets/NmLoadingHint.h"
#include "ui/design/widgets/NmMotionEffect.h"
#include "ui/design/widgets/NmSurfaceModifier.h"
#include "ui/design/widgets/NmText.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

namespace nerim {
namespace {

qreal pixelRatio()
{
    return QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->devicePixelRatio() : 1.0;
}

// A blank image of `size` points at the screen's pixel ratio, filled with paper.
QImage paperImage(QSize size)
{
    const qreal dpr = pixelRatio();
    QImage image(size * dpr, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(qColor(NmColor::paper));
    return image;
}

QLabel *label(const QString &text, const QFont &font, NmRgb colour, QWidget *parent)
{
    auto *l = new QLabel(parent);
    NmText::setPlainText(l, text);
    l->setFont(font);
    QPalette palette = l->palette();
    palette.setColor(QPalette::WindowText, qColor(colour));
    l->setPalette(palette);
    return l;
}

// A surface with a title and a line of body text, padded like a pane.
QWidget *sampleSurface(QWidget *parent, bool promptBar, bool focused, const QString &title, const QString &body)
{
    auto *surface = new QWidget(parent);
    auto *layout = new QVBoxLayout(surface);
    if (promptBar) {
        layout->setContentsMargins(22, 10, 22, 10);
        NmPromptBarSurfaceModifier::apply(surface, focused);
    } else {
        layout->setContentsMargins(16, 14, 16, 14);
        NmPaneSurfaceModifier::apply(surface, focused);
    }
    layout->setSpacing(4);
    layout->addWidget(label(title, NmFont::bodyMedium(), NmColor::ink, surface));
    if (!body.isEmpty())
        layout->addWidget(label(body, NmFont::caption(), NmColor::inkSecondary, surface));
    layout->addStretch();
    return surface;
}

} // namespace
} // namespace nerim

using namespace nerim;

NERIM_GALLERY_PAGE(palette, "design-palette")
{
    const struct {
        const char *name;
        NmRgb rgb;
    } tokens[] = {
        {"paper", NmColor::paper}, {"paperBright", NmColor::paperBright}, {"paperShade", NmColor::paperShade},
        {"inkSurface", NmColor::inkSurface}, {"mist", NmColor::mist}, {"sand", NmColor::sand},
        {"atmosphereBase", NmColor::atmosphereBase}, {"ink", NmColor::ink}, {"inkSecondary", NmColor::inkSecondary},
        {"inkTertiary", NmColor::inkTertiary}, {"hairline", NmColor::hairline}, {"accent", NmColor::accent},
        {"accentSoft", NmColor::accentSoft}, {"success", NmColor::success}, {"warning", NmColor::warning},
        {"danger", NmColor::danger}, {"neutral", NmColor::neutral},
    };
    const int columns = 6;
    const QSize cell(150, 110);
    QImage image = paperImage(QSize(columns * cell.width() + 20, 3 * cell.height() + 20));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    int i = 0;
    for (const auto &token : tokens) {
        const QRectF box(10 + (i % columns) * cell.width() + 8, 10 + (i / columns) * cell.height() + 8,
                         cell.width() - 16, 56);
        NmPainter::fill(p, NmShape::roundedRect(8), box, qColor(token.rgb));
        NmPainter::strokeInside(p, NmShape::roundedRect(8), box, 0.5, qColor(NmColor::hairline, 0.6));
        p.setPen(qColor(NmColor::ink));
        p.setFont(NmFont::captionMedium());
        p.drawText(QPointF(box.left(), box.bottom() + 16), QString::fromLatin1(token.name));
        p.setPen(qColor(NmColor::inkSecondary));
        p.setFont(NmFont::monoSmall());
        p.drawText(QPointF(box.left(), box.bottom() + 31), token.rgb.hexName());
        ++i;
    }
    return image;
}

NERIM_GALLERY_PAGE(type, "design-type")
{
    const struct {
        const char *name;
        const QFont &(*font)();
    } tokens[] = {
        {"display", &NmFont::display}, {"largeTitle", &NmFont::largeTitle}, {"title", &NmFont::title},
        {"subtitle", &NmFont::subtitle}, {"body", &NmFont::body}, {"bodyMedium", &NmFont::bodyMedium},
        {"caption", &NmFont::caption}, {"captionMedium", &NmFont::captionMedium}, {"micro", &NmFont::micro},
        {"mono", &NmFont::mono}, {"monoSmall", &NmFont::monoSmall},
    };
    QImage image = paperImage(QSize(760, 470));
    QPainter p(&image);
    qreal y = 20;
    for (const auto &token : tokens) {
        const QFont &font = token.font();
        const QFontMetricsF metrics(font);
        y += metrics.ascent();
        p.setFont(NmFont::monoSmall());
        p.setPen(qColor(NmColor::inkTertiary));
        p.drawText(QPointF(20, y), QString::fromLatin1(token.name));
        p.setFont(font);
        p.setPen(qColor(NmColor::ink));
        p.drawText(QPointF(150, y), QStringLiteral("Nerim builds what you describe — %1").arg(font.family()));
        y += metrics.descent() + 10;
    }
    return image;
}

NERIM_GALLERY_PAGE(icons, "design-icons")
{
    const auto &table = NmIcons::table();
    const int columns = 4;
    const QSize cell(230, 44);
    const int rows = int((table.size() + columns - 1) / columns);
    QImage image = paperImage(QSize(columns * cell.width() + 20, rows * cell.height() + 20));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    int i = 0;
    for (const NmIconEntry &entry : table) {
        const QPointF origin(10 + (i % columns) * cell.width(), 10 + (i / columns) * cell.height());
        qreal x = origin.x();
        for (NmSymbolWeight weight : {NmSymbolWeight::light, NmSymbolWeight::regular, NmSymbolWeight::semibold}) {
            NmIcons::paint(p, QRectF(x, origin.y(), 24, 24), entry.symbol, weight, 16, qColor(NmColor::ink));
            x += 26;
        }
        p.setFont(NmFont::monoSmall());
        p.setPen(qColor(NmColor::inkSecondary));
        p.drawText(QRectF(origin.x(), origin.y() + 26, cell.width() - 6, 16), Qt::AlignLeft | Qt::AlignVCenter,
                   QFontMetrics(p.font()).elidedText(entry.symbol, Qt::ElideMiddle, cell.width() - 6));
        ++i;
    }
    return image;
}

NERIM_GALLERY_PAGE(atmosphere, "design-atmosphere")
{
    AtmosphereView view;
    view.setClock([] { return 0.0; });
    return gallery::renderWidget(&view, QSize(1180, 760));
}

NERIM_GALLERY_PAGE(surfaces, "design-surfaces")
{
    AtmosphereView view;
    view.setClock([] { return 0.0; });
    auto *grid = new QVBoxLayout(&view);
    grid->setContentsMargins(48, 40, 48, 56);
    grid->setSpacing(56);
    auto *panes = new QHBoxLayout;
    panes->setSpacing(48);
    panes->addWidget(sampleSurface(&view, false, false, QStringLiteral("Pane"),
                                   QStringLiteral("Unfocused: paper 0.62, shadow 0.06 / 24")));
    panes->addWidget(sampleSurface(&view, false, true, QStringLiteral("Pane, focused"),
                                   QStringLiteral("Focused: paper 0.72, shadow 0.09 / 32")));
    grid->addLayout(panes, 3);
    grid->addWidget(sampleSurface(&view, true, false, QStringLiteral("Describe what you want built…"), QString()));
    grid->addWidget(sampleSurface(&view, true, true, QStringLiteral("Add a contact form to the home page"), QString()));
    return gallery::renderWidget(&view, QSize(900, 560));
}

NERIM_GALLERY_PAGE(loadingHints, "design-loading-hints")
{
    MotionPreferences::shared().setReduceMotion(true); // still lines at 0.7
    AtmosphereView view;
    view.setClock([] { return 0.0; });
    auto *row = new QHBoxLayout(&view);
    row->setContentsMargins(40, 40, 40, 40);
    // Until onboarding installs the wordmark factory, a mark keeps its
    // spacing but draws nothing.
    row->addWidget(new NmLoadingHint(NmLoadingHint::Mark::wordmark, QStringLiteral("Getting your workspace ready…"),
                                     std::nullopt, &view),
                   1, Qt::AlignCenter);
    row->addWidget(new NmLoadingHint(NmLoadingHint::Mark::monogram, Strings::Loading::openingProject,
                                     QStringLiteral("Recipe Box"), &view),
                   1, Qt::AlignCenter);
    row->addWidget(new NmLoadingHint(NmLoadingHint::Mark::none, Strings::Loading::preparingMemory, std::nullopt, &view),
                   1, Qt::AlignCenter);
    return gallery::renderWidget(&view, QSize(900, 240));
}

NERIM_GALLERY_PAGE(motion, "design-motion")
{
    // A pane at four moments: a quarter and half-way into materializing, at
    // rest, and at the peak of the task-complete pulse.
    AtmosphereView view;
    view.setClock([] { return 0.0; });
    auto *row = new QHBoxLayout(&view);
    row->setContentsMargins(36, 36, 36, 48);
    row->setSpacing(36);
    const NmTransition materialize = NmMotion::materialize();
    const struct {
        const char *title;
        double progress;
        double brightness;
    } states[] = {{"Materialize 25 %", 0.25, 0}, {"Materialize 50 %", 0.5, 0}, {"At rest", 1.0, 0},
                  {"Pulse peak", 1.0, 0.08}};
    for (const auto &state : states) {
        QWidget *pane = sampleSurface(&view, false, false, QString::fromLatin1(state.title),
                                      QStringLiteral("Builds the sign-up page"));
        row->addWidget(pane);
        NmMotionEffect *effect = NmMotionEffect::of(pane);
        effect->setValues(MaterializeValues::interpolate(materialize.away, MaterializeValues{}, state.progress));
        effect->setBrightness(state.brightness);
    }
    return gallery::renderWidget(&view, QSize(960, 260));
}

NERIM_GALLERY_PAGE(kit, "design-kit")
{
    QImage image = paperImage(QSize(760, 200));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    // Capsule pill with an inside stroke.
    const QRectF pill(24, 30, 150, 30);
    NmPainter::fill(p, NmShape::capsule(), pill, qColor(NmColor::paperBright, 0.92));
    NmPainter::strokeInside(p, NmShape::capsule(), pill, 0.75, qColor(NmColor::hairline, 0.55));
    p.setFont(NmFont::captionMedium());
    p.setPen(qColor(NmColor::ink));
    p.drawText(pill, Qt::AlignCenter, QStringLiteral("CAPSULE"));
    // Continuous against circular corners.
    const QRectF squircle(210, 20, 120, 120);
    NmPainter::fill(p, NmShape::roundedRect(28), squircle, qColor(NmColor::accentSoft));
    p.setPen(QPen(qColor(NmColor::danger, 0.6), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(squircle, 28, 28);
    // Dashed outline in points (6 on, 4 off) at 1.5 width.
    const QRectF dashed(370, 20, 160, 120);
    NmPainter::strokeInside(p, NmShape::roundedRect(14), dashed, 1.5, qColor(NmColor::hairline), {6, 4});
    p.setPen(qColor(NmColor::inkTertiary));
    p.setFont(NmFont::caption());
    p.drawText(dashed, Qt::AlignCenter, QStringLiteral("Debug testing directory"));
    // A shadowed card.
    const QRectF card(570, 20, 160, 120);
    SurfaceStyles::paintShadow(p, SurfaceStyles::pane(true), card);
    SurfaceStyles::paint(p, SurfaceStyles::pane(true), card);
    return image;
}

NERIM_GALLERY_PAGE(surfaceFocus, "motion-surface-focus")
{
    // A pane and the prompt bar gaining focus (a card gaining hover is the
    // pane's change): before, on the way with the quick spring, after.
    MotionPreferences::shared().setReduceMotion(false);
    AtmosphereView view;
    view.setClock([] { return 0.0; });
    auto *column = new QVBoxLayout(&view);
    column->setContentsMargins(40, 32, 40, 48);
    column->setSpacing(40);
    QWidget *pane = sampleSurface(&view, false, false, QStringLiteral("Pane"), QStringLiteral("Builds the sign-up page"));
    QWidget *bar = sampleSurface(&view, true, false, QStringLiteral("Add a contact form to the home page"), QString());
    column->addWidget(pane, 1);
    column->addWidget(bar);
    std::vector<std::pair<QString, QImage>> frames;
    frames.emplace_back(QStringLiteral("Unfocused"), gallery::renderWidget(&view, QSize(420, 260)));
    NmSurfaceModifier::of(pane)->setFocused(true);
    NmSurfaceModifier::of(bar)->setFocused(true);
    gallery::seekAnimations(&view, 0.2);
    frames.emplace_back(QStringLiteral("On the way"), view.grab().toImage());
    gallery::seekAnimations(&view, 1.0);
    frames.emplace_back(QStringLiteral("Focused"), view.grab().toImage());
    MotionPreferences::shared().setReduceMotion(true);
    return gallery::frameStrip(frames);
}
