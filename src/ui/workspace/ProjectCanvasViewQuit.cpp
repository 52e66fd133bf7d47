// Closing the window with a project open: the canvas is torn down on this
// screen, and a panes save (or another save of the project's data) that
// still fails after the teardown's retries is put to the user (try again, or
// quit anyway) while the panes stay shown.
#include "ui/workspace/ProjectCanvasView.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "ui/settings/DialogStyle.h"

#include <QCoro/QCoroFuture>
#include <QMessageBox>
#include <QPromise>
#include <QPushButton>

namespace nerim {

QCoro::Task<> ProjectCanvasView::closeForQuit()
{
    if (m_leaving || !m_canvas || m_canvas->isTornDown())
        co_return;
    m_leaving = true;
    QPointer<ProjectCanvasView> screen(this);
    const std::shared_ptr<ProjectCanvasViewModel> canvas = m_canvas;
    const QString name = m_projectDisplayName;
    const auto ask = [screen, name](QString what, QString reason) -> QCoro::Task<bool> {
        if (!screen)
            co_return false; // the window is gone: nobody left to answer
        const UnsavedPanesAlert alert =
            screen->m_unsavedPanesAlert ? screen->m_unsavedPanesAlert : desktopUnsavedPanesAlert();
        auto answer = std::make_shared<QPromise<bool>>();
        answer->start();
        QFuture<bool> answered = answer->future();
        const bool panes = what.isEmpty();
        alert(screen, panes ? CanvasScreenLook::unsavedPanesTitle() : CanvasScreenLook::unsavedDataTitle(),
              panes ? CanvasScreenLook::unsavedPanesMessage(name, reason)
                    : CanvasScreenLook::unsavedDataMessage(name, what, reason),
              [answer](bool tryAgain) {
                  if (answer->future().isFinished())
                      return;
                  answer->addResult(tryAgain);
                  answer->finish();
              });
        co_return co_await answered;
    };
    QCoro::Task<> loading = finishBootstrap(canvas);
    co_await std::move(loading);
    QCoro::Task<> tearingDown = canvas->teardown(ask);
    co_await std::move(tearingDown);
}

ProjectCanvasView::UnsavedPanesAlert ProjectCanvasView::desktopUnsavedPanesAlert()
{
    return [](QWidget *parent, const QString &title, const QString &message, std::function<void(bool)> done) {
        QMessageBox *box = DialogStyle::warningBox(parent, title, message);
        box->setObjectName(QStringLiteral("unsavedPanesAlert"));
        QPushButton *again = box->addButton(CanvasScreenLook::unsavedPanesTryAgain(), QMessageBox::AcceptRole);
        QPushButton *quit = box->addButton(CanvasScreenLook::unsavedPanesQuitAnyway(), QMessageBox::DestructiveRole);
        box->setDefaultButton(again);
        // Escape loses nothing: it tries again.
        box->setEscapeButton(again);
        DialogStyle::apply(box);
        QObject::connect(box, &QDialog::finished, box,
                         [box, quit, done = std::move(done)](int) { done(box->clickedButton() != quit); });
        box->open();
    };
}

} // namespace nerim
