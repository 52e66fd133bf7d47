#pragma once

#include <QWidget>

namespace nerim {

// A base for widgets with a hover look: `hoverProgress` goes from 0 to 1 when
// the pointer enters and back when it leaves, animated with NmMotion.quick,
// or switched at once under Reduce Motion. A widget whose hover is disabled
// (or that is disabled itself) stays at 0. Subclasses paint with the progress.
class NmHoverWidget : public QWidget {
    Q_OBJECT
    Q_PROPERTY(qreal hoverProgress READ hoverProgress WRITE setHoverProgress NOTIFY hoverProgressChanged)
public:
    explicit NmHoverWidget(QWidget *parent = nullptr);

    bool isHovered() const { return m_hovered; }
    qreal hoverProgress() const { return m_progress; }
    void setHoverProgress(qreal progress);

    // Whether entering the widget counts as hovering (true by default).
    void setHoverEnabled(bool enabled);
    bool hoverEnabled() const { return m_hoverEnabled; }

signals:
    void hoveredChanged(bool hovered);
    void hoverProgressChanged(qreal progress);

protected:
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void setHovered(bool hovered);

    bool m_hovered = false;
    bool m_hoverEnabled = true;
    qreal m_progress = 0;
};

} // namespace nerim
