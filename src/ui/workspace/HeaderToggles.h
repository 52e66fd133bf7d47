#pragma once

#include "ui/workspace/HeaderControlsLook.h"

#include <QAbstractButton>
#include <QPointer>

namespace nerim {

class PlanState;
class PreviewState;

// A header pill that shows or hides a panel: icon, label and an optional
// count on a fill that follows the panel's visibility (animated with the
// quick spring, at once under Reduce Motion).
class HeaderToggle : public QAbstractButton {
    Q_OBJECT
public:
    explicit HeaderToggle(QWidget *parent = nullptr);

    const HeaderControlsLook::Toggle &look() const { return m_look; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    // Applies the look for the panel's visibility.
    void applyLooks(const HeaderControlsLook::Toggle &hidden, const HeaderControlsLook::Toggle &shown, bool visible);
    void paintEvent(QPaintEvent *event) override;

private:
    HeaderControlsLook::Toggle m_look;
    HeaderControlsLook::Toggle m_hiddenLook;
    HeaderControlsLook::Toggle m_shownLook;
    bool m_visible = false;
    bool m_initialised = false;
    double m_progress = 0; // 0: the hidden look, 1: the shown look
};

// Shows or hides the Plans panel and counts the plan's steps.
class PlanToggle : public HeaderToggle {
    Q_OBJECT
public:
    explicit PlanToggle(PlanState *plan, QWidget *parent = nullptr);

private:
    void refresh();
    QPointer<PlanState> m_plan;
};

// Shows or hides the preview panel.
class PreviewToggle : public HeaderToggle {
    Q_OBJECT
public:
    explicit PreviewToggle(PreviewState *preview, QWidget *parent = nullptr);

private:
    void refresh();
    QPointer<PreviewState> m_preview;
};

} // namespace nerim
