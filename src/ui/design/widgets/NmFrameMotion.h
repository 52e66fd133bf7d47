#pragma once

#include "ui/design/DesignTokens.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QLayoutItem>

class QWidget;

namespace nerim {

// Moves widgets from the frames they had to the frames a layout gives them
// next, instead of letting them jump. The owner captures the widgets before
// it changes what decides their frames, then places them as usual through
// place(); while the motion runs, each placed widget is drawn on its way
// from its captured frame to its latest target, so a target that changes
// again meanwhile (the window resized, a parent still moving) is followed.
// Frames are remembered in window coordinates, so a widget whose parent
// itself moves or grows still starts where it was seen. Under Reduce
// Motion place() puts widgets at their targets at once.
class NmFrameMotion : public QObject {
    Q_OBJECT
public:
    explicit NmFrameMotion(QObject *parent = nullptr);

    // Records where the visible ones of `widgets` are now and starts the
    // motion with `animation` (restarting it from where each widget is seen
    // when it is already running). Under Reduce Motion nothing is recorded.
    void capture(const QList<QWidget *> &widgets, const NmAnimation &animation);

    // Gives `widget` its frame `target` (in its parent's coordinates): at
    // once, or on its way there while the motion runs and the widget was
    // captured.
    void place(QWidget *widget, const QRect &target);

    // Drops `widget` from the motion (e.g. before it is deleted).
    void forget(QWidget *widget);
    // Puts every moving widget at its target and ends the motion.
    void finish();

    bool isRunning() const { return m_running; }
    bool isMoving(const QWidget *widget) const;
    // The frame `widget` was last placed at, when it is moving.
    QRect target(const QWidget *widget) const;

signals:
    void finished();

private:
    struct Track {
        QPointer<QWidget> widget;
        QRect from; // in window coordinates
        QRect target;
        bool placed = false;
    };

    void step(double progress);
    void apply(Track &track);
    static QRect frameInWindow(const QWidget *widget);

    QHash<const QWidget *, Track> m_tracks;
    double m_progress = 1.0;
    bool m_running = false;
    int m_generation = 0; // which capture the running animation belongs to
};

// Size limits that a layout of NmMovingWidgetItem honours without binding the
// widget itself (QWidget's own limits would clamp every frame a widget
// passes through on its way to a new size). A limit is kept on the widget.
namespace NmLayoutLimits {
void setMinimumSize(QWidget *widget, const QSize &size);
void setMaximumSize(QWidget *widget, const QSize &size);
QSize minimumSize(const QWidget *widget); // (0, 0) when none was set
QSize maximumSize(const QWidget *widget); // QWIDGETSIZE_MAX both ways when none was set
} // namespace NmLayoutLimits

// A layout item that places its widget through an NmFrameMotion, so a box
// layout's changes can move its widgets instead of making them jump. It
// adds the widget's NmLayoutLimits to the widget's own.
class NmMovingWidgetItem : public QWidgetItem {
public:
    NmMovingWidgetItem(QWidget *widget, NmFrameMotion *motion);
    void setGeometry(const QRect &rect) override;
    QSize sizeHint() const override;
    QSize minimumSize() const override;
    QSize maximumSize() const override;

private:
    QPointer<NmFrameMotion> m_motion;
};

} // namespace nerim
