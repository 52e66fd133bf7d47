#include "ProgramCopies.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace nerim::test {

namespace {

constexpr QFileDevice::Permissions runnable = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                              QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                              QFileDevice::ExeOther;

// Copies the file `from` (a link's target) to `to`, readable and runnable by all.
bool copyRunnable(const QString &from, const QString &to)
{
    return QFileInfo::exists(to) || (QFile::copy(from, to) && QFile::setPermissions(to, runnable));
}

} // namespace

QString ProgramCopies::copyOf(const QString &program)
{
    if (const auto known = m_copies.constFind(program); known != m_copies.constEnd())
        return *known;
    if (!m_folder) {
        // /tmp itself, not the temporary folder the tests are given: that one
        // may lie anywhere.
        m_folder = std::make_unique<QTemporaryDir>(QStringLiteral("/tmp/nerim-programs-XXXXXX"));
        if (!m_folder->isValid() || ::chmod(QFile::encodeName(m_folder->path()).constData(), 0755) != 0)
            return {};
    }
    const QFileInfo original(program);
    const QDir folder(m_folder->path());
    const QString copy = folder.filePath(original.fileName());
    if (!copyRunnable(program, copy))
        return {};
    // The helpers are the links beside the program; each is copied whole
    // (one whose helper this build does not make leads nowhere, and is left).
    const QFileInfoList beside = original.dir().entryInfoList(QDir::Files | QDir::System);
    for (const QFileInfo &helper : beside)
        if (helper.isSymLink() && helper.exists() &&
            !copyRunnable(helper.absoluteFilePath(), folder.filePath(helper.fileName())))
            return {};
    m_copies.insert(program, copy);
    return copy;
}

bool runnableBy(const QString &path, uid_t uid, gid_t gid)
{
    const QByteArray file = QFile::encodeName(path);
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(::setgroups(0, nullptr) == 0 && ::setgid(gid) == 0 && ::setuid(uid) == 0 &&
                        ::access(file.constData(), X_OK) == 0
                    ? 0
                    : 1);
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace nerim::test
