#pragma once

// What the files of the deploy cards share and nothing outside them needs.

#include "ui/deploy/DeployLook.h"
#include "ui/design/Colors.h"

#include <QFont>

class QLabel;
class QWidget;

namespace nerim {

class DeployCapsuleButton;

namespace deploy_cards {

using Card = DeployLook::CardKind;

// A plain-text label in `font` and `color`; one that wraps when `wraps`.
QLabel *textLabel(const QFont &font, NmRgb color, QWidget *parent, bool wraps);

// The narrowest a text field gets before the controls of its row fold.
inline constexpr int fieldMinimumWidth = 120;

// A card's main button: white on ink, with the given padding.
void primaryInk(DeployCapsuleButton *button, qreal padH, qreal padV);

} // namespace deploy_cards
} // namespace nerim
