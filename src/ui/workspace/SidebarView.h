#pragma once

#include "ui/design/widgets/NmHoverWidget.h"
#include "ui/workspace/SidebarLook.h"

#include <QList>
#include <functional>

namespace nerim {

// One button of the sidebar rail: a selection bar, then the symbol in a
// 32-point square that takes the clicks. A disabled button shows its help
// text but ignores hover, clicks and the keyboard.
class SidebarButton : public NmHoverWidget {
    Q_OBJECT
public:
    SidebarButton(SidebarLook::ButtonSpec spec, std::function<void()> action, QWidget *parent = nullptr);

    const SidebarLook::ButtonSpec &spec() const { return m_spec; }
    // The look as drawn now (the hover state it has reached).
    SidebarLook::ButtonLook look() const;
    // The square that takes the clicks, in the button's coordinates.
    QRect clickArea() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    // Return, Enter and Space do what a click does.
    void keyPressEvent(QKeyEvent *event) override;

private:
    SidebarLook::ButtonSpec m_spec;
    std::function<void()> m_action;
    bool m_pressed = false;
};

// The narrow rail of icon buttons on the canvas's leading edge. Its one
// working button leads back to the projects overview; the others mark
// features still to come.
class SidebarView : public QWidget {
    Q_OBJECT
public:
    explicit SidebarView(std::function<void()> onProjectsTapped, QWidget *parent = nullptr);

    const QList<SidebarButton *> &buttons() const { return m_buttons; }

private:
    QList<SidebarButton *> m_buttons;
};

} // namespace nerim
