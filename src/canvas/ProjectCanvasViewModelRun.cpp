// Running the user's app from the canvas: the preview opens first, the
// project-type detector decides how to start the project (off the GUI thread),
// and the development server is started; what the server does afterwards comes
// back through the runner's two callbacks, which also judge a repair's retry.
//
// `ProjectTypeDetector::detect` runs on the controller's one launcher thread
// (`launchWork()`, a SerialExecutor), which also saves launch-override.json and
// writes `.env`, so a start asked for after a saved command always runs it.
// The runner's two callbacks hold the controller through a QPointer.
#include "canvas/ProjectCanvasViewModel.h"

#include "sessions/RepairSession.h"
#include "launcher/ProjectTypeDetector.h"

#include <QCoro/QCoroFuture>
#include <QPointer>

namespace nerim {

namespace {

// The sentence shown for a failed detection.
QString detectionErrorMessage(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const ProjectTypeDetectorError &e) {
        return e.description();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
    }
    return QStringLiteral("Couldn't tell how to start this project.");
}

// Counts a start from its detection until the server's launch.
class InFlight {
public:
    InFlight(QObject *owner, int &counter) : m_owner(owner), m_counter(counter) { ++m_counter; }
    ~InFlight()
    {
        if (m_owner)
            --m_counter;
    }
    InFlight(const InFlight &) = delete;
    InFlight &operator=(const InFlight &) = delete;

private:
    QPointer<QObject> m_owner;
    int &m_counter;
};

} // namespace

SerialExecutor &ProjectCanvasViewModel::launchWork()
{
    if (!m_launchWork)
        m_launchWork = std::make_unique<SerialExecutor>();
    return *m_launchWork;
}

QCoro::Task<> ProjectCanvasViewModel::runApp()
{
    // No server is started in a project folder that is gone.
    if (m_projectFolderMissing)
        co_return;
    QPointer<ProjectCanvasViewModel> self(this);
    InFlight inFlight(this, m_runAppsInFlight);

    // The preview opens first, so whatever the start reports is seen at once.
    if (!m_preview->isVisible())
        m_preview->toggleVisibility();

    // Detection reads the folder and probes ports: never on the GUI thread.
    const QString projectPath = m_projectPath;
    ++m_launchDetections;
    QFuture<LaunchPlan> detecting = launchWork().run([projectPath] { return ProjectTypeDetector::detect(projectPath); });
    std::optional<LaunchPlan> plan;
    std::exception_ptr failure;
    try {
        plan = co_await detecting;
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self)
        co_return;
    // From here on the remembered plan (or error) is the current one again.
    m_repair->forgetSavedCommandPlan();

    if (!plan) {
        const QString message = detectionErrorMessage(failure);
        setLastLaunchAttemptDetectionError(message);
        setLastAttemptedLaunchPlan(std::nullopt);
        showLaunchDetectionError(message);
        // A repair's restart that cannot even begin has failed.
        m_repair->retryFailed(DevServerRunner::startupCrashFailure());
        co_return;
    }

    setLastAttemptedLaunchPlan(plan);
    setLastLaunchAttemptDetectionError(std::nullopt);
    QCoro::Task<> starting = m_devServerRunner->start(*plan);
    co_await std::move(starting);
    if (!self)
        co_return;
    // A launch that failed, or a server that ended while the start returned,
    // reported through no callback.
    m_repair->judgeRetryRun();
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

// ---- The runner's callbacks (installed at creation, holding the controller weakly) ----

void ProjectCanvasViewModel::runnerURLDetected(const QUrl &url)
{
    m_preview->navigate(url.toString());
    if (!m_preview->isVisible())
        m_preview->setVisible(true);
    m_repair->retrySucceeded(url);
}

void ProjectCanvasViewModel::runnerFailureDetected(const DetectedFailure &failure)
{
    QString text = failure.summary;
    if (failure.hint && !failure.hint->isEmpty())
        text += QStringLiteral("  ") + *failure.hint;
    m_preview->setError(text);
    if (!m_preview->isVisible())
        m_preview->setVisible(true);
    m_repair->retryFailed(failure);
}

} // namespace nerim
