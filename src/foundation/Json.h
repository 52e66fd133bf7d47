#pragma once

#include "foundation/Timestamp.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <cmath>
#include <exception>
#include <functional>
#include <limits>
#include <optional>

namespace nerim {

// A document that does not match the shape its reader expects. The whole
// document fails: a missing required key, a wrong type, an integer out of range
// or an unknown enumeration value. `path()` names where, e.g. "entries[3].kind".
class JsonDecodingError : public std::exception {
public:
    JsonDecodingError(QString path, QString reason);

    const QString &path() const { return m_path; }
    const QString &reason() const { return m_reason; }
    // "<reason> at <path>", or the reason alone for the document root.
    QString description() const { return m_description; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_path;
    QString m_reason;
    QString m_description;
    QByteArray m_utf8;
};

class JsonObjectReader;

// One JSON value together with the path it was found at. Every accessor checks
// the type and throws JsonDecodingError on a mismatch; nothing falls back to a default.
class JsonValueReader {
public:
    JsonValueReader(QJsonValue value, QString path);

    const QJsonValue &raw() const { return m_value; }
    const QString &path() const { return m_path; }
    bool isNull() const { return m_value.isNull() || m_value.isUndefined(); }

    QString toString() const;
    bool toBool() const;
    double toDouble() const;
    int toInt32() const;
    qint64 toInt64() const;
    QUuid toUuid() const;
    Timestamp toIsoDate() const;    // ISO 8601 text with a zone
    Timestamp toNumberDate() const; // seconds since 2001-01-01
    JsonObjectReader toObject() const;
    QList<JsonValueReader> toArray() const;
    QStringList toStringList() const;

    // An enumeration stored by its raw string value; `fromRaw` returns nothing for an unknown value.
    template <typename E>
    E toEnum(std::optional<E> (*fromRaw)(const QString &)) const
    {
        const QString rawValue = toString();
        if (auto value = fromRaw(rawValue))
            return *value;
        fail(QStringLiteral("unknown value \"%1\"").arg(rawValue));
    }

    [[noreturn]] void fail(const QString &reason) const;

private:
    template <typename Int>
    Int toInteger() const;

    QJsonValue m_value;
    QString m_path;
};

// Reads a JSON object strictly. Required accessors throw when the key is missing
// or null; optional accessors return nothing for a missing or null key but still
// throw for a present value of the wrong type.
class JsonObjectReader {
public:
    explicit JsonObjectReader(QJsonObject object, QString path = QString());

    // Parses bytes whose top level must be an object. A string that begins
    // with U+FEFF keeps it (the platform's parser alone would drop it).
    static JsonObjectReader parse(const QByteArray &bytes);

    const QJsonObject &raw() const { return m_object; }
    const QString &path() const { return m_path; }

    // Present and not null.
    bool has(const QString &key) const;

    JsonValueReader value(const QString &key) const;                 // required
    std::optional<JsonValueReader> optionalValue(const QString &key) const;

    QString string(const QString &key) const { return value(key).toString(); }
    bool boolean(const QString &key) const { return value(key).toBool(); }
    double number(const QString &key) const { return value(key).toDouble(); }
    int int32(const QString &key) const { return value(key).toInt32(); }
    qint64 int64(const QString &key) const { return value(key).toInt64(); }
    QUuid uuid(const QString &key) const { return value(key).toUuid(); }
    Timestamp isoDate(const QString &key) const { return value(key).toIsoDate(); }
    Timestamp numberDate(const QString &key) const { return value(key).toNumberDate(); }
    JsonObjectReader object(const QString &key) const;
    QList<JsonValueReader> array(const QString &key) const { return value(key).toArray(); }
    QStringList stringList(const QString &key) const { return value(key).toStringList(); }
    template <typename E>
    E enumeration(const QString &key, std::optional<E> (*fromRaw)(const QString &)) const
    {
        return value(key).toEnum(fromRaw);
    }

    std::optional<QString> optionalString(const QString &key) const;
    std::optional<bool> optionalBool(const QString &key) const;
    std::optional<double> optionalNumber(const QString &key) const;
    std::optional<int> optionalInt32(const QString &key) const;
    std::optional<qint64> optionalInt64(const QString &key) const;
    std::optional<QUuid> optionalUuid(const QString &key) const;
    std::optional<Timestamp> optionalIsoDate(const QString &key) const;
    std::optional<Timestamp> optionalNumberDate(const QString &key) const;
    std::optional<JsonObjectReader> optionalObject(const QString &key) const;
    std::optional<QList<JsonValueReader>> optionalArray(const QString &key) const;
    template <typename E>
    std::optional<E> optionalEnumeration(const QString &key, std::optional<E> (*fromRaw)(const QString &)) const
    {
        if (auto v = optionalValue(key))
            return v->toEnum(fromRaw);
        return std::nullopt;
    }

    [[noreturn]] void fail(const QString &reason) const;

private:
    QString childPath(const QString &key) const;

    QJsonObject m_object;
    QString m_path;
};

namespace json {

// `d` as an Int when it is a whole number within Int's range, else nothing:
// a JSON number out of range is a read error, never a conversion (a double
// beyond the integer's range has no defined conversion at all).
template <typename Int>
std::optional<Int> exactInteger(double d)
{
    static_assert(std::numeric_limits<Int>::is_integer && std::numeric_limits<Int>::is_signed);
    // -min is 2^(bits-1), a power of two the double holds exactly; max is not.
    constexpr double limit = -double(std::numeric_limits<Int>::min());
    if (!(d >= -limit && d < limit) || std::trunc(d) != d)
        return std::nullopt;
    return static_cast<Int>(d);
}

// Pretty-printed (QJsonDocument::Indented) and compact encodings. QJsonObject
// keeps its keys sorted, so equal values always encode to identical bytes.
QByteArray encodePretty(const QJsonObject &object);
QByteArray encodeCompact(const QJsonObject &object);
QByteArray encodeCompact(const QJsonArray &array);

QJsonValue isoDate(Timestamp t);
QJsonValue numberDate(Timestamp t);
QJsonValue uuid(const QUuid &id);

// Inserts only when the optional holds a value (absent optionals are omitted on write).
template <typename T, typename F>
void insertOptional(QJsonObject &object, const QString &key, const std::optional<T> &value, F toJson)
{
    if (value)
        object.insert(key, toJson(*value));
}
inline void insertOptional(QJsonObject &object, const QString &key, const std::optional<QString> &value)
{
    if (value)
        object.insert(key, *value);
}

} // namespace json
} // namespace nerim
