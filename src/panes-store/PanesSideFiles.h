#pragma once

// The files kept beside panes.json (its change log, the view file of earlier
// versions): how they are named after it, and how they name the panes.json
// they amend by its identity.

#include "persistence/AtomicFileWriter.h"

#include <QJsonObject>
#include <QString>
#include <QStringView>

namespace nerim {

class JsonObjectReader;

// The file beside the panes file at `panesPath` whose name is the panes
// file's without ".json", then `suffix` ("panes.json", "-view.json" gives
// "panes-view.json").
QString besidePanesFile(const QString &panesPath, QStringView suffix);

// A panes file's identity as the files beside it name it: an object of
// decimal strings ("device", "inode", "size", "modifiedNs", "changedNs").
QJsonObject panesFileIdentityToJson(const AtomicFileWriter::FileIdentity &identity);
// Strict: throws JsonDecodingError for anything but that form.
AtomicFileWriter::FileIdentity panesFileIdentityFromJson(const JsonObjectReader &object);

} // namespace nerim
