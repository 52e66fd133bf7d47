#include "ui/settings/NerimSettingsView.h"

#include "credentials/ManagedKeysSettingsViewModel.h"
#include "ui/settings/DialogStyle.h"
#include "ui/settings/ManagedKeysSettingsTab.h"

#include <QApplication>

#include <QAction>
#include <QKeySequence>
#include <QPointer>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>

namespace nerim {

NerimSettingsView::NerimSettingsView(QWidget *parent)
    : QWidget(parent)
    , m_tabs(new QTabWidget(this))
    , m_accountTab(new ManagedKeysSettingsTab(m_tabs))
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_tabs->addTab(m_accountTab, style()->standardIcon(QStyle::SP_DirHomeIcon), ManagedKeysSettingsViewModel::title());
    m_tabs->setFixedSize(520, 420);
    layout->addWidget(m_tabs);
    setFixedSize(520, 420);
    DialogStyle::apply(this);
}

QWidget *NerimSettingsView::showSettingsWindow(QWidget *over)
{
    static QPointer<NerimSettingsView> window;
    const bool made = !window;
    if (made) {
        // A dialog of Nerim's window, so it opens over it (not wherever the
        // window manager puts a new top-level window).
        window = new NerimSettingsView(over ? over->window() : nullptr);
        window->setWindowFlag(Qt::Dialog);
        window->setAttribute(Qt::WA_DeleteOnClose);
        window->setWindowTitle(QStringLiteral("Settings"));
        DialogStyle::centreOver(window, over);
    }
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

QAction *NerimSettingsView::createSettingsAction(QObject *parent)
{
    auto *action = new QAction(QStringLiteral("Settings\u2026"), parent);
    action->setMenuRole(QAction::PreferencesRole);
    QList<QKeySequence> shortcuts = QKeySequence::keyBindings(QKeySequence::Preferences);
    if (shortcuts.isEmpty())
        shortcuts.append(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    action->setShortcuts(shortcuts);
    QObject::connect(action, &QAction::triggered, action, [action] {
        QWidget *over = qobject_cast<QWidget *>(action->parent());
        showSettingsWindow(over ? over : QApplication::activeWindow());
    });
    return action;
}

} // namespace nerim
