#include "repair/DotEnvFile.h"

#include "foundation/RegularFile.h"
#include "persistence/AtomicFileWriter.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace nerim::DotEnvFile {

namespace {

QString systemReason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Whether `path` (canonical) lies inside the folder `root` (canonical).
bool isInside(const QString &path, const QString &root)
{
    if (path.isEmpty() || root.isEmpty())
        return false;
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    return path.startsWith(prefix);
}

} // namespace

bool isValidName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*$"));
    return pattern.match(name).hasMatch();
}

QString encodeValue(const QString &value)
{
    QString plain = value;
    plain.remove(QLatin1Char('\r'));
    plain.remove(QLatin1Char('\n'));

    bool needsQuotes = false;
    for (const QChar c : std::as_const(plain)) {
        if (c.isSpace() || c == QLatin1Char('#') || c == QLatin1Char('$') || c == QLatin1Char('"') ||
            c == QLatin1Char('\'') || c == QLatin1Char('`') || c == QLatin1Char('\\')) {
            needsQuotes = true;
            break;
        }
    }
    if (!needsQuotes)
        return plain;
    if (!plain.contains(QLatin1Char('\'')))
        return QLatin1Char('\'') + plain + QLatin1Char('\'');

    QString escaped;
    escaped.reserve(plain.size() + 8);
    for (const QChar c : std::as_const(plain)) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('"') || c == QLatin1Char('$') || c == QLatin1Char('`'))
            escaped += QLatin1Char('\\');
        escaped += c;
    }
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

std::optional<QString> append(const QString &projectPath, const QString &name, const QString &value)
{
    if (!isValidName(name))
        return QStringLiteral("\"%1\" can't be used as a variable name in .env (use letters, digits and "
                              "underscores, not starting with a digit)")
            .arg(name);

    QString folder = projectPath;
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    const QString envPath = folder + QStringLiteral("/.env");

    // Where the text goes: .env itself, or the file a link there leads to when
    // that file is inside the project folder.
    QString target = envPath;
    bool exists = false;
    struct stat st {};
    if (::lstat(QFile::encodeName(envPath).constData(), &st) == 0) {
        exists = true;
        if (S_ISLNK(st.st_mode)) {
            const QString resolved = QFileInfo(envPath).canonicalFilePath();
            if (resolved.isEmpty())
                return QStringLiteral(".env is a link to a file that doesn't exist; it was left as it is");
            if (!isInside(resolved, QFileInfo(folder).canonicalFilePath()))
                return QStringLiteral(".env is a link to a file outside the project folder; Nerim doesn't write "
                                      "there");
            target = resolved;
            if (::lstat(QFile::encodeName(target).constData(), &st) != 0)
                return QStringLiteral("the file .env links to can't be read (%1)").arg(systemReason(errno));
        }
    } else if (errno != ENOENT) {
        return QStringLiteral(".env can't be read (%1)").arg(systemReason(errno));
    }

    QString text;
    mode_t mode = 0600;
    if (exists) {
        std::optional<QByteArray> bytes;
        try {
            bytes = RegularFile::read(target, RegularFile::FinalLink::refuse);
        } catch (const RegularFile::ReadError &e) {
            return QStringLiteral("the existing .env can't be read (%1); it was left as it is")
                .arg(QString::fromUtf8(e.what()));
        }
        if (bytes) {
            QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            text = decoder(*bytes);
            if (decoder.hasError())
                return QStringLiteral("the existing .env isn't UTF-8 text; it was left as it is");
            mode = st.st_mode & 07777;
        }
        // A file that vanished since it was looked at is created afresh.
    }

    if (text.isEmpty())
        text = header + QLatin1Char('\n');
    else if (!text.endsWith(QLatin1Char('\n')))
        text += QLatin1Char('\n');
    text += name + QLatin1Char('=') + encodeValue(value) + QLatin1Char('\n');

    try {
        AtomicFileWriter::WriteOptions options;
        options.mode = mode;
        AtomicFileWriter::replace(text.toUtf8(), target, options);
    } catch (...) {
        return AtomicFileWriter::describeFailure(std::current_exception());
    }
    return std::nullopt;
}

} // namespace nerim::DotEnvFile
