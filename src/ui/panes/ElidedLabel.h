#pragma once

#include <QColor>
#include <QWidget>

namespace nerim {

// One line of plain text that gives way when space runs short: it asks for
// its whole width but shrinks, ending in "…", rather than widen its row. The
// text is never read as markup.
class ElidedLabel : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString text READ text WRITE setText)
public:
    explicit ElidedLabel(QWidget *parent = nullptr);

    void setText(const QString &text);
    const QString &text() const { return m_text; }
    void setColor(const QColor &color);
    // The text as drawn at the current width.
    QString shownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    QString m_text;
    QColor m_color;
};

} // namespace nerim
