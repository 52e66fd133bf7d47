#include "PlantedFiles.h"

#include "TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nerim::test {

namespace {

QByteArray native(const QString &path) { return QFile::encodeName(path); }

mode_t modeOf(const QString &path)
{
    struct stat st {};
    ::stat(native(path).constData(), &st);
    return st.st_mode & 07777;
}

} // namespace

QString plantLinkToOutsideFile(const QString &path, const QByteArray &contents)
{
    const QString outside = makeTempDir(QStringLiteral("outside")) + QLatin1Char('/') + QFileInfo(path).fileName();
    writeFile(outside, contents);
    ::chmod(native(outside).constData(), 0640);
    plantLink(path, outside);
    return outside;
}

bool plantFifo(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    return ::mkfifo(native(path).constData(), 0600) == 0;
}

bool plantLink(const QString &path, const QString &to)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    return ::symlink(native(to).constData(), native(path).constData()) == 0;
}

bool plantSparseFile(const QString &path, qint64 size)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    const int fd = ::open(native(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::ftruncate(fd, size) == 0;
    ::close(fd);
    return ok;
}

PlantedLinks::PlantedLinks(const QStringList &paths)
{
    for (const QString &path : paths) {
        const QByteArray contents = "private text of the user, not for " + QFileInfo(path).fileName().toUtf8();
        const QString outside = plantLinkToOutsideFile(path, contents);
        m_outsideFiles << outside;
        m_originals.insert(outside, Original{contents, modeOf(outside)});
    }
}

void PlantedLinks::expectOutsideUntouched() const
{
    for (auto it = m_originals.begin(); it != m_originals.end(); ++it) {
        EXPECT_EQ(readFile(it.key()), it->contents) << it.key().toStdString();
        EXPECT_EQ(modeOf(it.key()), it->mode) << it.key().toStdString();
        // Nothing appeared beside it (a backup or temporary file of a write through the link).
        EXPECT_EQ(QDir(QFileInfo(it.key()).absolutePath()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
                  QStringList{QFileInfo(it.key()).fileName()})
            << it.key().toStdString();
    }
}

QStringList writerNames(const QString &target, const QString &backup)
{
    return {target, backup, target + QStringLiteral(".tmp"), backup + QStringLiteral(".tmp")};
}

} // namespace nerim::test
