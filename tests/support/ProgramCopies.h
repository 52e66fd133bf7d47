#pragma once

#include <QHash>
#include <QString>
#include <QTemporaryDir>
#include <memory>
#include <sys/types.h>

namespace nerim::test {

// Programs of the build tree copied where another user can run them. The
// build tree lies in the checkout, which may be a folder only its owner can
// enter (a checkout under /root, a clone in a `mktemp -d` folder), so a test
// that starts a program as another user starts a copy: in a folder of its own
// under /tmp, mode 0755, beside the helpers the build links next to every
// test program (the guard, the git shim, the backends), copied too. The
// folder goes with this object.
class ProgramCopies {
public:
    // The copy of `program` with its helpers; empty when it could not be made.
    QString copyOf(const QString &program);

private:
    std::unique_ptr<QTemporaryDir> m_folder;
    QHash<QString, QString> m_copies;
};

// Whether `uid`/`gid` (without supplementary groups) can run the program at
// `path`: every folder above it passable and the file executable for them.
bool runnableBy(const QString &path, uid_t uid, gid_t gid);

} // namespace nerim::test
