#pragma once

#include "ui/panes/AgentColumnLook.h"

#include <QAbstractButton>

namespace nerim {

// "Spawn agent" under the panes: a plus, the title and, at the limit, the
// count of the user's agents ("3 / 3"), centred on the column's width inside a dashed
// rounded outline. Disabled at the limit.
class SpawnAgentButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit SpawnAgentButton(QWidget *parent = nullptr);

    void setLook(const AgentColumnLook::SpawnButtonLook &look);
    const AgentColumnLook::SpawnButtonLook &look() const { return m_look; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QFont counterFont() const;
    qreal contentWidth() const;

    AgentColumnLook::SpawnButtonLook m_look;
};

// A chip for a pane that is not expanded: its status dot and name on a pale
// capsule; a click expands and focuses that pane.
class PaneSwitchChip : public QAbstractButton {
    Q_OBJECT
public:
    explicit PaneSwitchChip(QWidget *parent = nullptr);

    void setChip(const AgentColumnLook::Chip &chip);
    const AgentColumnLook::Chip &chip() const { return m_chip; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    AgentColumnLook::Chip m_chip;
};

} // namespace nerim
