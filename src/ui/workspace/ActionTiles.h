#pragma once

#include "ui/design/widgets/NmHoverWidget.h"
#include "ui/workspace/OverviewLook.h"

#include <functional>

namespace nerim {

// A tile of the overview's grid that runs one action: an outline with a light
// fill, a symbol and a label, brightening while hovered.
class ActionTile : public NmHoverWidget {
    Q_OBJECT
public:
    // The tile's look at rest and hovered; it is drawn between the two.
    ActionTile(OverviewLook::ActionTileLook rest, OverviewLook::ActionTileLook hovered, std::function<void()> action,
               QWidget *parent = nullptr);

    // The look the tile has reached (rest or hovered).
    const OverviewLook::ActionTileLook &look() const { return isHovered() ? m_hovered : m_rest; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    // Return, Enter or Space runs the action while focused.
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    bool hits(const QPointF &point) const;

    OverviewLook::ActionTileLook m_rest;
    OverviewLook::ActionTileLook m_hovered;
    std::function<void()> m_action;
    bool m_pressed = false;
};

// The dashed tile that runs the folder picker.
class AddProjectCard : public ActionTile {
    Q_OBJECT
public:
    explicit AddProjectCard(std::function<void()> onAdd, QWidget *parent = nullptr);
};

// The accent tile that makes and opens an empty project.
class StartBlankCard : public ActionTile {
    Q_OBJECT
public:
    // `projectsFolder`: where blank projects are made, as the help text names it.
    StartBlankCard(std::function<void()> onStart, const QString &projectsFolder, QWidget *parent = nullptr);
};

} // namespace nerim
