#include "credentials/APIKeyFileWriter.h"

#include "foundation/Json.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/IntentProcessorConstants.h"
#include "persistence/MemoryError.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace nerim {

namespace {

// The "groq" value worth keeping from an existing file, trimmed; empty when
// there is none or the file cannot be read or decoded.
QString carriedOverGroqKey(const QString &path)
{
    try {
        const auto bytes = AtomicFileWriter::readBytes(path);
        if (!bytes)
            return QString();
        const auto groq = JsonObjectReader::parse(*bytes).optionalString(QStringLiteral("groq"));
        return groq ? groq->trimmed() : QString();
    } catch (...) {
        return QString();
    }
}

QString errnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

} // namespace

APIKeyFileWriter::WriteError::WriteError(Kind kind, QString underlying)
    : m_kind(kind)
    , m_underlying(std::move(underlying))
    , m_utf8(description().toUtf8())
{
}

QString APIKeyFileWriter::WriteError::description() const
{
    switch (m_kind) {
    case Kind::couldNotSerializeJSON:
        return QStringLiteral("Couldn't encode the key file: ") + m_underlying;
    case Kind::couldNotWriteFile:
        return QStringLiteral("Couldn't save the key: ") + m_underlying;
    case Kind::couldNotSetPermissions:
        return QStringLiteral("Saved the key but couldn't lock down file permissions: ") + m_underlying;
    case Kind::couldNotResolveApplicationSupportDirectory:
        return QStringLiteral("Nerim couldn't locate your ~/.local/share folder.");
    }
    return QString();
}

QString APIKeyFileWriter::fileURL()
{
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty())
        throw WriteError(WriteError::Kind::couldNotResolveApplicationSupportDirectory);
    const QString folder = base + QStringLiteral("/Nerim");
    if (!QFileInfo::exists(folder)) {
        if (QFileInfo::exists(base + QStringLiteral("/Veltra"))) {
            // The earlier product's folder is moved into place, not shadowed.
            try {
                IntentProcessorConstants::appSupportDirectory();
            } catch (...) {
            }
        } else {
            // Failures here are reported by the write that follows.
            QDir().mkpath(base);
            ::mkdir(QFile::encodeName(folder).constData(), 0700);
        }
    }
    return folder + QStringLiteral("/api-keys.json");
}

void APIKeyFileWriter::writeAnthropicKey(const QString &key)
{
    const QString trimmed = key.trimmed();
    if (trimmed.isEmpty())
        return;
    const QString path = fileURL();

    QJsonObject shape;
    shape.insert(QStringLiteral("anthropic"), trimmed);
    const QString groq = carriedOverGroqKey(path);
    if (!groq.isEmpty())
        shape.insert(QStringLiteral("groq"), groq);
    const QByteArray bytes = json::encodePretty(shape);
    if (bytes.isEmpty())
        throw WriteError(WriteError::Kind::couldNotSerializeJSON, QStringLiteral("the encoder produced no data"));

    try {
        AtomicFileWriter::write(bytes, path, AtomicFileWriter::backupPathFor(path), {.mode = 0600});
    } catch (const MemoryError &error) {
        throw WriteError(WriteError::Kind::couldNotWriteFile, error.description());
    } catch (const std::exception &error) {
        throw WriteError(WriteError::Kind::couldNotWriteFile, QString::fromUtf8(error.what()));
    }

    if (::chmod(QFile::encodeName(path).constData(), 0600) != 0)
        throw WriteError(WriteError::Kind::couldNotSetPermissions, errnoText(errno));
}

bool APIKeyFileWriter::hasSavedAnthropicKey()
{
    try {
        const auto bytes = AtomicFileWriter::readBytes(fileURL());
        if (!bytes)
            return false;
        const auto anthropic = JsonObjectReader::parse(*bytes).optionalString(QStringLiteral("anthropic"));
        return anthropic && !anthropic->trimmed().isEmpty();
    } catch (...) {
        return false;
    }
}

} // namespace nerim
