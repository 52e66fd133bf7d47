// The process entry: the Qt application, the one window, and the start-up load
// of the application state, run off the GUI thread while the window is shown.
//
// A start loads what a bare Qt window loads plus what the overview shows, in
// this order. The allocator is limited to two arenas before any thread
// starts (IdleMemory::limitArenas) and the links are taken out of argv at
// once (SingleInstance::takeUrlArguments). Fontconfig's own start-up runs on a thread of
// its own (FontconfigPreload) while the application object connects to the
// display, and on that thread the desktop's generic names ("Sans Serif",
// "monospace") are matched to their faces for Font::resolveAlias; the GUI
// thread waits for it before the first font is looked up. The load of the
// application state starts as soon as this is known to be the only Nerim
// (startApplicationStateLoad, which reads the project list with the record);
// when it has ended by the time the window is built, as it usually has, the
// window is given the outcome before it is shown (finishedStartupLoad), so
// its first picture is the overview; otherwise the window shows empty and
// takes the outcome when it comes. What the first picture does not need runs
// right after the first paint of the screen the load leads to (the overview
// or the load's failure: runAfterFirstPaint with `showsStartupScreen`; the
// empty window drawn while the state loads does not count): the cgroup probe
// and the subreaper, the sweep of an earlier run's leftovers, and the
// desktop's reduce-motion reading through `gsettings` (held until then by
// DesktopAnimationSetting::holdProcesses), so no child process starts before
// the reaper is in place and none competes with the first paint. A second
// after it the heap's free pages go back to the system
// (IdleMemory::returnFreeHeapLater). The window icon is made from raw pixels
// rendered at build time (no SVG icon engine or image reader), and
// ApplicationStyle keeps style sheets out of the first picture: the menu
// bar's menu takes its style sheet the first time it opens (about 0.5 MB less
// PSS at rest).
#include "app/AppStartup.h"
#include "app/ApplicationStyle.h"
#include "agents/ClaudeCodeProvider.h"
#include "app/MainWindow.h"
#include "app/StartupChores.h"
#include "credentials/Credentials.h"
#include "credentials/PairingURLHandler.h"
#include "foundation/Log.h"
#include "foundation/SerialExecutor.h"
#include "foundation/SerialFileWriter.h"
#include "onboarding/OnboardingWordmark.h"
#include "persistence/IntentProcessorConstants.h"
#include "platform/ChildProcess.h"
#include "platform/DesktopAnimationSetting.h"
#include "platform/LibsecretStore.h"
#include "platform/OrphanReaper.h"
#include "platform/RunCgroup.h"
#include "platform/RunMarker.h"
#include "platform/SingleInstance.h"
#include "platform/TerminationSignals.h"
#include "preview/PreviewSandbox.h"
#include "ui/design/Font.h"
#include "ui/design/InterFontRegistry.h"
#include "ui/settings/NerimSettingsView.h"
#include "voice/DesktopVoiceBackends.h"

#include <QApplication>
#include <QMenuBar>
#include <QPointer>
#include <QUrl>
#include <unistd.h>

namespace {

// Waits, when main ends, for the snapshot files still being saved in the
// background (panes, model choice, agent names, plan). Declared before the
// window, so saves made while the window and its projects close are written
// too, and before the process's static objects (the log among them) go away.
struct BackgroundSavesFlushedOnExit {
    ~BackgroundSavesFlushedOnExit() { nerim::SerialFileWriter::shared().flush(); }
};

QCoro::Task<> startUp(QPointer<nerim::MainWindow> window, QFuture<nerim::StartupOutcome> loading, bool shown)
{
    if (shown)
        co_return;
    try {
        const nerim::StartupOutcome outcome = co_await nerim::loadApplicationState(std::move(loading));
        if (!window)
            co_return;
        window->showStartupOutcome(outcome);
    } catch (const std::exception &e) {
        // Never expected (the load reports through its outcome), but a
        // fire-and-forget task must not swallow a failure silently.
        nerim::logLine(QStringLiteral("[Nerim] Start-up failed: ") + QString::fromUtf8(e.what()));
    }
}

} // namespace

