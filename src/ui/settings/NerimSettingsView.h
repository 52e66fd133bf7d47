#pragma once

#include <QWidget>

class QAction;
class QTabWidget;

namespace nerim {

class ManagedKeysSettingsTab;

// The content of the settings window: a tab view, fixed at 520 by 420, with
// one tab, "Nerim Account", in the application's own face: the drifting
// background, the tab as a pill, its content on a pane surface. Escape closes
// the window.
class NerimSettingsView : public QWidget {
    Q_OBJECT
public:
    explicit NerimSettingsView(QWidget *parent = nullptr);

    ManagedKeysSettingsTab *accountTab() const { return m_accountTab; }

    // The application menu's "Settings…" item with the platform's
    // Preferences shortcut (Ctrl+, where the platform names none). It opens
    // the one settings window over `parent` (when a widget; else over the
    // active window), or brings it forward.
    static QAction *createSettingsAction(QObject *parent);
    // The one settings window (created on first use, as a dialog centred
    // over `over`'s window), shown and raised.
    static QWidget *showSettingsWindow(QWidget *over = nullptr);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QWidget *m_background;
    QTabWidget *m_tabs;
    ManagedKeysSettingsTab *m_accountTab;
};

} // namespace nerim
