#pragma once

#include "ui/deploy/DeployLook.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QToolButton>
#include <QWidget>

// The small controls the deploy views share: the capsule button, the icon
// button, the rounded field, the segmented choice, and the labels and row
// layout that keep a card's contents inside the card at a pane's width.
namespace nerim {

QColor tintColor(const DeployLook::Tint &tint);

// A plain button drawn as a capsule: its text on a fill, with an optional
// stroke; the padding sets its size.
class DeployCapsuleButton : public QAbstractButton {
    Q_OBJECT
public:
    DeployCapsuleButton(const QString &text, QWidget *parent = nullptr);

    void setLook(const QFont &font, DeployLook::Tint text, DeployLook::Tint fill,
                 std::optional<DeployLook::Tint> stroke = std::nullopt, qreal strokeWidth = 0.5);
    void setPadding(qreal horizontal, qreal vertical);
    // Whether a disabled button is drawn faded (off when the look already
    // gives the disabled colours).
    void setFadesWhenDisabled(bool fades) { m_fades = fades; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    DeployLook::Tint m_text{DeployLook::white};
    DeployLook::Tint m_fill{NmColor::ink};
    std::optional<DeployLook::Tint> m_stroke;
    qreal m_strokeWidth = 0.5;
    qreal m_padH = 12;
    qreal m_padV = 6;
    bool m_fades = true;
};

// An icon-only plain button: a design symbol centred in a square frame.
QToolButton *deployIconButton(const QString &symbol, qreal pointSize, NmRgb color, int side, const QString &help,
                              QWidget *parent);
// A label holding a design symbol at a point size, in a colour.
QWidget *deploySymbol(const QString &symbol, qreal pointSize, DeployLook::Tint tint, QWidget *parent,
                      int topPadding = 0);

// A plain line edit on a rounded rectangle of radius 4 filled with paperShade
// at 0.7, optionally outlined; no system frame.
class DeployField : public QLineEdit {
    Q_OBJECT
public:
    DeployField(bool outlined, qreal padH, qreal padV, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_outlined;
};

// A segmented choice of labelled segments, each with a tag; one is selected.
class DeploySegmentedChoice : public QWidget {
    Q_OBJECT
public:
    explicit DeploySegmentedChoice(const QList<DeployLook::EnvChoiceSegment> &segments, QWidget *parent = nullptr);

    QString currentTag() const;
    void setCurrentTag(const QString &tag);
    // As a click on a segment does.
    void choose(const QString &tag);
    QStringList labels() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

signals:
    void tagChosen(const QString &tag);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    QList<QRectF> segmentRects() const;
    QList<DeployLook::EnvChoiceSegment> m_segments;
    int m_current = 0;
};

// Plain text that wraps at word boundaries, and inside a word that is wider
// than the label (a long domain, address or token name from an agent), so it
// never asks for more width than it is given. The text is never read as
// markup.
class DeployWrappedLabel : public QLabel {
    Q_OBJECT
public:
    explicit DeployWrappedLabel(QWidget *parent = nullptr);

    QSize minimumSizeHint() const override;
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};

// One line of plain text, shortened with "…" (in the middle or at the end)
// when it does not fit; the whole text is then its tooltip. It asks for at
// least `floorWidth`, so that labels of one column line up.
class DeployElidedLabel : public QWidget {
    Q_OBJECT
public:
    DeployElidedLabel(const QFont &font, NmRgb color, Qt::TextElideMode mode, QWidget *parent = nullptr);

    void setText(const QString &text);
    const QString &text() const { return m_text; }
    void setFloorWidth(int width);
    // The text as drawn at the current width.
    QString shownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void updateToolTip();

    QString m_text;
    NmRgb m_color;
    Qt::TextElideMode m_mode;
    int m_floor = 0;
};

// A row that folds: its items are laid out left to right, and an item that
// no longer fits on the line starts the next one, so a row too wide for a
// narrow card goes on below instead of past the card's edge. On each line the
// items that expand horizontally share what is left; an item wider than the
// whole width gets the whole width (a label then shortens its text). Items
// are centred vertically on their line.
class DeployFlowLayout : public QLayout {
public:
    DeployFlowLayout(int spacing, int lineSpacing, QWidget *parent = nullptr);
    ~DeployFlowLayout() override;

    void addItem(QLayoutItem *item) override;
    QLayoutItem *itemAt(int index) const override;
    QLayoutItem *takeAt(int index) override;
    int count() const override { return int(m_items.size()); }
    Qt::Orientations expandingDirections() const override { return Qt::Horizontal; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSize() const override;
    void setGeometry(const QRect &rect) override;

    // How many lines the items take in a layout `width` wide.
    int lineCount(int width) const;

private:
    struct Placed {
        QLayoutItem *item;
        QRect rect;
    };
    // Where each shown item goes in `area`, line by line.
    QList<QList<Placed>> arrange(const QRect &area) const;

    QList<QLayoutItem *> m_items;
    int m_spacing;
    int m_lineSpacing;
};

} // namespace nerim
