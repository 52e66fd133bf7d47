#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <sys/types.h>

namespace nerim::test {

// What a hostile project folder may hold in the place of a file Nerim reads or
// writes. Each helper makes one such thing at `path` (parent folders created).
// A symbolic link to a new file outside every project, holding `contents`
// with mode 0640; returns that outside file's path.
QString plantLinkToOutsideFile(const QString &path, const QByteArray &contents);
bool plantFifo(const QString &path);                    // a named pipe nobody writes to
bool plantLink(const QString &path, const QString &to); // e.g. to /dev/zero
bool plantSparseFile(const QString &path, qint64 size); // a large file that costs no disk

// Links at each of `paths` (a file's name, its backup, its temporary names),
// each to an outside file of its own, and the check that every outside file
// kept its content and mode.
class PlantedLinks {
public:
    explicit PlantedLinks(const QStringList &paths);
    // Adds a GoogleTest failure for every outside file that changed.
    void expectOutsideUntouched() const;
    const QStringList &outsideFiles() const { return m_outsideFiles; }

private:
    struct Original {
        QByteArray contents;
        mode_t mode;
    };
    QStringList m_outsideFiles;
    QMap<QString, Original> m_originals;
};

// The file names a crash-safe write of `target` with `backup` uses, for PlantedLinks.
QStringList writerNames(const QString &target, const QString &backup);

} // namespace nerim::test
