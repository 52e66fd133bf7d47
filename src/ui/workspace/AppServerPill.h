#pragma once

#include <QPointer>
#include <QWidget>

namespace nerim {

class DevServerRunner;
class IconCircleButton;

// The development server's state in the canvas header: a dot, a label and,
// while the server runs, a button that stops it. Hidden while the server is
// idle; the whole pill's tooltip is the status's one-line text.
class AppServerPill : public QWidget {
    Q_OBJECT
public:
    explicit AppServerPill(DevServerRunner *runner, QWidget *parent = nullptr);

    QString label() const { return m_label; }
    IconCircleButton *stopButton() const { return m_stop; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void refresh();

    QPointer<DevServerRunner> m_runner;
    IconCircleButton *m_stop = nullptr;
    QString m_label;
    QColor m_dot;
};

} // namespace nerim
