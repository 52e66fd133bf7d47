#include "sessions/StepRecordVouch.h"

#include "foundation/RegularFile.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/IntentProcessorConstants.h"
#include "persistence/MemoryError.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <stdexcept>

namespace nerim::StepRecordVouch {

namespace {

// Far above the few hundred bytes a vouch file holds; anything larger is not one.
constexpr qint64 maxVouchBytes = 64 * 1024;

QString hexDigest(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// The project folder as one key: its canonical path (links resolved), else its clean path.
QString projectKey(const QString &projectPath)
{
    const QString canonical = QFileInfo(projectPath).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(QDir(projectPath).absolutePath()) : canonical;
}

QString vouchFolder()
{
    return QDir(IntentProcessorConstants::appSupportDirectory()).filePath(QStringLiteral("step-records"));
}

QString vouchPath(const QString &key, const QString &fileName)
{
    const QString id = hexDigest((key + QChar(0) + fileName).toUtf8());
    return QDir(vouchFolder()).filePath(id + QStringLiteral(".json"));
}

// The digests vouched for; none when the file is missing or is not one Nerim wrote for this record.
QStringList vouchedDigests(const QString &key, const QString &fileName)
{
    try {
        const std::optional<QByteArray> bytes = RegularFile::read(vouchPath(key, fileName),
                                                                  RegularFile::FinalLink::refuse, maxVouchBytes);
        if (!bytes)
            return {};
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(*bytes, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            return {};
        const QJsonObject object = document.object();
        // The id is a digest: the file must also name this very project folder and record.
        if (object.value(QStringLiteral("project")).toString() != key ||
            object.value(QStringLiteral("file")).toString() != fileName)
            return {};
        QStringList digests;
        for (const QJsonValue &value : object.value(QStringLiteral("digests")).toArray())
            if (value.isString() && value.toString().size() == 64)
                digests.append(value.toString());
        return digests;
    } catch (...) {
        return {};
    }
}

void writeVouch(const QString &key, const QString &fileName, const QStringList &digests)
{
    const QString folder = vouchFolder();
    if (!QDir().mkpath(folder))
        throw std::runtime_error(QStringLiteral("couldn't make %1").arg(folder).toStdString());
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QJsonObject object;
    object.insert(QStringLiteral("project"), key);
    object.insert(QStringLiteral("file"), fileName);
    object.insert(QStringLiteral("digests"), QJsonArray::fromStringList(digests));
    AtomicFileWriter::WriteOptions options;
    options.mode = 0600;
    try {
        AtomicFileWriter::replace(QJsonDocument(object).toJson(QJsonDocument::Compact), vouchPath(key, fileName),
                                  options);
    } catch (const MemoryError &e) {
        throw std::runtime_error(e.description().toStdString());
    }
}

} // namespace

bool vouchesFor(const QString &projectPath, const QString &fileName, const QByteArray &bytes)
{
    return vouchedDigests(projectKey(projectPath), fileName).contains(hexDigest(bytes));
}

void vouchBeforeWriting(const QString &projectPath, const QString &fileName, const QByteArray &bytes)
{
    const QString key = projectKey(projectPath);
    // The record on disk may be any of those vouched for until now (a write
    // cut short leaves the one before it): all stay trusted until one is settled.
    QStringList digests{hexDigest(bytes)};
    for (const QString &digest : vouchedDigests(key, fileName))
        if (!digests.contains(digest) && digests.size() < 4)
            digests.append(digest);
    writeVouch(key, fileName, digests);
}

void settle(const QString &projectPath, const QString &fileName, const QByteArray &bytes)
{
    writeVouch(projectKey(projectPath), fileName, {hexDigest(bytes)});
}

} // namespace nerim::StepRecordVouch
