#include "persistence/SetAside.h"

#include "foundation/BeneathFolder.h"
#include "persistence/FileCalls.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace nerim::setAside {
namespace {

QString stampedName(const QString &path, QStringView tag)
{
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    return path + u'.' + tag.toString() + u'-' + stamp;
}

QString numbered(const QString &base, int n) { return n == 1 ? base : base + u'-' + QString::number(n); }

} // namespace

QString freshName(const QString &path, QStringView tag)
{
    const QString base = stampedName(path, tag);
    for (int n = 1;; ++n) {
        const QString name = numbered(base, n);
        if (!QFileInfo::exists(name) && !QFileInfo(name).isSymLink())
            return name;
    }
}

QString writeFreshWithin(const BeneathFolder &folder, const QString &name, QStringView tag,
                         const std::function<void(AtomicFileWriter::ContentSink &)> &produce)
{
    const QString base = stampedName(name, tag);
    AtomicFileWriter::WriteOptions options;
    options.replaceExisting = false;
    for (int n = 1;; ++n) {
        const QString aside = numbered(base, n);
        struct stat st {};
        if (::fstatat(folder.fd(), QFile::encodeName(aside).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            continue;
        try {
            AtomicFileWriter::write(produce, folder, aside, QString(), options);
            return aside;
        } catch (const MemoryError &) {
            // Taken between the look and the rename: the next number.
            if (::fstatat(folder.fd(), QFile::encodeName(aside).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                throw;
        }
    }
}

std::optional<QString> move(const QString &path, QStringView tag)
{
    const QString base = stampedName(path, tag);
    const QByteArray from = QFile::encodeName(path);
    for (int n = 1;; ++n) {
        const QString aside = numbered(base, n);
        if (fileCalls::renameWithoutReplacing(from.constData(), QFile::encodeName(aside).constData()) == 0) {
            fileCalls::syncFolderOf(path);
            return aside;
        }
        if (errno != EEXIST)
            return std::nullopt;
    }
}

std::optional<QString> moveWithin(const BeneathFolder &folder, const QString &name, QStringView tag)
{
    const QString base = stampedName(name, tag);
    const QByteArray from = QFile::encodeName(name);
    for (int n = 1;; ++n) {
        const QString aside = numbered(base, n);
        if (fileCalls::renameAtWithoutReplacing(folder.fd(), from.constData(), folder.fd(),
                                                QFile::encodeName(aside).constData()) == 0) {
            fileCalls::syncFolder(folder.fd());
            return aside;
        }
        if (errno != EEXIST)
            return std::nullopt;
    }
}

} // namespace nerim::setAside
