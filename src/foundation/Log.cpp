#include "foundation/Log.h"

#include <QMutex>
#include <QMutexLocker>
#include <algorithm>
#include <cstdio>

namespace nerim {

namespace {

QMutex &sinkMutex()
{
    static QMutex mutex;
    return mutex;
}

LogSink &currentSink()
{
    static LogSink sink;
    return sink;
}

bool isControl(char16_t u) { return u < 0x20 || (u >= 0x7F && u <= 0x9F); }

} // namespace

QString escapedForLog(const QString &line)
{
    const auto first = std::find_if(line.cbegin(), line.cend(), [](QChar c) { return isControl(c.unicode()); });
    if (first == line.cend())
        return line;
    QString escaped;
    escaped.reserve(line.size() + 16);
    escaped.append(QStringView(line.cbegin(), first));
    for (auto it = first; it != line.cend(); ++it) {
        const char16_t u = it->unicode();
        if (!isControl(u)) {
            escaped.append(*it);
            continue;
        }
        switch (u) {
        case u'\n': escaped.append(QLatin1StringView("\\n")); break;
        case u'\r': escaped.append(QLatin1StringView("\\r")); break;
        case u'\t': escaped.append(QLatin1StringView("\\t")); break;
        default:
            escaped.append(u < 0x80 ? QLatin1StringView("\\x") : QLatin1StringView("\\u"));
            escaped.append(QString::number(unsigned(u), 16).toUpper().rightJustified(u < 0x80 ? 2 : 4, u'0'));
        }
    }
    return escaped;
}

void logLine(const QString &rawLine)
{
    const QString line = escapedForLog(rawLine);
    QMutexLocker lock(&sinkMutex());
    if (currentSink()) {
        currentSink()(line);
        return;
    }
    const QByteArray utf8 = line.toUtf8();
    std::fprintf(stderr, "%s\n", utf8.constData());
    std::fflush(stderr);
}

LogSink setLogSink(LogSink sink)
{
    QMutexLocker lock(&sinkMutex());
    LogSink previous = std::move(currentSink());
    currentSink() = std::move(sink);
    return previous;
}

} // namespace nerim
