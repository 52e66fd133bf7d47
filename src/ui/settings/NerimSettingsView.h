#pragma once

#include <QWidget>

class QAction;
class QScrollArea;
class QTabWidget;

namespace nerim {

class ManagedKeysSettingsTab;

// The content of the settings window: a tab view with one tab, "Nerim
// Account", in the application's own face: the drifting background, the tab
// as a pill, its content on a pane surface. The window opens 520 wide and as
// tall as its content (within the screen's free area), grows when the content
// does, and scrolls the content when there is not the room. Escape closes it.
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

    // The size the window takes: the preferred width, the content's height
    // at it, within the screen's free area.
    QSize fittingSize() const;

    static constexpr int kPreferredWidth = 520;
    static constexpr int kMinimumWidth = 360;
    static constexpr int kMinimumHeight = 220;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // The tab bar's top margin in the style sheet.
    static constexpr int kTabBarMargin = 12;
    // What a window manager's frame may take around the window.
    static constexpr int kFrameAllowance = 16;

    QWidget *m_background;
    QTabWidget *m_tabs;
    ManagedKeysSettingsTab *m_accountTab;
    QScrollArea *m_scroll = nullptr;
    QWidget *m_page = nullptr;
    int m_fittedHeight = 0; // the content's height when last fitted
};

} // namespace nerim
