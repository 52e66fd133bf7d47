#include "app/MainWindow.h"

#include <QLabel>
#include <QMessageBox>
#include <QVBoxLayout>

namespace nerim {

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("Nerim"));
    resize(defaultWidth, defaultHeight);
    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    m_message = new QLabel(central);
    m_message->setTextFormat(Qt::PlainText);
    m_message->setWordWrap(true);
    m_message->setAlignment(Qt::AlignCenter);
    m_message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_message->hide();
    layout->addWidget(m_message);
    setCentralWidget(central);
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
    if (outcome.succeeded())
        return;
    m_message->setText(outcome.errorMessage);
    m_message->show();
    auto *box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Nerim"), outcome.errorMessage,
                                QMessageBox::Ok, this);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

} // namespace nerim
