#pragma once

#include "ui/design/NmIcons.h"
#include "ui/panes/TokenColor.h"

#include <QAbstractButton>

namespace nerim {

class NmActivitySpinner;

// The prompt bar's round buttons (microphone and send): a 30-point disc with
// a symbol, or a small spinner, centred on it. A new symbol comes in with a
// short fade (the checkmark also grows from 70 %); the disc's and the
// symbol's colours change with the quick spring; all at once under Reduce
// Motion.
class PromptBarDiscButton : public QAbstractButton {
    Q_OBJECT
    Q_PROPERTY(qreal glyphProgress READ glyphProgress WRITE setGlyphProgress)
public:
    explicit PromptBarDiscButton(QWidget *parent = nullptr);

    void setDisc(TokenColor disc);
    TokenColor disc() const { return m_disc; }
    // The colours as drawn now (between two tokens while they change).
    QColor shownDiscColor() const { return m_shownDisc; }
    QColor shownSymbolColor() const { return m_shownSymbol; }
    // `growIn`: the symbol enters scaled up from 70 %.
    void setSymbol(const QString &symbol, qreal pointSize, NmSymbolWeight weight, TokenColor color,
                   bool growIn = false);
    const QString &symbol() const { return m_symbol; }
    TokenColor symbolColor() const { return m_symbolColor; }
    // Shows the spinner in `color` in place of the symbol.
    void setSpinner(TokenColor color);
    bool showsSpinner() const;
    NmActivitySpinner *spinner() const { return m_spinner; }

    qreal glyphProgress() const { return m_glyphProgress; }
    void setGlyphProgress(qreal progress);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void enterGlyph();
    // Moves a shown colour to `to`, animated while the button is on screen.
    void changeColor(QColor &shown, const QByteArray &key, const QColor &to);

    TokenColor m_disc;
    QColor m_shownDisc;
    QColor m_shownSymbol;
    QString m_symbol;
    qreal m_pointSize = 12;
    NmSymbolWeight m_weight = NmSymbolWeight::regular;
    TokenColor m_symbolColor;
    bool m_growIn = false;
    qreal m_glyphProgress = 1.0;
    NmActivitySpinner *m_spinner = nullptr;
};

} // namespace nerim
