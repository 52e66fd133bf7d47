#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

class QWidget;

namespace nerim {

// The breathing of a loading line: from the moment the widget is shown its
// opacity goes 0.55 → 1.0 → 0.55 (1.6 s each way, ease-in-out) for as long as
// it stays shown; under Reduce Motion it rests at 0.7. Follows Reduce Motion
// live. Lives as a child of the widget and drives its NmMotionEffect.
class NmBreathingPulse : public QObject {
    Q_OBJECT
public:
    static NmBreathingPulse *apply(QWidget *widget);

    // The opacity the widget is drawn with now.
    double opacity() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    explicit NmBreathingPulse(QWidget *widget);
    void appear();
    void disappear();
    void tick();

    QPointer<QWidget> m_widget;
    QElapsedTimer m_sinceAppearing;
    QTimer m_frames;
    bool m_shown = false;
};

} // namespace nerim
