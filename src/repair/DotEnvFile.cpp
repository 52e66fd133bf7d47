#include "repair/DotEnvFile.h"

#include "persistence/ProjectDataFolder.h"
#include "platform/guard/PushPaths.h"

#include "foundation/BeneathFolder.h"
#include "foundation/RegularFile.h"
#include "persistence/AtomicFileWriter.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringList>
#include <QStringView>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nerim::DotEnvFile {

namespace {

QString systemReason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

} // namespace

bool isLocalName(const QString &name)
{
    // The same rule the push checks use, so the file a secret may go to is
    // exactly one a Deploy push refuses to carry.
    return platform::guard::isLocalDotEnvName(name.toStdString());
}

bool isValidName(const QString &name)
{
    // Matched whole: "$" alone would also accept a name followed by a line feed.
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z_][A-Za-z0-9_]*")));
    return pattern.match(name).hasMatch();
}

std::optional<QString> encodeValue(const QString &value, QString *why)
{
    QString plain = value;
    plain.remove(QLatin1Char('\r'));
    plain.remove(QLatin1Char('\n'));
    const auto refuse = [why](const QString &reason) -> std::optional<QString> {
        if (why)
            *why = reason;
        return std::nullopt;
    };

    if (plain.contains(QChar(0)))
        return refuse(QStringLiteral("the value holds a NUL character, which no environment variable can hold"));
    // python-dotenv puts the value of another variable in place of "${NAME}"
    // or "${NAME:-default}" wherever it stands, in quotes or not.
    static const QRegularExpression expansion(QStringLiteral("\\$\\{[^}:]*(?::-[^}]*)?\\}"));
    if (expansion.match(plain).hasMatch())
        return refuse(QStringLiteral("the value holds \"${…}\", which Python's dotenv would replace with the value of "
                                     "another variable"));

    // Characters no shell and no dotenv reader gives a meaning of its own.
    const auto isPlain = [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') ||
               QStringView(u"_./:@%+,-").contains(c);
    };
    if (std::all_of(plain.cbegin(), plain.cend(), isPlain))
        return plain;

    // Inside single quotes a shell and Node's dotenv take every character as
    // it is; python-dotenv alone reads "\\" and "\'" there as escapes, and a
    // final backslash would escape the closing quote for it.
    const bool endsInBackslash = plain.endsWith(QLatin1Char('\\'));
    const bool hasSingleQuote = plain.contains(QLatin1Char('\''));
    if (!hasSingleQuote && !endsInBackslash && !plain.contains(QStringLiteral("\\\\")))
        return QLatin1Char('\'') + plain + QLatin1Char('\'');

    // Inside double quotes a shell expands "$" and "`" and unescapes a
    // backslash before $ ` " \ and a line break; Node's dotenv turns a
    // backslash and n or r into a line break; python-dotenv unescapes a
    // backslash before \ ' " a b f n r t v. A value with none of these (and
    // no final backslash, which would escape the closing quote) reads back
    // as it is.
    QStringList conflicts;
    for (const QChar c : {QChar(u'"'), QChar(u'$'), QChar(u'`')})
        if (plain.contains(c))
            conflicts.append(c);
    bool escapingBackslash = endsInBackslash;
    for (qsizetype i = 0; i + 1 < plain.size() && !escapingBackslash; ++i)
        escapingBackslash = plain[i] == u'\\' && QStringView(u"\\'\"abfnrtv$`").contains(plain[i + 1]);
    if (escapingBackslash)
        conflicts.append(QStringLiteral("\\"));
    if (conflicts.isEmpty())
        return QLatin1Char('"') + plain + QLatin1Char('"');

    if (!hasSingleQuote)
        return refuse(QStringLiteral("the value has a backslash that the programs reading .env would each take "
                                     "differently (two in a row, or one at the end)"));
    const QString last = conflicts.takeLast();
    const QString listed = conflicts.isEmpty() ? last : conflicts.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
    return refuse(QStringLiteral("the value holds ' together with %1, and no way of writing that in .env reads back "
                                 "the same in every program")
                      .arg(listed));
}

