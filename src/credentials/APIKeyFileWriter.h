#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

namespace nerim {

// The only writer of api-keys.json in the application's data folder: replaces
// the Anthropic key, keeps the Groq key, writes crash-safely with a backup,
// and keeps the file and its backup readable by the owner only (mode 0600
// from the first byte). The key cache reads the file once per process, so a
// key written here is used from the next launch on.
class APIKeyFileWriter {
public:
    class WriteError : public std::exception {
    public:
        enum class Kind {
            couldNotSerializeJSON,
            couldNotWriteFile,
            couldNotSetPermissions,
            couldNotResolveApplicationSupportDirectory,
        };

        WriteError(Kind kind, QString underlying = QString());

        Kind kind() const { return m_kind; }
        const QString &underlying() const { return m_underlying; }
        QString description() const;
        const char *what() const noexcept override { return m_utf8.constData(); }

    private:
        Kind m_kind;
        QString m_underlying;
        QByteArray m_utf8;
    };

    // Saves the key trimmed of whitespace and newlines; a blank key writes
    // nothing and throws nothing. Throws WriteError.
    static void writeAnthropicKey(const QString &key);

    // True when api-keys.json holds a non-blank "anthropic" value (a
    // "REPLACE_WITH_" value counts as saved). Never throws.
    static bool hasSavedAnthropicKey();

    // <data folder>/Nerim/api-keys.json; creates the Nerim folder (mode 0700)
    // when it is missing. Throws couldNotResolveApplicationSupportDirectory.
    static QString fileURL();
};

} // namespace nerim
