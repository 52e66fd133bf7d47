#include "deploy/DeployTypes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
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

std::optional<QString> asciiDomain(const QString &text)
{
    const QString cleaned = cleanedDomain(text);
    if (cleaned.isEmpty())
        return std::nullopt;
    const QString ascii = QString::fromLatin1(QUrl::toAce(cleaned)).toLower();
    if (!isPlainHostName(ascii))
        return std::nullopt;
    return ascii;
}

bool isSameDomain(const QString &a, const QString &b)
{
    const std::optional<QString> first = asciiDomain(a);
    return first && *first == asciiDomain(b);
}

bool isAcceptableCustomDomain(const QString &domain)
{
    return isPlausibleDomain(domain) && asciiDomain(domain).has_value();
}

QString normalizedLiveAddress(const QString &text)
{
    QString address = text.trimmed();
    if (address.size() >= 2 && ((address.startsWith(QLatin1Char('<')) && address.endsWith(QLatin1Char('>'))) ||
                                (address.startsWith(QLatin1Char('`')) && address.endsWith(QLatin1Char('`')))))
        address = address.mid(1, address.size() - 2).trimmed();
    // The full stop of the sentence the address ends.
    while (address.endsWith(QLatin1Char('.')))
        address.chop(1);
    // A host written in its fully qualified form ("shop.vercel.app.:443/x").
    const qsizetype scheme = address.indexOf(QLatin1String("://"));
    if (scheme > 0) {
        const qsizetype begin = scheme + 3;
        qsizetype end = address.size();
        for (const QChar stop : {QLatin1Char('/'), QLatin1Char('?'), QLatin1Char('#')}) {
            const qsizetype at = address.indexOf(stop, begin);
            if (at >= 0 && at < end)
                end = at;
        }
        static const QRegularExpression trailingDots(QStringLiteral("\\.+(:[0-9]*)?\\z"));
        QString authority = address.mid(begin, end - begin);
        authority.replace(trailingDots, QStringLiteral("\\1"));
        address = address.left(begin) + authority + address.mid(end);
    }
    return address;
}

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


bool isAcceptedLiveAddress(const QString &address, const QList<DeployProvider> &deployed,
                           const std::optional<QString> &verifiedCustomDomain)
{
    const QString trimmed = address.trimmed();
    // Only the characters an address may hold as written; QUrl would quietly
    // mend the rest. Letters beyond ASCII may stand only in the user's own
    // domain, which is compared in its ASCII form below.
    bool beyondAscii = false;
    for (const uint c : trimmed.toUcs4()) {
        if (c <= 0x20 || c == 0x7f || c == U'\\')
            return false;
        beyondAscii = beyondAscii || c > 0x7f;
        switch (QChar::category(c)) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Other_Surrogate:
        case QChar::Other_PrivateUse:
        case QChar::Other_NotAssigned:
        case QChar::Separator_Space:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            return false;
        default:
            break;
        }
    }
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
    for (const DeployProvider provider : beyondAscii ? QList<DeployProvider>() : deployed) {
        const QString suffix = providerHostSuffix(provider);
        if (host.size() > suffix.size() && host.endsWith(suffix))
            return true;
    }
    if (verifiedCustomDomain && isAcceptableCustomDomain(*verifiedCustomDomain))
        return asciiDomain(*verifiedCustomDomain) == host;
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
