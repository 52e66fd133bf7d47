#include "plans/ProjectFileTree.h"

#include "foundation/BeneathFolder.h"

#include <QCollator>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace nerim {

namespace {

struct Entry {
    QString name;
    bool isDirectory = false;
};

// The open folder's immediate, non-hidden entries. A symbolic link counts as
// a file, so the walk never leaves the project through one.
QList<Entry> listFolder(const BeneathFolder &folder)
{
    QList<Entry> entries;
    const int fd = ::dup(folder.fd());
    if (fd < 0)
        return entries;
    DIR *dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return entries;
    }
    ::rewinddir(dir);
    while (const dirent *entry = ::readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        if (name.startsWith(QLatin1Char('.')))
            continue;
        struct stat st {};
        const bool isDirectory =
            ::fstatat(folder.fd(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        entries.append(Entry{name, isDirectory});
    }
    ::closedir(dir);
    return entries;
}

void sortTreeEntries(QList<Entry> &entries, const QCollator &collator)
{
    std::stable_sort(entries.begin(), entries.end(), [&](const Entry &a, const Entry &b) {
        if (a.isDirectory != b.isDirectory)
            return a.isDirectory;
        return collator.compare(a.name, b.name) < 0;
    });
}

qsizetype lineCost(const QString &line) { return line.toUtf8().size() + 1; }

} // namespace

const QStringList &fileTreeSkippedNames()
{
    static const QStringList names{
        QStringLiteral("node_modules"), QStringLiteral(".git"),          QStringLiteral(".next"),
        QStringLiteral(".turbo"),       QStringLiteral(".vercel"),       QStringLiteral(".DS_Store"),
        QStringLiteral("dist"),         QStringLiteral("build"),         QStringLiteral("out"),
        QStringLiteral(".nerim"),       QStringLiteral("coverage"),      QStringLiteral(".cache"),
        QStringLiteral(".parcel-cache"), QStringLiteral(".pytest_cache"), QStringLiteral("__pycache__"),
    };
    return names;
}

const QStringList &fileTreeExpandedNames()
{
    static const QStringList names{
        QStringLiteral("app"),    QStringLiteral("pages"),  QStringLiteral("components"), QStringLiteral("lib"),
        QStringLiteral("src"),    QStringLiteral("api"),    QStringLiteral("server"),     QStringLiteral("public"),
        QStringLiteral("styles"), QStringLiteral("utils"),  QStringLiteral("hooks"),
    };
    return names;
}

QString buildProjectFileTree(const QString &projectPath)
{
    if (!QFileInfo(projectPath).isDir())
        return QString();
    QCollator collator{QLocale()};
    collator.setCaseSensitivity(Qt::CaseInsensitive);

    // The walk goes from the project folder as it was opened, each folder
    // beneath it reached without following a link: one swapped for a link
    // after it was listed is not descended into.
    std::optional<BeneathFolder> root;
    try {
        root.emplace(BeneathFolder::root(projectPath));
    } catch (const std::exception &) {
        return QString();
    }
    QList<Entry> topLevel = listFolder(*root);
    sortTreeEntries(topLevel, collator);

    qsizetype remaining = fileTreeBudget;
    QStringList lines;
    for (const Entry &entry : std::as_const(topLevel)) {
        if (fileTreeSkippedNames().contains(entry.name))
            continue;
        const QString line = entry.isDirectory ? entry.name + QLatin1Char('/') : entry.name;
        const qsizetype cost = lineCost(line);
        if (cost > remaining)
            break;
        lines.append(line);
        remaining -= cost;

        if (entry.isDirectory && fileTreeExpandedNames().contains(entry.name)) {
            QList<Entry> children;
            try {
                children = listFolder(root->folder(entry.name));
            } catch (const std::exception &) {
            }
            sortTreeEntries(children, collator);
            for (qsizetype position = 0; position < children.size(); ++position) {
                if (position == fileTreeChildLimit) {
                    const QString summary = QStringLiteral("  \u2026 (%1 more)").arg(children.size() - position);
                    const qsizetype summaryCost = lineCost(summary);
                    if (summaryCost <= remaining) {
                        lines.append(summary);
                        remaining -= summaryCost;
                    }
                    break;
                }
                const Entry &child = children[position];
                if (fileTreeSkippedNames().contains(child.name))
                    continue;
                const QString childLine =
                    QStringLiteral("  ") + child.name + (child.isDirectory ? QStringLiteral("/") : QString());
                const qsizetype childCost = lineCost(childLine);
                if (childCost > remaining)
                    break;
                lines.append(childLine);
                remaining -= childCost;
            }
        }
        if (remaining == 0)
            break;
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace nerim
