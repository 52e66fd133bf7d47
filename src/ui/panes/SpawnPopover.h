#pragma once

#include "panes-store/AgentRole.h"

#include <QAbstractButton>
#include <QPainterPath>
#include <QWidget>

#include <functional>

class QLineEdit;
class QMenu;
class QPushButton;

namespace nerim {

// The popover's role menu: the role's symbol and title with a chevron on a
// pale rounded field, 148 points wide; a click pops up the offered roles.
class SpawnRoleButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit SpawnRoleButton(QWidget *parent = nullptr);

    void setRole(AgentRole role);
    AgentRole role() const { return m_role; }
    QMenu *buildMenu(QWidget *parent);

    QSize sizeHint() const override;

signals:
    void roleChosen(AgentRole role);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    AgentRole m_role = AgentRole::unspecified;
};

// The popover of "Spawn agent": a role menu, an optional responsibility of
// at most 24 characters, Cancel and Spawn. It holds no draft of its own: the
// column shows its draft here and hears every edit back. Return (in the field
// or anywhere in the popover) commits once; Escape cancels; a click outside
// only closes it (`dismissed`), keeping the draft for the next opening.
//
// A popup window with an arrow on its top edge pointing at the button it
// belongs to (on its bottom edge when it has to open above the button).
// Children for tests: "spawnRoleMenu", "responsibilityField", "cancelButton",
// "spawnCommitButton".
class SpawnPopover : public QWidget {
    Q_OBJECT
public:
    explicit SpawnPopover(QWidget *parent = nullptr);

    void showDraft(const QString &responsibility, AgentRole role);
    // Opens under `anchor` (above it when there is no room below).
    void popUp(QWidget *anchor);
    // Closes without counting as a click outside.
    void closeQuietly();

    QLineEdit *field() const { return m_field; }
    SpawnRoleButton *roleButton() const { return m_role; }
    bool arrowOnTop() const { return m_arrowOnTop; }
    // Whether the popover is drawn on a translucent window (with its shadow);
    // otherwise opaque and cut to its outline.
    bool isTranslucent() const { return m_translucent; }
    // The outline the popover is drawn in: the rounded body and its arrow.
    QPainterPath outline() const;

    // Whether the screen composites windows (an X11 compositing manager
    // runs; always on Wayland). Popovers made while it does not are opaque.
    static bool screenComposites();
    // Replaces that answer (for tests); an empty function restores the query.
    static void setCompositingProbe(std::function<bool()> probe);

signals:
    void responsibilityEdited(const QString &text);
    void roleChosen(AgentRole role);
    void commitRequested();
    void cancelRequested();
    // Closed by a click outside (or by the window system).
    void dismissed();

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void updateMask();

    QLineEdit *m_field = nullptr;
    SpawnRoleButton *m_role = nullptr;
    bool m_closingQuietly = false;
    bool m_arrowOnTop = true;
    bool m_translucent = true;
    qreal m_arrowX = -1;
};

} // namespace nerim
