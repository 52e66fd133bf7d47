#pragma once

// Shared by the workspace screens' widget tests: motion reduced (so that no
// test waits on an animation), a canvas screen over a temporary project with
// a fake agent provider, and waiting on the event loop.

#include "TestAsync.h"
#include "TestEnvironment.h"
#include "canvas/ProjectCanvasViewModel.h"
#include "support/fake-agent-provider/FakeAgentProvider.h"
#include "support/voice-fakes/VoiceFakes.h"
#include "ui/design/MotionPreferences.h"
#include "ui/workspace/ProjectCanvasView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <gtest/gtest.h>
#include <memory>

namespace nerim::test {

// Runs the event loop until `condition` holds or 10 s pass; returns whether it held.
template <typename F>
bool waitFor(F condition, int timeoutMs = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

inline void settleEvents()
{
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
}

class WorkspaceWidgetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        MotionPreferences::shared().setReduceMotion(true);
        project = makeTempDir(QStringLiteral("project"));
        provider = std::make_shared<FakeAgentProvider>();
    }

    void TearDown() override
    {
        screen.reset();
        // Controllers whose screens are gone finish their teardown.
        waitFor([this] { return !controller; });
    }

    // A factory that makes the controller over the fake provider and keeps a
    // weak handle on it.
    ProjectCanvasView::ControllerFactory factory()
    {
        return [this](const QString &id, const QString &path, const QString &name) {
            CanvasServices services;
            services.soundCues = &feedback.soundService;
            services.narrator = &feedback.narrator;
            services.haptics = &feedback.haptics;
            services.activity = &feedback.activity;
            auto made = std::make_shared<ProjectCanvasViewModel>(id, path, name, provider, nullptr, services);
            controller = made.get();
            ++controllersMade;
            return made;
        };
    }

    // A canvas screen for `path` (the project folder by default), shown.
    ProjectCanvasView &openScreen(const QString &name = QStringLiteral("Site"), QString path = QString())
    {
        if (path.isEmpty())
            path = project;
        screen = std::make_unique<ProjectCanvasView>(QStringLiteral("project-id"), QUrl::fromLocalFile(path), name,
                                                     nullptr, [this] {
                                                         ++returns;
                                                         tornDownAtReturn = controller && controller->isTornDown();
                                                     },
                                                     factory());
        screen->setAttribute(Qt::WA_DontShowOnScreen);
        screen->resize(1180, 760);
        screen->show();
        return *screen;
    }

    bool waitForPhase(ProjectCanvasView::Phase phase)
    {
        return waitFor([this, phase] { return screen->phase() == phase; });
    }

    QString project;
    std::shared_ptr<FakeAgentProvider> provider;
    RecordedFeedback feedback;
    std::unique_ptr<ProjectCanvasView> screen;
    QPointer<ProjectCanvasViewModel> controller;
    int controllersMade = 0;
    int returns = 0;
    bool tornDownAtReturn = false;
};

} // namespace nerim::test
