#pragma once

#include "ui/design/NmIcons.h"
#include "ui/panes/TokenColor.h"

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QRectF>
#include <QString>

class QPainter;

namespace nerim {

// Small painting pieces the workspace screens share.
namespace WorkspacePainting {

QColor color(TokenColor token);
// The colour `progress` of the way from `from` to `to` (0…1), opacity included.
QColor mix(TokenColor from, TokenColor to, double progress);

// A type token with letter tracking, in points.
QFont tracked(const QFont &font, double tracking);
// The caption-medium label of header pills: tracking 0.08, drawn upper case.
QFont pillLabelFont();

// The capsule the header controls share: filled paper, outlined hairline.
void paintHeaderPillBackground(QPainter &painter, const QRectF &rect);
void paintHeaderPillOutline(QPainter &painter, const QRectF &rect);

// The keyboard focus ring of a card or tile: an accent outline just inside
// `bounds`, following its corners.
void paintFocusRing(QPainter &painter, const QRectF &bounds, double cornerRadius);
// Whether a key press activates a focused card or tile (Return, Enter, Space).
bool isActivationKey(int key);

} // namespace WorkspacePainting

// A symbol on a filled circle (a stop, remove or dismiss button): no chrome of
// its own, a plain tooltip, the pointing hand over it.
class IconCircleButton : public QAbstractButton {
    Q_OBJECT
public:
    struct Look {
        QString symbol;
        NmSymbolWeight weight = NmSymbolWeight::semibold;
        double pointSize = 9;
        TokenColor iconColor;
        double side = 20;      // the circle's diameter
        TokenColor fill;       // the circle
        TokenColor stroke;     // its outline; opacity 0 for none
        double strokeWidth = 0.5;
    };

    explicit IconCircleButton(Look look, QWidget *parent = nullptr);
    const Look &look() const { return m_look; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Look m_look;
};

} // namespace nerim
