#pragma once

#include <memory>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

namespace nerim {

class ProjectDataFolder;

// What a system agent's session (a deploy, a step on the live deploy, a
// repair) is doing, written down in the project's data folder when the step
// starts and closed when it ends. A step still written down as running by an
// earlier run of Nerim was cut short by a kill or a crash: the next open
// records it as interrupted, so a reopened pane never reads as if the agent
// were still at work. A step on the live deploy that failed stays written
// down as failed, with what retrying it needs, so "Try again" works after a
// restart too.
//
// The files are `.nerim/deploy-step.json` and `.nerim/repair-step.json`,
// written through the serial writer and marked with the writing process's
// instance (a random UUID per process). An interrupted step is written to the
// history with outcome "interrupted" and told in a pane line; on a live deploy
// it can be retried after the restart.
//
// The project's folder may come from anywhere, so a record counts only when
// this Nerim wrote it there (StepRecordVouch, kept in Nerim's own data
// folder): any other (a clone's, a copy's, a hand-edited one) offers nothing,
// runs nothing and writes no history; it is set aside and the reader is told,
// so its pane can say so once.
struct SystemAgentStepRecord {
    enum class State { running, ended, failed };

    State state = State::running;
    // The Nerim process that wrote it: a running record of this process is
    // its own step, never an interrupted one.
    QString instance;
    // The step as the history names it ("fresh", "redeploy", "rollback",
    // "gitConnect", "envVarUpdate", "domain", "repair").
    QString step;
    QString startedAt; // ISO 8601 UTC
    QStringList providers;
    // What retrying a step on the live deploy needs.
    std::optional<bool> enable;
    std::optional<QString> deploymentID;
    std::optional<QString> targetTimestamp;
    std::optional<QString> frontendURL;
    std::optional<QString> domain;
    // A repair: the failure's category and the attempt it was at.
    std::optional<QString> category;
    int attempt = 1;

    friend bool operator==(const SystemAgentStepRecord &, const SystemAgentStepRecord &) = default;

    QByteArray encode() const;
    // Strict: nothing for bytes that are not a record of this shape.
    static std::optional<SystemAgentStepRecord> decode(const QByteArray &bytes);

    // This process's mark.
    static const QString &currentInstance();
    // Whether it is an earlier Nerim's step that never ended.
    bool wasInterrupted() const { return state == State::running && instance != currentInstance(); }

    // <project>/.nerim/<fileName>
    static QString path(const QString &projectPath, const QString &fileName);
    // Writes the record in the background (the newest write of a file wins;
    // a quit waits for it), vouched for in Nerim's own data folder. Never
    // throws; failures are logged.
    static void write(const QString &projectPath, const QString &fileName, const SystemAgentStepRecord &record);
    // The same through the project's data folder door (nothing: not written).
    // A failed write is retried and told; a door that cannot write writes
    // nothing, told once.
    static void write(const std::shared_ptr<ProjectDataFolder> &door, const QString &fileName,
                      const SystemAgentStepRecord &record);

    // What reading a project's record found (below).
    struct Found;
    // Reads the record; blocking, so off the window's thread. Nothing when
    // there is none; a file that is not a record, or one Nerim did not write,
    // is set aside through `door` when it may write (left where it is
    // otherwise) and logged.
    static Found read(const QString &projectPath, const QString &fileName,
                      const std::shared_ptr<ProjectDataFolder> &door = nullptr);
    // The line a system pane shows once when its record was not Nerim's.
    static QString notNerimsLine(const Found &found, const QString &fileName);
};

struct SystemAgentStepRecord::Found {
    // A record this Nerim wrote there.
    std::optional<SystemAgentStepRecord> record;
    // A record Nerim did not write was there: it is not read, and was set
    // aside (`setAside`) or, when that failed, left where it is.
    bool notNerims = false;
    bool setAside = false;
};

} // namespace nerim
