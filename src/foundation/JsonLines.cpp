#include "foundation/JsonLines.h"

#include <QFile>
#include <QStringDecoder>

namespace nerim {

QStringList readJSONLLines(const QString &filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return {};
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return {};
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace nerim
