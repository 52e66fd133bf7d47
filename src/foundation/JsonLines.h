#pragma once

#include <QString>
#include <QStringList>

namespace nerim {

// The lines of a JSON Lines file, split on line feeds, with empty lines left
// out. A missing file, a file that cannot be read (a symbolic link, anything
// but a regular file, a file over the read cap), or one whose bytes are not
// valid UTF-8 gives an empty list. Never fails and parses no line: a line that
// is not valid JSON is returned as it is. Used by the history files, which are
// appended to by rewriting them whole.
// Given `beneath` (the project folder holding the file), the file is reached
// beneath it without following any link.
QStringList readJSONLLines(const QString &filePath, const QString &beneath = {});

} // namespace nerim
