#include "foundation/Json.h"

#include "foundation/UuidText.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QLocale>
#include <cmath>
#include <limits>

namespace nerim {

JsonDecodingError::JsonDecodingError(QString path, QString reason)
    : m_path(std::move(path)), m_reason(std::move(reason))
{
    m_description = m_path.isEmpty() ? m_reason : QStringLiteral("%1 at %2").arg(m_reason, m_path);
    m_utf8 = m_description.toUtf8();
}

namespace {

QString typeName(const QJsonValue &v)
{
    switch (v.type()) {
    case QJsonValue::Null: return QStringLiteral("null");
    case QJsonValue::Bool: return QStringLiteral("a boolean");
    case QJsonValue::Double: return QStringLiteral("a number");
    case QJsonValue::String: return QStringLiteral("a string");
    case QJsonValue::Array: return QStringLiteral("an array");
    case QJsonValue::Object: return QStringLiteral("an object");
    case QJsonValue::Undefined: break;
    }
    return QStringLiteral("nothing");
}

} // namespace

JsonValueReader::JsonValueReader(QJsonValue value, QString path) : m_value(std::move(value)), m_path(std::move(path)) {}

void JsonValueReader::fail(const QString &reason) const { throw JsonDecodingError(m_path, reason); }

QString JsonValueReader::toString() const
{
    if (!m_value.isString())
        fail(QStringLiteral("expected a string but found %1").arg(typeName(m_value)));
    return m_value.toString();
}

bool JsonValueReader::toBool() const
{
    if (!m_value.isBool())
        fail(QStringLiteral("expected a boolean but found %1").arg(typeName(m_value)));
    return m_value.toBool();
}

double JsonValueReader::toDouble() const
{
    if (!m_value.isDouble())
        fail(QStringLiteral("expected a number but found %1").arg(typeName(m_value)));
    return m_value.toDouble();
}

template <typename Int>
Int JsonValueReader::toInteger() const
{
    const double d = toDouble();
    if (const std::optional<Int> value = json::exactInteger<Int>(d))
        return *value;
    if (std::trunc(d) != d)
        fail(QStringLiteral("expected an integer but found %1").arg(d));
    fail(QStringLiteral("integer %1 is out of range").arg(d, 0, 'g', QLocale::FloatingPointShortest));
}

int JsonValueReader::toInt32() const { return toInteger<int>(); }

qint64 JsonValueReader::toInt64() const { return toInteger<qint64>(); }

QUuid JsonValueReader::toUuid() const
{
    const QString text = toString();
    if (auto id = parseUuid(text))
        return *id;
    fail(QStringLiteral("invalid UUID \"%1\"").arg(text));
}

Timestamp JsonValueReader::toIsoDate() const
{
    const QString text = toString();
    if (auto t = Timestamp::fromIso8601(text))
        return *t;
    fail(QStringLiteral("invalid ISO 8601 date \"%1\"").arg(text));
}

Timestamp JsonValueReader::toNumberDate() const { return Timestamp(toDouble()); }

JsonObjectReader JsonValueReader::toObject() const
{
    if (!m_value.isObject())
        fail(QStringLiteral("expected an object but found %1").arg(typeName(m_value)));
    return JsonObjectReader(m_value.toObject(), m_path);
}

QList<JsonValueReader> JsonValueReader::toArray() const
{
    if (!m_value.isArray())
        fail(QStringLiteral("expected an array but found %1").arg(typeName(m_value)));
    const QJsonArray array = m_value.toArray();
    QList<JsonValueReader> items;
    items.reserve(array.size());
    for (qsizetype i = 0; i < array.size(); ++i)
        items.append(JsonValueReader(array.at(i), QStringLiteral("%1[%2]").arg(m_path, QString::number(i))));
    return items;
}

QStringList JsonValueReader::toStringList() const
{
    QStringList list;
    for (const auto &item : toArray())
        list.append(item.toString());
    return list;
}

JsonObjectReader::JsonObjectReader(QJsonObject object, QString path) : m_object(std::move(object)), m_path(std::move(path)) {}

namespace {

// The platform's parser drops a U+FEFF (UTF-8 EF BB BF) that a string begins
// with; written as the escape \uFEFF it is kept. A quote right before those
// bytes can only open a string (after a closing quote they are no JSON at
// all, and the escape is no JSON there either), so each such U+FEFF becomes
// the escape and every string reads with the characters it holds.
QByteArray withLeadingByteOrderMarksEscaped(const QByteArray &bytes)
{
    static const QByteArray quoted("\"\xEF\xBB\xBF");
    qsizetype at = bytes.indexOf(quoted);
    if (at < 0)
        return bytes;
    QByteArray escaped;
    escaped.reserve(bytes.size() + 16);
    qsizetype copied = 0;
    for (; at >= 0; at = bytes.indexOf(quoted, at + quoted.size())) {
        escaped.append(bytes.constData() + copied, at - copied);
        escaped.append("\"\\uFEFF");
        copied = at + quoted.size();
    }
    escaped.append(bytes.constData() + copied, bytes.size() - copied);
    return escaped;
}

} // namespace

JsonObjectReader JsonObjectReader::parse(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(withLeadingByteOrderMarksEscaped(bytes), &error);
    if (error.error != QJsonParseError::NoError)
        throw JsonDecodingError(QString(), QStringLiteral("the data is not valid JSON (%1 at offset %2)")
                                               .arg(error.errorString())
                                               .arg(error.offset));
    if (!document.isObject())
        throw JsonDecodingError(QString(), QStringLiteral("expected a JSON object at the top level"));
    return JsonObjectReader(document.object());
}

void JsonObjectReader::fail(const QString &reason) const { throw JsonDecodingError(m_path, reason); }

QString JsonObjectReader::childPath(const QString &key) const
{
    return m_path.isEmpty() ? key : m_path + QLatin1Char('.') + key;
}

bool JsonObjectReader::has(const QString &key) const
{
    const QJsonValue v = m_object.value(key);
    return !v.isUndefined() && !v.isNull();
}

JsonValueReader JsonObjectReader::value(const QString &key) const
{
    if (!has(key))
        throw JsonDecodingError(childPath(key), QStringLiteral("required key \"%1\" is missing").arg(key));
    return JsonValueReader(m_object.value(key), childPath(key));
}

std::optional<JsonValueReader> JsonObjectReader::optionalValue(const QString &key) const
{
    if (!has(key))
        return std::nullopt;
    return JsonValueReader(m_object.value(key), childPath(key));
}

JsonObjectReader JsonObjectReader::object(const QString &key) const { return value(key).toObject(); }

#define NERIM_OPTIONAL_ACCESSOR(Type, Name, Method)                                                                    \
    std::optional<Type> JsonObjectReader::Name(const QString &key) const                                              \
    {                                                                                                                  \
        if (auto v = optionalValue(key))                                                                               \
            return v->Method();                                                                                        \
        return std::nullopt;                                                                                           \
    }

NERIM_OPTIONAL_ACCESSOR(QString, optionalString, toString)
NERIM_OPTIONAL_ACCESSOR(bool, optionalBool, toBool)
NERIM_OPTIONAL_ACCESSOR(double, optionalNumber, toDouble)
NERIM_OPTIONAL_ACCESSOR(int, optionalInt32, toInt32)
NERIM_OPTIONAL_ACCESSOR(qint64, optionalInt64, toInt64)
NERIM_OPTIONAL_ACCESSOR(QUuid, optionalUuid, toUuid)
NERIM_OPTIONAL_ACCESSOR(Timestamp, optionalIsoDate, toIsoDate)
NERIM_OPTIONAL_ACCESSOR(Timestamp, optionalNumberDate, toNumberDate)
NERIM_OPTIONAL_ACCESSOR(JsonObjectReader, optionalObject, toObject)
NERIM_OPTIONAL_ACCESSOR(QList<JsonValueReader>, optionalArray, toArray)

#undef NERIM_OPTIONAL_ACCESSOR

namespace json {

QByteArray encodePretty(const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Indented); }
QByteArray encodeCompact(const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }
QByteArray encodeCompact(const QJsonArray &array) { return QJsonDocument(array).toJson(QJsonDocument::Compact); }

QJsonValue isoDate(Timestamp t) { return t.toIso8601(); }
QJsonValue numberDate(Timestamp t) { return t.secondsSinceReferenceDate(); }
QJsonValue uuid(const QUuid &id) { return uuidText(id); }

} // namespace json
} // namespace nerim
