#pragma once

#include "foundation/Timestamp.h"
#include "persistence/AppState.h"
#include "ui/design/widgets/NmHoverWidget.h"
#include "ui/workspace/OverviewLook.h"

#include <functional>

class QMenu;

namespace nerim {

class IconCircleButton;

// One known project in the overview's grid: folder icon, name, path and
// when it was last opened, on a pane surface that brightens while hovered.
// A click opens it; hovering shows a small remove button; a secondary click
// offers "Open" and "Remove from Nerim…". The debug scratch entry has a
// hammer, a dashed outline, and neither remove button nor menu.
class ProjectCard : public NmHoverWidget {
    Q_OBJECT
public:
    ProjectCard(AppState::ProjectRegistryEntry project, std::function<void()> onOpen, std::function<void()> onRemove,
                std::function<Timestamp()> now = {}, QWidget *parent = nullptr);

    const AppState::ProjectRegistryEntry &project() const { return m_project; }
    // The look as the card draws it now.
    OverviewLook::ProjectCardLook look() const;
    IconCircleButton *removeButton() const { return m_remove; }

    // The secondary-click menu, built for `parent`; none for the debug scratch
    // entry. Its actions call the card's callbacks.
    QMenu *buildContextMenu(QWidget *parent);

    // The name and path as drawn: the name on one line (cut as
    // `OverviewLook::projectCardName` says) and the path on at most two lines,
    // cut at the end with an ellipsis.
    QString shownName() const;
    QStringList shownPathLines() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    // Return, Enter or Space runs the action while focused.
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    void hoverChanged(bool hovered);
    bool hits(const QPointF &point) const;
    QRectF contentRect() const;

    AppState::ProjectRegistryEntry m_project;
    std::function<void()> m_onOpen;
    std::function<void()> m_onRemove;
    std::function<Timestamp()> m_now;
    IconCircleButton *m_remove = nullptr;
    bool m_pressed = false;
    QString m_paintedFooter; // the footer text the card last drew whole
};

} // namespace nerim
