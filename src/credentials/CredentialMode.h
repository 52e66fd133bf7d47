#pragma once

#include <QString>

namespace nerim {

// Which credential the application's Anthropic calls go out under. A stored
// managed-keys session token always wins over an own key.
class CredentialMode {
public:
    enum class Kind {
        managed, // the session token from the system keyring
        byok,    // the user's own Anthropic key from api-keys.json
        none,
    };

    static CredentialMode managed(QString token) { return CredentialMode(Kind::managed, std::move(token)); }
    static CredentialMode byok(QString key) { return CredentialMode(Kind::byok, std::move(key)); }
    static CredentialMode none() { return CredentialMode(Kind::none, QString()); }

    Kind kind() const { return m_kind; }
    bool isManaged() const { return m_kind == Kind::managed; }
    // The session token (managed) or the own key (byok); empty for none.
    const QString &secret() const { return m_secret; }

    friend bool operator==(const CredentialMode &, const CredentialMode &) = default;

private:
    CredentialMode(Kind kind, QString secret)
        : m_kind(kind)
        , m_secret(std::move(secret))
    {
    }

    Kind m_kind;
    QString m_secret;
};

} // namespace nerim
