#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>

namespace nerim {

// Keeps local secrets (`.env` and its local variants) and Nerim's own
// `.nerim/` folder out of what git adds in a project that is a git repository,
// before an agent runs there: the patterns go into the repository's own
// exclude file (`info/exclude` in its git folder), which changes no tracked
// file and is never committed. A file git already tracks stays tracked, and a
// project `.gitignore` negation (`!.env`) wins over these lines, which is why
// a Deploy run's one staging command excludes the same paths itself. Every
// agent run (task, Repair and Deploy alike) does this first, so a repository
// made during a run (`git init` by a task agent) gets the lines at the next
// run. A refusal or failure is logged, told once in the agent's pane, and
// the run starts either way.
namespace GitExcludes {

// The lines Nerim keeps in the exclude file, in order: a comment saying why,
// `.env`, `.env.*`, the example files re-included (`!.env.example`,
// `!.env.sample`, `!.env.template`), then `.nerim/`.
const QStringList &secretLines();

// The exclude file's new content: `existing` with each of `secretLines` it
// lacks appended (the re-included examples again after `.env.*` when that
// is added, since the last matching line decides). Nothing when every line is
// already there, so a second run adds nothing.
std::optional<QByteArray> withSecretLines(const QByteArray &existing);

// What became of the exclude file.
enum class Outcome { added, alreadyThere };

// Adds the lines to the exclude file at `path` (absolute), making its
// `info` folder when missing. The file is reached beneath `root` (the project
// folder; when empty, the git folder holding `info/exclude`) without
// following any link: a link on the way or at the file, or anything but a
// regular file there, is refused. Read and written within its open folder
// with the crash-safe writer. Throws std::runtime_error with the reason.
// Touches the disk: call it off the main thread.
Outcome addSecretLines(const QString &path, const QString &root = {});

// Asks git where the repository holding `folder` keeps its exclude file
// (`git rev-parse --git-path info/exclude` through ChildProcess, so under
// Nerim's process guard and its git settings, with only PATH, HOME,
// XDG_CONFIG_HOME, USER, LOGNAME, LC_ALL=C and GIT_TERMINAL_PROMPT=0);
// absolute. Nothing when the folder is in no repository, git is missing or
// does not answer within `timeLimit`. Runs on the main thread without
// blocking it.
QCoro::Task<std::optional<QString>> locateExcludeFile(QString folder,
                                                      std::chrono::milliseconds timeLimit = std::chrono::seconds(10));

// Both, for a run about to start in `folder`: never throws and never holds a
// run back for long. The file is written only where it lies inside the
// project (reached without a link); a repository whose exclude file is
// elsewhere (a worktree's or a `commondir`'s main repository, one the project
// is a folder of) is left alone. What could not be done is logged, and the
// one line for the agent's pane saying that `.env` is not excluded from git
// there is returned; nothing when the lines are in place or the folder is in
// no repository.
QCoro::Task<std::optional<QString>> keepSecretsOut(QString folder);

} // namespace GitExcludes
} // namespace nerim