std::optional<QString> append(const QString &projectPath, const QString &name, const QString &value)
{
    if (!isValidName(name))
        return QStringLiteral("\"%1\" can't be used as a variable name in .env (use letters, digits and "
                              "underscores, not starting with a digit)")
            .arg(name);

    QString refusal;
    const std::optional<QString> encoded = encodeValue(value, &refusal);
    if (!encoded)
        return refusal + QStringLiteral("; .env was left as it is");

    QString folder = projectPath;
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);

    // Where the text goes: .env itself, or the file a link there names when
    // that file is inside the project. Every step is taken from the project
    // folder as it was opened, by name, following no link: the link's own
    // text is read and resolved here beneath the project, and the folder
    // holding the file is opened once; the file is then read and replaced
    // within that open folder, so nothing swapped meanwhile (a folder on the
    // way turned into a link) can lead the write anywhere else.
    std::optional<BeneathFolder> project;
    try {
        project.emplace(BeneathFolder::root(folder));
    } catch (const std::exception &e) {
        return QStringLiteral("the project folder can't be opened (%1)").arg(QString::fromUtf8(e.what()));
    }
    std::optional<BeneathFolder> targetFolder;
    QString targetName = QStringLiteral(".env");
    struct stat st {};
    bool exists = false;
    if (::fstatat(project->fd(), ".env", &st, AT_SYMLINK_NOFOLLOW) == 0) {
        exists = true;
        if (S_ISLNK(st.st_mode)) {
            BeneathFolder::LinkTarget link = project->linkTarget(folder, QStringLiteral(".env"));
            using Failure = BeneathFolder::LinkTarget::Failure;
            switch (link.failure) {
            case Failure::none:
                break;
            case Failure::unreadable:
                return QStringLiteral(".env is a link that can't be read (%1); it was left as it is")
                    .arg(systemReason(link.error));
            case Failure::outside:
                return QStringLiteral(".env is a link to a file outside the project folder; Nerim doesn't write "
                                      "there");
            case Failure::refused:
                return QStringLiteral("the file .env links to can't be used: %1; it was left as it is")
                    .arg(link.reason);
            case Failure::missing:
                return QStringLiteral(".env is a link to a file that doesn't exist; it was left as it is");
            case Failure::failed:
                return QStringLiteral("the file .env links to can't be read (%1)").arg(link.reason);
            }
            const QString within = link.within;
            // A secret goes only into a file the project keeps to itself:
            // through a link to any other file (a page the site serves, a
            // tracked example) it would be published with the site.
            if (!isLocalName(link.name))
                return QStringLiteral(".env is a link to %1, which is not a local .env file (such as .env.local); "
                                      "Nerim writes secrets only there, so nothing was written")
                    .arg(within);
            targetName = link.name;
            targetFolder = std::move(link.folder);
            if (::fstatat(targetFolder->fd(), QFile::encodeName(targetName).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT)
                    return QStringLiteral(".env is a link to a file that doesn't exist; it was left as it is");
                return QStringLiteral("the file .env links to can't be read (%1)").arg(systemReason(errno));
            }
            if (S_ISLNK(st.st_mode))
                return QStringLiteral(".env is a link to another link (%1), which Nerim doesn't follow; it was left "
                                      "as it is")
                    .arg(within);
        }
    } else if (errno != ENOENT) {
        return QStringLiteral(".env can't be read (%1)").arg(systemReason(errno));
    }
    const BeneathFolder &target = targetFolder ? *targetFolder : *project;

    // The earlier bytes are kept exactly as they are (a byte-order mark, CRLF
    // line ends); the decoding only checks that they are UTF-8 text.
    QByteArray bytes;
    // The file ends up readable and writable by its owner alone: it now holds
    // a secret. The owner's own bits are kept.
    mode_t mode = 0600;
    if (exists) {
        std::optional<QByteArray> existing;
        try {
            existing = RegularFile::readAt(target.fd(), targetName);
        } catch (const RegularFile::ReadError &e) {
            return QStringLiteral("the existing .env can't be read (%1); it was left as it is")
                .arg(QString::fromUtf8(e.what()));
        }
        if (existing) {
            QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            const QString decoded = decoder(*existing);
            Q_UNUSED(decoded)
            if (decoder.hasError())
                return QStringLiteral("the existing .env isn't UTF-8 text; it was left as it is");
            bytes = *existing;
            mode = st.st_mode & 0700;
        }
        // A file that vanished since it was looked at is created afresh.
    }

    static const QByteArray byteOrderMark("\xEF\xBB\xBF");
    const qsizetype contentStart = bytes.startsWith(byteOrderMark) ? byteOrderMark.size() : 0;
    if (bytes.size() == contentStart) {
        // A byte-order mark alone stays on a line of its own: a shell reads
        // it as part of the line's first word, and the header's apostrophe
        // would then open a quote.
        if (contentStart > 0)
            bytes += '\n';
        bytes += header.toUtf8() + '\n';
    } else {
        // An unfinished last line is ended, so the new line stands on its own.
        if (!bytes.endsWith('\n'))
            bytes += '\n';
        // A last line ending in a backslash would carry on into the next one
        // for a shell: an empty line ends it first.
        const QByteArray lastLine = bytes.chopped(1);
        if (lastLine.endsWith('\\'))
            bytes += '\n';
    }
    bytes += name.toUtf8() + '=' + encoded->toUtf8() + '\n';

    try {
        AtomicFileWriter::WriteOptions options;
        options.mode = mode;
        AtomicFileWriter::replace(bytes, target, targetName, options);
    } catch (...) {
        return AtomicFileWriter::describeFailure(std::current_exception());
    }
    return std::nullopt;
}

std::optional<QString> append(const ProjectDataFolder &door, const QString &name, const QString &value)
{
    try {
        door.checkWritable(ProjectDataFolder::Kind::dotEnv);
    } catch (const ProjectDataFolder::NotWriter &e) {
        return QString::fromUtf8(e.what());
    }
    return append(door.projectPath(), name, value);
}

} // namespace nerim::DotEnvFile
