#pragma once

#include <QString>

namespace nerim::platform {

// The user's login shell from the password database, when it exists and is
// executable; "/bin/bash" otherwise. Shell commands run as `<shell> -l -c <command>`.
QString loginShell();

} // namespace nerim::platform
