#pragma once

#include "deploy/DeployProvider.h"

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <optional>

namespace nerim {

// One DNS record the user adds at their registrar for a custom domain.
struct DomainRecord {
    QString type;
    QString name;
    QString value;
    std::optional<int> ttl;

    // Type, name and value joined with "|".
    QString identity() const { return type + QLatin1Char('|') + name + QLatin1Char('|') + value; }

    friend bool operator==(const DomainRecord &, const DomainRecord &) = default;

    // A JSON array of objects with "type", "name", "value" (strings) and an
    // optional integer "ttl". Strict: anything else gives nothing.
    static std::optional<QList<DomainRecord>> listFromJson(const QString &json);
};

// A change to a live deploy that the Deploy agent carries out.
struct ProviderTask {
    enum class Kind { rollback, gitConnect, envVarUpdate };

    Kind kind = Kind::rollback;
    QString targetDeploymentID; // rollback
    QString targetTimestamp;    // rollback
    bool enable = false;        // gitConnect
    QMap<QString, QString> decisions; // envVarUpdate

    static ProviderTask rollback(QString deploymentID, QString timestamp)
    {
        return {Kind::rollback, std::move(deploymentID), std::move(timestamp), false, {}};
    }
    static ProviderTask gitConnect(bool enable) { return {Kind::gitConnect, {}, {}, enable, {}}; }
    static ProviderTask envVarUpdate(QMap<QString, QString> decisions)
    {
        return {Kind::envVarUpdate, {}, {}, false, std::move(decisions)};
    }

    friend bool operator==(const ProviderTask &, const ProviderTask &) = default;
};

// The host of an address ("https://app.example.com/x" gives "app.example.com");
// text that is not an address with a host loses every "https://" and "http://"
// and is cut before its first slash.
QString displayHost(const QString &address);

// Whether a typed domain may be handed to the Deploy agent: trimmed and
// lower-cased, it has at least two non-empty dot-separated pieces, and every
// piece holds only letters, digits and "-" (the agent passes the domain to
// shell commands, so nothing else may reach it).
bool isPlausibleDomain(const QString &text);

// The domain as it is sent: trimmed of white space and lower-cased.
QString cleanedDomain(const QString &text);

// A domain in its ASCII (IDNA) form, "bäckerei-müller.de" giving
// "xn--bckerei-mller-ilb1c.de", after `cleanedDomain`; nothing when it has no
// such form or is not a plain host name in it (dot-separated labels of ASCII
// letters, digits and "-").
std::optional<QString> asciiDomain(const QString &text);

// Whether two domains name the same host, compared in their ASCII form. An
// agent's report about a domain counts only for the domain the user typed.
bool isSameDomain(const QString &a, const QString &b);

// Whether a saved custom domain may stand for the live deploy: a plausible
// domain whose ASCII form is a plain host name (no scheme, path, query or port).
bool isAcceptableCustomDomain(const QString &domain);

// The host suffix of the addresses a provider gives a deploy:
// ".vercel.app", ".up.railway.app", ".supabase.co".
QString providerHostSuffix(DeployProvider provider);

// An address as an agent may write it at the end of a sentence or in Markdown,
// made plain: white space trimmed, one pair of "<" ">" or of backticks around it
// removed, and the dots that end the text or the host name dropped
// ("<https://shop.vercel.app.>" gives "https://shop.vercel.app"). It is still
// to be checked with `isAcceptedLiveAddress`.
QString normalizedLiveAddress(const QString &text);

// Whether an address the Deploy agent reports (or that a project file holds)
// may be saved and opened as a live address: an http or https address without
// user name or password whose host is a name under the host suffix of one of
// the `deployed` providers, or is the user's verified custom domain (hosts
// compared in their ASCII form, so a domain with non-ASCII letters counts).
// Anything else (another site, an IP address, "javascript:", a file) is
// refused. Pure.
bool isAcceptedLiveAddress(const QString &address, const QList<DeployProvider> &deployed,
                           const std::optional<QString> &verifiedCustomDomain);

// Whether a deployment id may be handed to the Deploy agent (it goes into its
// prompt and from there into provider commands): 1 to `maxDeploymentIDLength`
// letters, digits, "_" and "-". Pure.
inline constexpr qsizetype maxDeploymentIDLength = 128;
bool isPlainDeploymentID(const QString &id);

} // namespace nerim
