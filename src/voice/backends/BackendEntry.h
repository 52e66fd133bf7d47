#pragma once

#include <QString>

namespace nerim {

// How the application hands its log to a backend library, which carries a
// copy of the log code of its own: the library's lines go where the
// application's go.
using HostLogLine = void (*)(const QString &line);

} // namespace nerim
