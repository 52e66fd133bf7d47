#pragma once

#include <memory>

#include "sessions/SystemAgentRuns.h"
#include "launcher/LaunchPlan.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <QUrl>
#include <optional>

namespace nerim {

class ProjectDataFolder;

class DevServerRunner;
class PreviewState;
class SerialExecutor;

// What the Repair and Deploy sessions need of the canvas controller that owns
// them, besides what their agents' runs need: the project, the launcher's
// serial thread, the development server and the remembered start, and the
// preview. The controller gives it; a session never sees the controller.
class CanvasSessionHost : public SystemAgentHost {
public:
    virtual QString projectPath() const = 0;
    virtual QUrl projectURL() const = 0;
    virtual QString projectDisplayName() const = 0;
    // False while another Nerim holds the project: this one only shows it,
    // and a step that Nerim has running is not this one's to call interrupted.
    virtual bool writesProjectData() const = 0;
    // The project's data folder door, through which every write into the
    // project's `.nerim` (and its `.env`) goes; nothing before the project
    // has loaded and after it closed, when nothing is written. A write
    // queued elsewhere keeps the door it was given until it has ended.
    virtual std::shared_ptr<ProjectDataFolder> dataFolder() const = 0;

    // The one thread of the launcher's file work (detection, launch-override.json,
    // deploy-config.json, .env), so that such work keeps its order.
    virtual SerialExecutor &launchWork() = 0;
    virtual DevServerRunner &devServerRunner() = 0;
    virtual PreviewState &preview() = 0;

    // Running the app: the plan last started, or the detection error of the
    // last try, and how many detections have begun so far.
    virtual const std::optional<LaunchPlan> &lastAttemptedLaunchPlan() const = 0;
    virtual void setLastAttemptedLaunchPlan(const std::optional<LaunchPlan> &plan) = 0;
    virtual const std::optional<QString> &lastLaunchAttemptDetectionError() const = 0;
    virtual void setLastLaunchAttemptDetectionError(const std::optional<QString> &message) = 0;
    virtual quint64 launchDetections() const = 0;
    // A start is between its detection and the server's launch.
    virtual bool isStartingApp() const = 0;
    virtual QCoro::Task<> runApp() = 0;
};

} // namespace nerim
