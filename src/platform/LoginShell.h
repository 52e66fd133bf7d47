#pragma once

#include <QString>

namespace nerim::platform {

// The user's login shell from the password database, when it is a POSIX shell
// that exists; "/bin/bash" otherwise. Shell commands run as `<shell> -l -c <command>`
// (the stand-in for a fixed `/bin/zsh -l -c`: Linux users' shells vary).
QString loginShell();

// `candidate` when it names an existing, executable POSIX-like shell (sh, bash,
// zsh, dash, ksh, …); "/bin/bash" otherwise (fish, csh, nologin, missing).
QString posixShell(const QString &candidate);

} // namespace nerim::platform
