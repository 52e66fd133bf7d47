#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <stdexcept>
#include <sys/types.h>

namespace nerim {

// A folder opened beneath a root folder (a project) without following a
// symbolic link anywhere on the way. A project may be shaped by anyone (a
// running app, a cloned repository, an agent), and a link in it can be
// swapped at any moment: so every file Nerim reads or writes there is reached
// from the project's own open folder, one component after another, and once a
// folder is open everything in it is done through its descriptor, by the
// file's own name, never by a path that would be resolved again.
//
// The kernel does the resolution where it can (openat2 with RESOLVE_BENEATH
// and RESOLVE_NO_SYMLINKS); elsewhere each component is opened with
// O_NOFOLLOW from the one before it. A path that needs a link is refused.
//
// The root itself is the folder the user chose and is opened as named.
struct BeneathLinkTarget;

class BeneathFolder {
public:
    // A path that is refused because it needs a link or leaves the root: one
    // line saying so, naming the path within the root.
    class Refused : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // A folder on the way that does not exist (or is not a folder).
    class Missing : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // Which missing folders an open makes (with default attributes): none,
    // only the last one (a data folder inside a folder that must already be
    // there), or every one below the root. The root is never made.
    enum class Create { nothing, last, all };

    // The root folder itself. Throws std::runtime_error when it cannot be opened.
    static BeneathFolder root(const QString &rootPath);
    // The folder `relative` (a path within the root, "" for the root itself)
    // beneath `rootPath`. Throws Refused, Missing, or std::runtime_error
    // with the system's reason.
    static BeneathFolder open(const QString &rootPath, const QString &relative, Create create = Create::nothing);
    // The folder holding `path` (absolute and inside `rootPath`, or relative
    // to it), beneath `rootPath`; `name` receives the file's own name.
    static BeneathFolder holding(const QString &rootPath, const QString &path, Create create, QString *name);
    // A folder by its path, links followed as anywhere else: for Nerim's own
    // folders outside any project. Throws std::runtime_error.
    static BeneathFolder atPath(const QString &path);

    // The folder `relative` beneath this one, by the same rule.
    BeneathFolder folder(const QString &relative, Create create = Create::nothing) const;

    BeneathFolder(BeneathFolder &&other) noexcept;
    BeneathFolder &operator=(BeneathFolder &&other) noexcept;
    BeneathFolder(const BeneathFolder &) = delete;
    BeneathFolder &operator=(const BeneathFolder &) = delete;
    ~BeneathFolder();

    int fd() const { return m_fd; }
    // The folder's path as it was reached, for messages and logs only.
    const QString &path() const { return m_path; }
    QString filePath(const QString &name) const;

    // `path` as a path within `rootPath` ("" for the root itself), cleaned:
    // absolute paths must lie inside the root. Throws Refused when it leaves it.
    static QString relativeWithin(const QString &rootPath, const QString &path);

    // Opens `relative` beneath the folder open at `dirFd` following no link
    // (O_NOFOLLOW is implied, also for the last component). Returns the
    // descriptor, or -1 with errno: ELOOP when a link is on the way, EXDEV
    // when the path leaves the folder.
    static int openAt(int dirFd, const QByteArray &relative, int flags, mode_t mode = 0);

    // The line a refusal of `relative` beneath `dirFd` carries: which
    // component is a link, when one is.
    static QString refusalFor(int dirFd, const QString &relative);

    // Where the entry `name` of this folder (the root, opened from
    // `rootPath`) leads when it is a symbolic link: a project file kept
    // elsewhere in the project and linked in (a `.env` in a subfolder) is
    // used only when the link's own text names a place inside the root that
    // is reached from it without any further link. On success `folder` is
    // the target's folder, opened beneath the root, and `name` its name there
    // (the target itself may be missing or a further link: the caller's open
    // refuses that).
    using LinkTarget = BeneathLinkTarget;
    LinkTarget linkTarget(const QString &rootPath, const QString &name) const;

private:
    BeneathFolder(int fd, QString path) : m_fd(fd), m_path(std::move(path)) {}

    int m_fd = -1;
    QString m_path;
};

// What BeneathFolder::linkTarget finds.
struct BeneathLinkTarget {
    enum class Failure {
        none,
        unreadable, // the link's text can't be read (`error`)
        outside,    // it names a place outside the root (or the root itself)
        refused,    // the way to it needs a further link (`reason` says which)
        missing,    // a folder on the way is missing
        failed,     // the folder can't be opened (`reason`)
    };
    Failure failure = Failure::none;
    std::optional<BeneathFolder> folder;
    QString name;
    QString within; // the target as a path within the root
    QString reason;
    int error = 0;
};

namespace detail {
// Whether the kernel's own beneath resolution is used when it is there
// (true by default); tests turn it off to exercise the step-by-step way.
void useKernelResolution(bool use);
} // namespace detail

} // namespace nerim
