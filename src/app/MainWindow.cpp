#include "app/MainWindow.h"

#include "app/AppShellViewModel.h"

#include <QMessageBox>

namespace nerim {

MainWindow::MainWindow(QWidget *parent)
    : MainWindow(AppShellView::Options{}, parent)
{
}

MainWindow::MainWindow(AppShellView::Options options, QWidget *parent)
    : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("Nerim"));
    resize(defaultWidth, defaultHeight);
    m_shell = new AppShellViewModel({}, this);
    m_shellView = new AppShellView(m_shell, std::move(options), this);
    setCentralWidget(m_shellView);
}

MainWindow::~MainWindow()
{
    // The screens go before the shell whose state they show.
    delete m_shellView;
    m_shellView = nullptr;
}

void MainWindow::bringToFront()
{
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    if (!isVisible())
        show();
    raise();
    activateWindow();
}

void MainWindow::showStartupOutcome(const StartupOutcome &outcome)
{
    m_appState = outcome.appState;
    // Loaded: the shell reads the projects and shows the overview.
    QCoro::Task<> taking = m_shell->takeStartupOutcome(outcome);
    Q_UNUSED(taking);
    if (outcome.succeeded())
        return;
    m_shellView->showStartupFailure(outcome.errorMessage);
    auto *box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Nerim"), outcome.errorMessage,
                                QMessageBox::Ok, this);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

} // namespace nerim
