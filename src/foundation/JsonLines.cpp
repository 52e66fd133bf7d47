#include "foundation/JsonLines.h"

#include "foundation/RegularFile.h"

#include <QStringDecoder>

namespace nerim {

QStringList readJSONLLines(const QString &filePath, const QString &beneath)
{
    std::optional<QByteArray> bytes;
    try {
        bytes = beneath.isEmpty() ? RegularFile::read(filePath) : RegularFile::readBeneath(beneath, filePath);
    } catch (const RegularFile::ReadError &) {
        return {};
    }
    if (!bytes)
        return {};
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(*bytes);
    if (decoder.hasError())
        return {};
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace nerim
