#pragma once

#include "app/AppStartup.h"

#include <QMainWindow>
#include <memory>

class QLabel;

namespace nerim {

// The application's one window. For now it shows nothing but the outcome of the
// start-up load: empty once the state is ready, or the error message.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int defaultWidth = 1180;
    static constexpr int defaultHeight = 760;

    explicit MainWindow(QWidget *parent = nullptr);

    // Takes the start-up outcome (and keeps the application state owner alive).
    void showStartupOutcome(const StartupOutcome &outcome);

    // Shows the window in front (for a pairing link): a minimized window is
    // restored to the state it had (maximized, full screen or normal); any
    // other keeps its size and state and is only raised and activated.
    void bringToFront();

    const std::shared_ptr<AppStateActor> &appState() const { return m_appState; }

private:
    std::shared_ptr<AppStateActor> m_appState;
    QLabel *m_message = nullptr;
};

} // namespace nerim
