#include "deploy/DeployTypes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>

namespace nerim {

std::optional<QList<DomainRecord>> DomainRecord::listFromJson(const QString &json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return std::nullopt;
    QList<DomainRecord> records;
    for (const QJsonValue &item : document.array()) {
        if (!item.isObject())
            return std::nullopt;
        const QJsonObject object = item.toObject();
        const QJsonValue type = object.value(QLatin1String("type"));
        const QJsonValue name = object.value(QLatin1String("name"));
        const QJsonValue value = object.value(QLatin1String("value"));
        if (!type.isString() || !name.isString() || !value.isString())
            return std::nullopt;
        DomainRecord record{type.toString(), name.toString(), value.toString(), std::nullopt};
        const QJsonValue ttl = object.value(QLatin1String("ttl"));
        if (!ttl.isUndefined() && !ttl.isNull()) {
            const double number = ttl.toDouble(-1);
            if (!ttl.isDouble() || number != double(qint64(number)) || number < 0 || number > 2147483647)
                return std::nullopt;
            record.ttl = int(number);
        }
        records.append(record);
    }
    return records;
}

QString displayHost(const QString &address)
{
    const QUrl url(address, QUrl::StrictMode);
    if (url.isValid() && !url.host().isEmpty())
        return url.host();
    QString text = address;
    text.remove(QLatin1String("https://"));
    text.remove(QLatin1String("http://"));
    const qsizetype slash = text.indexOf(QLatin1Char('/'));
    return slash < 0 ? text : text.left(slash);
}

QString cleanedDomain(const QString &text) { return text.trimmed().toLower(); }

bool isPlausibleDomain(const QString &text)
{
    const QStringList pieces = cleanedDomain(text).split(QLatin1Char('.'), Qt::SkipEmptyParts);
    if (pieces.size() < 2)
        return false;
    for (const QString &piece : pieces)
        for (const QChar c : piece)
            if (!(c.isLetterOrNumber() || c == QLatin1Char('-')))
                return false;
    return true;
}

QString providerHostSuffix(DeployProvider provider)
{
    switch (provider) {
    case DeployProvider::vercel:
        return QStringLiteral(".vercel.app");
    case DeployProvider::railway:
        return QStringLiteral(".up.railway.app");
    case DeployProvider::supabase:
        return QStringLiteral(".supabase.co");
    }
    return QString();
}

namespace {

// A host name of dot-separated labels of ASCII letters, digits and "-",
// none empty and none starting or ending with "-".
bool isPlainHostName(const QString &host)
{
    if (host.isEmpty() || host.size() > 253)
        return false;
    for (const QStringView label : QStringView(host).split(QLatin1Char('.'))) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith(QLatin1Char('-')) ||
            label.endsWith(QLatin1Char('-')))
            return false;
        for (const QChar c : label) {
            const char16_t u = c.unicode();
            if (!((u >= u'a' && u <= u'z') || (u >= u'0' && u <= u'9') || u == u'-'))
                return false;
        }
    }
    return true;
}

} // namespace

bool isAcceptedLiveAddress(const QString &address, const QList<DeployProvider> &deployed,
                           const std::optional<QString> &verifiedCustomDomain)
{
    const QString trimmed = address.trimmed();
    // Only the characters an address may hold as written; QUrl would quietly
    // mend the rest.
    for (const QChar c : trimmed)
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7f || c == QLatin1Char('\\'))
            return false;
    const QUrl url(trimmed, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("https") && scheme != QLatin1String("http"))
        return false;
    if (!url.userInfo().isEmpty())
        return false;
    const QString host = url.host(QUrl::FullyEncoded).toLower();
    if (!isPlainHostName(host))
        return false;
    for (const DeployProvider provider : deployed) {
        const QString suffix = providerHostSuffix(provider);
        if (host.size() > suffix.size() && host.endsWith(suffix))
            return true;
    }
    if (verifiedCustomDomain) {
        const QString domain = cleanedDomain(*verifiedCustomDomain);
        if (isPlausibleDomain(domain) && host == domain)
            return true;
    }
    return false;
}

bool isPlainDeploymentID(const QString &id)
{
    if (id.isEmpty() || id.size() > maxDeploymentIDLength)
        return false;
    for (const QChar c : id) {
        const char16_t u = c.unicode();
        if (!((u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u'_' ||
              u == u'-'))
            return false;
    }
    return true;
}

} // namespace nerim
