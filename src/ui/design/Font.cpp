#include "ui/design/Font.h"

#include "ui/design/InterFontRegistry.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QScreen>

namespace nerim::Font {

double pointSizeForPixels(double pixels)
{
    double dpi = 96.0;
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        dpi = screen->logicalDotsPerInchY();
    return pixels * 72.0 / dpi;
}

QFont nm(double size, QFont::Weight weight)
{
    return nm(InterFontRegistry::shared(), size, weight);
}

QFont nm(const InterFontRegistry &registry, double size, QFont::Weight weight)
{
    QFont font = registry.isRegistered() ? QFont(NmFontFamily::inter)
                                         : QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSizeF(pointSizeForPixels(size));
    font.setWeight(weight);
    font.setItalic(false);
    if (registry.isRegistered()) {
        // Inter is a face the database has (the registry checked), not an
        // alias: no need to load it to learn which face it stands for.
        font.setFamilies({NmFontFamily::inter, emojiFamily});
        return font;
    }
    return withEmojiFallback(font);
}

QFont nmMono(double size)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(pointSizeForPixels(size));
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    return withEmojiFallback(font);
}

QFont withEmojiFallback(QFont font)
{
    QStringList families = font.families();
    if (families.isEmpty())
        families.append(font.family());
    if (families.contains(emojiFamily))
        return font;
    // A generic name ("monospace", "Sans Serif") is the desktop's alias, not
    // a face Qt knows: with a list, Qt would pass over it and make the emoji
    // face the font of every character it has (digits among them). The face
    // the alias stands for comes first, then.
    const QString resolved = QFontInfo(font).family();
    if (!families.contains(resolved))
        families.append(resolved);
    families.append(emojiFamily);
    font.setFamilies(families);
    return font;
}

void installEmojiFallback()
{
    QGuiApplication::setFont(withEmojiFallback(QGuiApplication::font()));
}

QFont make(const NmFontSpec &spec)
{
    return spec.monospaced ? nmMono(spec.size) : nm(spec.size, spec.weight);
}

} // namespace nerim::Font

namespace nerim::NmFont {

#define NERIM_FONT_TOKEN(name)                                                                     \
    const QFont &name()                                                                            \
    {                                                                                              \
        static const QFont font = Font::make(NmFontSpecs::name);                                   \
        return font;                                                                               \
    }

NERIM_FONT_TOKEN(display)
NERIM_FONT_TOKEN(largeTitle)
NERIM_FONT_TOKEN(title)
NERIM_FONT_TOKEN(subtitle)
NERIM_FONT_TOKEN(body)
NERIM_FONT_TOKEN(bodyMedium)
NERIM_FONT_TOKEN(caption)
NERIM_FONT_TOKEN(captionMedium)
NERIM_FONT_TOKEN(micro)
NERIM_FONT_TOKEN(mono)
NERIM_FONT_TOKEN(monoSmall)

#undef NERIM_FONT_TOKEN

} // namespace nerim::NmFont

namespace nerim {

QFont Font::tracked(const QFont &font, double points)
{
    QFont result = font;
    result.setLetterSpacing(QFont::AbsoluteSpacing, points);
    return result;
}

} // namespace nerim
