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

} // namespace nerim
