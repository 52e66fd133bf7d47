#pragma once

#include "ui/deploy/DeployLook.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QToolButton>
#include <QWidget>

// The small controls the deploy views share: the capsule button, the icon
// button, the rounded field and the segmented choice.
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

} // namespace nerim
