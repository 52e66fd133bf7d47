#include "panes-store/PanesViewFile.h"

#include "panes-store/PanesFilePlace.h"
#include "panes-store/PanesSideFiles.h"
#include "panes-store/PanesSnapshot.h"
#include "foundation/Json.h"
#include "foundation/RegularFile.h"
#include "persistence/IntentProcessorConstants.h"

#include <QJsonObject>

namespace nerim {

namespace {

// Far more than the file ever holds (under 400 bytes).
constexpr qint64 maxViewFileBytes = 64 * 1024;

bool namesAPane(const PanesSnapshot &snapshot, const std::optional<QUuid> &id)
{
    if (!id)
        return true;
    for (const PaneDiskSnapshot &pane : snapshot.panes)
        if (pane.id == *id)
            return true;
    return false;
}

} // namespace

QString PanesViewFile::pathFor(const QString &panesPath) { return besidePanesFile(panesPath, u"-view.json"); }

QByteArray PanesViewFile::encode() const
{
    QJsonObject root;
    root.insert(QStringLiteral("version"), currentVersion);
    root.insert(QStringLiteral("panesFile"), panesFileIdentityToJson(panesFile));
    if (focusedPaneId)
        root.insert(QStringLiteral("focusedPaneId"), json::uuid(*focusedPaneId));
    if (expandedPaneId)
        root.insert(QStringLiteral("expandedPaneId"), json::uuid(*expandedPaneId));
    return json::encodeCompact(root);
}

PanesViewFile PanesViewFile::decode(const QByteArray &bytes)
{
    const JsonObjectReader root = JsonObjectReader::parse(bytes);
    if (root.int32(QStringLiteral("version")) != currentVersion)
        root.value(QStringLiteral("version")).fail(QStringLiteral("unknown version"));
    PanesViewFile view;
    view.panesFile = panesFileIdentityFromJson(root.object(QStringLiteral("panesFile")));
    view.focusedPaneId = root.optionalUuid(QStringLiteral("focusedPaneId"));
    view.expandedPaneId = root.optionalUuid(QStringLiteral("expandedPaneId"));
    return view;
}

std::optional<PanesViewFile> PanesViewFile::read(const QString &path)
{
    try {
        // A link in its place is refused: the writer replaces links, so one there is not its own.
        // In a project it is reached beneath the project (through its door,
        // when open), following no link on the way.
        const std::optional<panesChangeLog::Place> place = panesChangeLog::placeOf(path);
        const std::optional<QByteArray> bytes =
            place ? RegularFile::readAt(place->folder.fd(), place->name, maxViewFileBytes) : std::nullopt;
        if (!bytes)
            return std::nullopt;
        return decode(*bytes);
    } catch (...) {
        return std::nullopt;
    }
}

bool PanesViewFile::applyTo(PanesSnapshot &snapshot, const AtomicFileWriter::FileIdentity &readFile) const
{
    if (panesFile != readFile || !namesAPane(snapshot, focusedPaneId) || !namesAPane(snapshot, expandedPaneId))
        return false;
    snapshot.focusedPaneId = focusedPaneId;
    snapshot.expandedPaneId = expandedPaneId;
    return true;
}

} // namespace nerim
