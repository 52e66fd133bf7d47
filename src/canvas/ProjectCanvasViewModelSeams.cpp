// The canvas's entry points into the preview and the development server and
// the repair loop. The canvas routes prompts and agent output to them; each
// does the part that belongs to the canvas itself and leaves the server start
// and the repair loop to the flows that own them.
#include "canvas/ProjectCanvasViewModel.h"

#include "routing/LocalCommandMatchers.h"

#include <QPointer>

namespace nerim {

// ---- Preview and the development server --------------------------------------------------------

QCoro::Task<> ProjectCanvasViewModel::runApp()
{
    // The preview opens first, so whatever the start reports is seen at once.
    if (!m_preview->isVisible())
        m_preview->toggleVisibility();
    co_return;
}

void ProjectCanvasViewModel::performPreviewCommand(PreviewCommand command)
{
    switch (command) {
    case PreviewCommand::open:
        if (!m_preview->isVisible())
            m_preview->toggleVisibility();
        break;
    case PreviewCommand::close:
        if (m_preview->isVisible())
            m_preview->hide();
        break;
    }
}

void ProjectCanvasViewModel::showLaunchDetectionError(const QString &message)
{
    m_preview->setError(message);
}

void ProjectCanvasViewModel::runnerURLDetected(const QUrl &url)
{
    m_preview->navigate(url.toString());
    if (!m_preview->isVisible())
        m_preview->setVisible(true);
}

void ProjectCanvasViewModel::runnerFailureDetected(const DetectedFailure &failure)
{
    QString text = failure.summary;
    if (failure.hint && !failure.hint->isEmpty())
        text += QStringLiteral("  ") + *failure.hint;
    m_preview->setError(text);
    if (!m_preview->isVisible())
        m_preview->setVisible(true);
}

// ---- Repair ---------------------------------------------------------------------------------

QCoro::Task<> ProjectCanvasViewModel::beginRepair()
{
    co_return;
}

QCoro::Task<> ProjectCanvasViewModel::cancelRepair()
{
    co_return;
}

QCoro::Task<> ProjectCanvasViewModel::submitRepairSecret(QString name, QString value)
{
    Q_UNUSED(name);
    Q_UNUSED(value);
    co_return;
}

} // namespace nerim
