#pragma once

#include "panes-store/AgentRole.h"
#include "ui/panes/AgentPaneLook.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <functional>

class QMenu;

namespace nerim {

// A header button of a pane (expand, close): a symbol in a 20-point square,
// in the secondary ink, without chrome.
class PaneIconButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit PaneIconButton(QWidget *parent = nullptr);

    void setLook(const AgentPaneLook::IconButtonLook &look);
    const AgentPaneLook::IconButtonLook &look() const { return m_look; }

    QSize sizeHint() const override { return {20, 20}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    AgentPaneLook::IconButtonLook m_look;
};

// The role menu of a pane header: the role's symbol and its title in
// capitals with a small chevron, on a pale capsule. A click pops up the menu
// of the five offered roles.
class RoleMenuButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit RoleMenuButton(QWidget *parent = nullptr);

    void setRole(AgentRole role);
    AgentRole role() const { return m_role; }

    // A new menu of the offered roles, owned by `parent`; choosing one emits roleChosen.
    QMenu *buildMenu(QWidget *parent);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

signals:
    void roleChosen(AgentRole role);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QFont titleFont() const;

    AgentRole m_role = AgentRole::unspecified;
};

// The field that renames an agent in place. It takes Escape and Return before
// any window shortcut does: Escape cancels the rename (and only a second
// Escape reaches the window), Return commits. Losing focus does neither.
class PaneRenameField : public QLineEdit {
    Q_OBJECT
public:
    explicit PaneRenameField(QWidget *parent = nullptr);

signals:
    void commitRequested();
    void cancelRequested();

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
};

} // namespace nerim
