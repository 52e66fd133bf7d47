#include "panes-store/PanesSideFiles.h"

#include "foundation/Json.h"

namespace nerim {

namespace {

// A 64-bit value as decimal text, read back only in exactly that form.
template <typename Int>
Int decimal(const JsonObjectReader &object, const QString &key)
{
    const QString text = object.string(key);
    bool ok = false;
    Int value = 0;
    if constexpr (std::is_signed_v<Int>)
        value = text.toLongLong(&ok);
    else
        value = text.toULongLong(&ok);
    if (!ok || QString::number(value) != text)
        object.value(key).fail(QStringLiteral("not a decimal integer"));
    return value;
}

} // namespace

QString besidePanesFile(const QString &panesPath, QStringView suffix)
{
    const qsizetype slash = panesPath.lastIndexOf(QLatin1Char('/'));
    QString name = panesPath.mid(slash + 1);
    if (name.endsWith(QLatin1StringView(".json")))
        name.chop(5);
    return panesPath.left(slash + 1) + name + suffix.toString();
}

QJsonObject panesFileIdentityToJson(const AtomicFileWriter::FileIdentity &identity)
{
    QJsonObject file;
    file.insert(QStringLiteral("device"), QString::number(identity.device));
    file.insert(QStringLiteral("inode"), QString::number(identity.inode));
    file.insert(QStringLiteral("size"), QString::number(identity.size));
    file.insert(QStringLiteral("modifiedNs"), QString::number(identity.modifiedNs));
    file.insert(QStringLiteral("changedNs"), QString::number(identity.changedNs));
    return file;
}

AtomicFileWriter::FileIdentity panesFileIdentityFromJson(const JsonObjectReader &file)
{
    AtomicFileWriter::FileIdentity identity;
    identity.device = decimal<quint64>(file, QStringLiteral("device"));
    identity.inode = decimal<quint64>(file, QStringLiteral("inode"));
    identity.size = decimal<qint64>(file, QStringLiteral("size"));
    identity.modifiedNs = decimal<qint64>(file, QStringLiteral("modifiedNs"));
    identity.changedNs = decimal<qint64>(file, QStringLiteral("changedNs"));
    return identity;
}

} // namespace nerim