int main(int argc, char **argv)
{
    // Before any thread starts (fontconfig's, below, is the first).
    nerim::IdleMemory::limitArenas();
    // A pairing link carries a session token: take the links out of the
    // command line, which other users can read in /proc, before anything else.
    const QStringList urls = nerim::platform::SingleInstance::takeUrlArguments(argc, argv);
    // A run mark inherited from whatever started Nerim (a program Nerim ran
    // once, say) is not Nerim's: nothing it starts may carry it.
    qunsetenv(nerim::platform::RunMarker::variable);
    // Fontconfig starts up while the connection to the display is made.
    // The desktop's generic names (the usual default and fixed fonts) are
    // matched to their faces meanwhile too.
    nerim::FontconfigPreload fontconfig([] {
        nerim::Font::matchAliasesAhead({QStringLiteral("Sans Serif"), QStringLiteral("monospace")});
    });
    // A preview's page drawn in software has a native window of its own (see
    // the preview panel); its siblings stay drawn in the window's surface, so
    // their transitions and effects keep working.
    QApplication::setAttribute(Qt::AA_DontCreateNativeWidgetSiblings);
    // Without a session bus, nothing may start one that would outlive Nerim.
    nerim::platform::LibsecretStore::startNoSessionBus();
    // The preview's web engine reads its options from this command line when
    // it is loaded (the first time a preview shows, see PreviewEngine); as
    // root it must run without its sandbox, or it ends the whole process.
    nerim::PreviewSandbox::EngineCommandLine commandLine(argc, argv, ::geteuid());
    if (commandLine.addsArguments())
        nerim::logLine(nerim::PreviewSandbox::withoutSandboxLogLine());
    QApplication app(commandLine.argc(), commandLine.argv());
    QApplication::setApplicationName(QStringLiteral("Nerim"));
    QApplication::setApplicationDisplayName(QStringLiteral("Nerim"));
    QApplication::setApplicationVersion(nerim::IntentProcessorConstants::appVersion());
    QApplication::setDesktopFileName(QStringLiteral("nerim"));
    BackgroundSavesFlushedOnExit flushOnExit;
    // The desktop's style, with the standard icons that Qt reads from image
    // files drawn by Nerim (the menu bar's), so no image plugin is loaded.
    QApplication::setStyle(new nerim::ApplicationStyle);

    // A logout, `kill` or Ctrl+C quits in order, as the Quit menu item does:
    // the window closes at once and the process guards end every child.
    // (However Nerim ends otherwise, crash or SIGKILL, the guards see it too.)
    nerim::platform::TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &nerim::platform::TerminationSignals::received, &app, [](int signal) {
        nerim::logLine(QStringLiteral("[Nerim] Quitting on signal %1").arg(signal));
        QApplication::quit();
    });

    // One running Nerim per user: a second launch (for example a pairing link
    // opened from the browser) hands its URLs to the running one, waits for
    // its answer and exits (with status 1 when they were refused or no answer
    // came; the log says which).
    nerim::platform::SingleInstance instance;
    if (!instance.claimOrForward(urls))
        return instance.linksTaken() ? 0 : 1;
    // Pool threads (the state load's, Qt's painting helpers) end once idle,
    // as the file owners' own threads do.
    nerim::IdleMemory::releasePoolThreadsAfter(nerim::SerialExecutor::releasedAfterIdleMs);
    // The application state is read while the window is built.
    QFuture<nerim::StartupOutcome> loading = nerim::startApplicationStateLoad();
    // No child process starts before the reaper is in place (see below).
    nerim::DesktopAnimationSetting::holdProcesses();

    // Agents reach the managed-keys proxy with the stored session token.
    nerim::ClaudeCodeProvider::setDefaultManagedKeysEnvironment(&nerim::managedKeysEnvironment);

    fontconfig.wait();
    // Inter is registered once, before the first window draws any text, and
    // the loading hints show the brand mark.
    nerim::InterFontRegistry::shared();
    // Colour emoji before the desktop's black-and-white fallbacks, also in
    // dialogs and menus that use the default font.
    nerim::Font::installEmojiFallback();
    nerim::OnboardingWordmark::installAsLoadingHintMark();
    // Sound cues and spoken narration through the desktop, while Nerim runs.
    nerim::DesktopVoiceBackends voiceBackends;

    nerim::MainWindow window;
    QApplication::setWindowIcon(nerim::MainWindow::applicationIcon());
    window.installApplicationMenu();
    // Read already (as it usually is): the window shows the overview in its
    // first picture; otherwise it shows empty until the read ends.
    const std::optional<nerim::StartupOutcome> loaded = nerim::finishedStartupLoad(loading);
    if (loaded)
        window.showStartupOutcome(*loaded);
    window.show();
    // What the first picture does not need waits until it is on the screen
    // (no child process is started before then: agents and servers wait for
    // the user, the desktop's reduce-motion reading is held above). The first
    // picture is the overview (or the load's failure), not the empty window
    // drawn while the state loads.
    const auto startupScreen = [&window](const QWidget *painted) { return window.shellView()->showsStartupScreen(painted); };
    nerim::runAfterFirstPaint(&window, [&window] {
        // Where no cgroup can hold a run's tree, what a killed process guard
        // leaves comes to Nerim, which ends it; and what an earlier Nerim
        // killed together with its guards left running is ended now, off
        // this thread.
        if (!nerim::platform::RunCgroup::isAvailable())
            nerim::platform::OrphanReaper::install();
        nerim::platform::ChildProcess::endLeftoversOfEarlierRuns();
        nerim::DesktopAnimationSetting::releaseProcesses();
        // What the start-up allocated for a while (images, text layouts,
        // the state's file) is free by then.
        nerim::IdleMemory::returnFreeHeapLater(&window, 1000);
    }, 2000, startupScreen);

    auto &pairing = nerim::PairingURLHandler::shared();
    pairing.setBringToFront([w = QPointer<nerim::MainWindow>(&window)] {
        if (w)
            w->bringToFront();
    });
    const auto handleAll = [&pairing](const QStringList &links) {
        for (const QString &link : links)
            pairing.handle(QUrl(link));
    };
    QObject::connect(&instance, &nerim::platform::SingleInstance::urlsReceived, &window, handleAll);
    handleAll(urls);
    instance.startDelivering();

    auto startup = startUp(&window, std::move(loading), loaded.has_value());
    return app.exec();
}
