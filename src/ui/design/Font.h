#pragma once

#include "ui/design/DesignTokens.h"

#include <QFont>

namespace nerim {

class InterFontRegistry;

// Fonts of the type scale. Sizes are in points as the design counts them (one
// point = one device-independent pixel); Qt's point sizes are converted once,
// in pointSizeForPixels.
namespace Font {
// Qt point size of `pixels` device-independent pixels: px × 72 ÷ logical DPI.
double pointSizeForPixels(double pixels);
// Inter at `size` and `weight` when the registry has Inter, else the system
// font of that size and weight.
QFont nm(double size, QFont::Weight weight);
QFont nm(const InterFontRegistry &registry, double size, QFont::Weight weight);
// The system's fixed-width font at `size`, regular weight; never Inter.
QFont nmMono(double size);
// The font of a token.
QFont make(const NmFontSpec &spec);
// `font` with its letters `points` apart beyond the usual (the design's
// tracking: an absolute distance in points, whatever the font's size).
QFont tracked(const QFont &font, double points);

// The colour emoji face (Debian's fonts-noto-color-emoji).
inline const QString emojiFamily = QStringLiteral("Noto Color Emoji");
// `font` with the colour emoji face as its next family: a character its own
// faces lack is drawn in colour, before the desktop's other fallbacks (which
// have black-and-white drawings of many emoji) are tried. Every font of the
// type scale has it.
QFont withEmojiFallback(QFont font);
// The face Qt draws `font`'s first family with (the face itself, or the one a
// desktop name such as "Sans Serif" stands for), found without loading it
// where fontconfig can say.
QString resolveAlias(const QFont &font);
// Asks fontconfig ahead for the faces `families` stand for (desktop names
// the first windows use), so that resolveAlias has them at hand. Safe on any
// thread once fontconfig is initialised; needs no QGuiApplication.
void matchAliasesAhead(const QStringList &families);
// Gives the application's default font (dialogs, menus, widgets without a
// type token) the same fallback. Needs a QGuiApplication.
void installEmojiFallback();
} // namespace Font

// The type tokens, each made once on first use (needs a QGuiApplication).
namespace NmFont {
const QFont &display();
const QFont &largeTitle();
const QFont &title();
const QFont &subtitle();
const QFont &body();
const QFont &bodyMedium();
const QFont &caption();
const QFont &captionMedium();
const QFont &micro();
const QFont &mono();
const QFont &monoSmall();
} // namespace NmFont

} // namespace nerim
