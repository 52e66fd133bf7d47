#include "plans/ProjectFileTree.h"

#include <QCollator>
#include <QDir>
#include <QFileInfo>
#include <algorithm>

namespace nerim {

namespace {

struct Entry {
    QString name;
    bool isDirectory = false;
};

// The folder's immediate, non-hidden entries. A symbolic link counts as a file,
// so the walk never leaves the project through one.
QList<Entry> listFolder(const QString &path)
{
    const QFileInfoList infos = QDir(path).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    QList<Entry> entries;
    entries.reserve(infos.size());
    for (const QFileInfo &info : infos) {
        const QString name = info.fileName();
        if (name.startsWith(QLatin1Char('.')))
            continue;
        entries.append(Entry{name, info.isDir() && !info.isSymLink()});
    }
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

    QList<Entry> topLevel = listFolder(projectPath);
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
            QList<Entry> children = listFolder(projectPath + QLatin1Char('/') + entry.name);
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
