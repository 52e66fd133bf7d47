#pragma once

#include <QFocusFrame>
#include <QObject>
#include <QPointer>

namespace nerim {

// Shows where the keyboard focus is when Tab (or Shift+Tab) moves it: an
// accent ring around the control that took it, for every control that does
// not draw a focus ring of its own (text fields included). A click, or the
// focus leaving, takes the ring away.
//
// Installed once on the application; it only watches focus events.
class KeyboardFocusRing : public QObject {
    Q_OBJECT
public:
    explicit KeyboardFocusRing(QObject *parent = nullptr);

    // Whether the ring is shown around `widget` when Tab moves the focus to it.
    static bool ringsWidget(const QWidget *widget);
    // The control the ring is around now; none while it is hidden.
    QWidget *ringedWidget() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void ring(QWidget *widget);
    void hide();

    QPointer<QFocusFrame> m_frame;
    bool m_tabPressed = false; // the last key pressed was Tab (or Shift+Tab), since the last click
};

} // namespace nerim
