#pragma once

#include <QString>

// Every text a user reads on screen, in one place, exactly as shown: real
// ellipses (…), middle dots (·), dashes (—), arrows (→), the Shift sign (⇧) and
// curly quotes (“ ”), never their ASCII stand-ins. Each screen adds its own
// section. Texts that name a place on disk or a desktop facility name the
// Linux one (the system keyring, Settings, the real data folder).
namespace nerim::Strings {

// Loading hints shown while a project opens and its memory is prepared.
namespace Loading {
inline const QString openingProject = QStringLiteral("Opening project…");
inline const QString preparingMemory = QStringLiteral("Preparing memory…");
} // namespace Loading

} // namespace nerim::Strings
