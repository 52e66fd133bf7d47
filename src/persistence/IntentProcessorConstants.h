#pragma once

#include <QHash>
#include <QString>
#include <QUrl>
#include <optional>

namespace nerim::IntentProcessorConstants {

// Laid over the inherited environment of agent child processes.
const QHash<QString, QString> &subprocessEnvironment();

// "1.2.3", or "1.2.3 (45)" when the build number differs from the short version.
const QString &appVersion();
// The rule behind appVersion, for any pair of values (an empty short version gives "unknown").
QString versionText(const QString &shortVersion, const QString &build);

QUrl groqTranscriptionURL();
QUrl claudeCodeDocsURL();

// The application's data folder, $XDG_DATA_HOME/Nerim (~/.local/share/Nerim),
// moved once from the earlier product's folder beside it and created when
// missing, readable by its owner only (mode 0700; a wider mode is narrowed).
// Throws std::runtime_error with the file system's reason.
QString appSupportDirectory();

// <project>/.nerim, moved once from <project>/.veltra and created when missing.
// Callers check that the project folder exists first. The data folder is a
// real folder of the project: a symbolic link in its place (leading anywhere,
// into the project too) is set aside as ".nerim.link-<time>" (moved, never
// followed nor deleted), anything else that is not a folder (a file, a pipe,
// a device) as ".nerim.file-<time>", ".nerim.pipe-<time>"…, and a real folder
// made; `setAsideNotice`, when given,
// then receives the sentence that tells the user. A legacy folder that is a
// link is not moved. Throws std::runtime_error with the reason.
QString projectDotfolder(const QString &projectPath, QString *setAsideNotice = nullptr);

// The project folder holding the data folder a file lies in: "/p" for
// "/p/.nerim/plan.json" or "/p/.nerim/plans/a.md"; empty for a path in no
// data folder. Files there are read and written beneath that folder.
QString projectOfDataFile(const QString &path);

// ~/Documents/nerim-scratch, created when missing. Throws std::runtime_error.
QString scratchDirectory();

// The key file: <data folder>/Nerim/api-keys.json (the folder is not created).
QString apiKeysFilePath();

inline const QString anthropicPlaceholder = QStringLiteral("REPLACE_WITH_ANTHROPIC_API_KEY");
inline const QString groqPlaceholder = QStringLiteral("REPLACE_WITH_GROQ_API_KEY");

struct APIKeys {
    QString anthropicKey;
    QString groqKey;
};

// Reads and trims the two keys of an api-keys.json; a missing file, a file that
// does not decode, or a blank key gives the placeholder. Never fails; a file
// that cannot be decoded is logged once.
APIKeys readAPIKeysFile(const QString &path);
APIKeys readAPIKeysFile();

// The keys as read at first use in this process; never refreshed.
APIKeys cachedKeys();
// Drops the cached keys so that the next use reads the file again. For tests,
// which give every test its own data folder within one process.
void forgetCachedKeys();

// A key is usable when it is non-empty and does not begin with "REPLACE_WITH_".
bool isUsableKey(const QString &key);
bool hasAnthropicKey();
bool hasGroqKey();

} // namespace nerim::IntentProcessorConstants
