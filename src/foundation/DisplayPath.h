#pragma once

#include <QString>

namespace nerim {

// A path as a user reads it in a sentence: the home folder written as "~"
// ("/home/ada/.local/share/Nerim/api-keys.json" → "~/.local/share/Nerim/api-keys.json").
// A path outside the home folder, or a home folder of "/" or none, is left as it is.
QString pathForDisplay(const QString &path);
// The same against a given home folder.
QString pathForDisplay(const QString &path, const QString &homeFolder);

} // namespace nerim
