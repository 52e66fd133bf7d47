#pragma once

#include "ui/design/widgets/NmHoverWidget.h"
#include "ui/panes/MenuPillLook.h"

#include <functional>

class QMenu;

namespace nerim {

// A capsule in the prompt bar that opens a menu: a symbol, a title in
// capitals and a chevron on bright paper, accent-tinted when its look says
// so. Under the pointer its outline firms up and it grows by 2 % (at once
// under Reduce Motion). A click, Space or Return pops the menu up under it;
// the menu is made fresh each time by the builder, so what it offers follows
// the current state.
class MenuPill : public NmHoverWidget {
    Q_OBJECT
public:
    using MenuBuilder = std::function<QMenu *(QWidget *parent)>;

    explicit MenuPill(QWidget *parent = nullptr);

    void setLook(const MenuPillLook &look);
    const MenuPillLook &look() const { return m_look; }

    void setMenuBuilder(MenuBuilder builder) { m_builder = std::move(builder); }
    // A new menu as the pill would show it (owned by `parent`); null without a builder.
    QMenu *buildMenu(QWidget *parent) const;

    // The text of a menu entry that shows `title` literally ("&" is not a mnemonic).
    static QString menuEntryText(const QString &title);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

signals:
    // The menu was popped up.
    void menuShown(QMenu *menu);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void popUpMenu();
    QFont titleFont() const;

    MenuPillLook m_look;
    MenuBuilder m_builder;
};

} // namespace nerim
