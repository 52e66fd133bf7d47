#pragma once

#include "ui/design/NmIcons.h"

#include <QAbstractButton>
#include <QColor>
#include <QPlainTextEdit>
#include <QUrl>
#include <QWidget>

#include <functional>

class QLabel;
class QScrollArea;
class QVBoxLayout;

namespace nerim {

// Opens a link from plan text; only ever handed http and https addresses.
using LinkOpener = std::function<void(const QUrl &)>;
// Whether a link from plan text may open: http or https only.
bool isPlanLinkOpenable(const QUrl &url);

// An icon-only button: one symbol in a square frame, dimmed while disabled.
class PanelIconButton : public QAbstractButton {
    Q_OBJECT
public:
    PanelIconButton(QString symbol, qreal pointSize, NmSymbolWeight weight, QColor color, int side,
                    QWidget *parent = nullptr);
    void setSymbol(const QString &symbol);
    const QString &symbol() const { return m_symbol; }
    void setDisabledColor(const QColor &color) { m_disabledColor = color; update(); }
    QSize sizeHint() const override { return {m_side, m_side}; }

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QString m_symbol;
    qreal m_pointSize;
    NmSymbolWeight m_weight;
    QColor m_color;
    QColor m_disabledColor;
    int m_side;
};

// A capsule button with a text and an optional symbol before or after it.
class CapsuleButton : public QAbstractButton {
    Q_OBJECT
public:
    struct Look {
        QFont font;
        QColor text;
        QColor fill;
        QColor disabledFill;
        QColor stroke; // transparent for none
        QString symbol;
        qreal symbolSize = 10;
        NmSymbolWeight symbolWeight = NmSymbolWeight::medium;
        bool symbolTrailing = false;
        int paddingX = 10;
        int paddingY = 4;
    };
    CapsuleButton(const QString &text, Look look, QWidget *parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *) override;

private:
    Look m_look;
};

// One line of plain text, shortened in the middle when it does not fit.
class MiddleElidedLabel : public QWidget {
    Q_OBJECT
public:
    MiddleElidedLabel(const QFont &font, const QColor &color, QWidget *parent = nullptr);
    void setText(const QString &text);
    const QString &text() const { return m_text; }
    QString shownText() const;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QString m_text;
    QColor m_color;
};

// The Plans draft field: plain text growing from one to four lines. Return
// asks for a submit; Shift+Return adds a line break.
class DraftField : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit DraftField(QWidget *parent = nullptr);
    // Writes the text only when it differs, so the caret stays where it is.
    void setDraft(const QString &text);

signals:
    void returnPressed();
    void focusChanged(bool focused);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    void fitHeight();
};

// Plan text: paragraphs as inline Markdown (everything else literal), fenced
// code in selectable monospaced boxes. The text colour comes from the caller.
class PlanMarkdownView : public QWidget {
    Q_OBJECT
public:
    PlanMarkdownView(const QColor &color, LinkOpener opener, QWidget *parent = nullptr);
    void setContent(const QString &content);
    const QString &content() const { return m_content; }

private:
    QColor m_color;
    LinkOpener m_opener;
    QString m_content;
    QVBoxLayout *m_layout = nullptr;
};

// A scroll area without frame or background for the Plans panel's dark
// surface, holding `content`: vertical (no sideways bar) or horizontal (no
// bars at all). It never takes the keyboard focus, so a click on a row
// leaves it in the draft field.
QScrollArea *darkScrollArea(QWidget *content, Qt::Orientation orientation, QWidget *parent);
// Makes `area` such a scroll area.
void makeDarkScrollArea(QScrollArea *area, QWidget *content, Qt::Orientation orientation);
// The "xmark" close glyph as a button in a square of `side`, with its help.
PanelIconButton *xmarkButton(int side, const QString &help, QWidget *parent);
// A horizontal hairline.
QWidget *panelDivider(const QColor &color, QWidget *parent);
// A plain-text label (never read as markup).
QLabel *plainLabel(const QString &text, const QFont &font, const QColor &color, QWidget *parent, bool wrap = false);
// A symbol as a fixed-size label.
QLabel *symbolLabel(const QString &symbol, qreal pointSize, NmSymbolWeight weight, const QColor &color,
                    QWidget *parent);

} // namespace nerim
