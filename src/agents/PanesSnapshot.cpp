#include "agents/PanesSnapshot.h"

#include "agents/AgentPaneState.h"
#include "agents/PanesChangeLog.h"
#include "agents/PanesEncoding.h"
#include "agents/PanesFastReader.h"
#include "agents/PanesSaver.h"
#include "agents/PanesViewFile.h"
#include "foundation/RegularFile.h"
#include "foundation/Log.h"
#include "foundation/SerialFileWriter.h"
#include "foundation/UuidText.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/FileCalls.h"
#include "persistence/IntentProcessorConstants.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QScopeGuard>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace nerim {

PaneDiskSnapshot PaneDiskSnapshot::of(const AgentPaneState &pane)
{
    PaneDiskSnapshot snapshot;
    snapshot.id = pane.id();
    snapshot.agentId = pane.agentId();
    snapshot.agentName = pane.agentName();
    snapshot.paneNumber = pane.paneNumber();
    snapshot.responsibility = pane.responsibility();
    snapshot.outputLines = pane.outputLines();
    snapshot.conversation = pane.completedTurns();
    snapshot.isSystemPane = pane.isSystemPane();
    snapshot.role = pane.role();
    snapshot.generation = pane.generation();
    return snapshot;
}

AgentPaneState *PaneDiskSnapshot::makePane(QObject *parent) const
{
    auto *pane = new AgentPaneState(id, agentId, agentName, paneNumber, isSystemPane, role, responsibility, parent);
    pane->setOutputLines(outputLines);
    pane->setConversation(conversation);
    return pane;
}

QJsonObject PaneDiskSnapshot::toJson() const
{
    QJsonArray lines;
    for (const OutputLine &line : outputLines)
        lines.append(line.toJson());
    QJsonArray turns;
    for (const ConversationTurn &turn : conversation)
        turns.append(turn.toJson());
    QJsonObject object;
    object.insert(QStringLiteral("id"), json::uuid(id));
    object.insert(QStringLiteral("agentId"), agentId);
    object.insert(QStringLiteral("agentName"), agentName);
    object.insert(QStringLiteral("paneNumber"), paneNumber);
    object.insert(QStringLiteral("responsibility"), responsibility);
    object.insert(QStringLiteral("outputLines"), lines);
    object.insert(QStringLiteral("conversation"), turns);
    object.insert(QStringLiteral("isSystemPane"), isSystemPane);
    object.insert(QStringLiteral("role"), rawValue(role));
    return object;
}

PaneDiskSnapshot PaneDiskSnapshot::fromJson(const JsonObjectReader &reader)
{
    PaneDiskSnapshot pane;
    pane.id = reader.uuid(QStringLiteral("id"));
    pane.agentId = reader.string(QStringLiteral("agentId"));
    pane.agentName = reader.string(QStringLiteral("agentName"));
    pane.paneNumber = reader.int32(QStringLiteral("paneNumber"));
    pane.responsibility = reader.string(QStringLiteral("responsibility"));
    for (const JsonValueReader &line : reader.array(QStringLiteral("outputLines")))
        pane.outputLines.append(OutputLine::fromJson(line.toObject()));
    for (const JsonValueReader &turn : reader.array(QStringLiteral("conversation")))
        pane.conversation.append(ConversationTurn::fromJson(turn.toObject()));
    // Lenient keys: files written before these existed still load.
    const QJsonValue isSystem = reader.raw().value(QStringLiteral("isSystemPane"));
    pane.isSystemPane = isSystem.isBool() && isSystem.toBool();
    const QJsonValue role = reader.raw().value(QStringLiteral("role"));
    pane.role = role.isString() ? agentRoleFromRaw(role.toString()).value_or(AgentRole::unspecified)
                                : AgentRole::unspecified;
    return pane;
}

bool operator==(const PaneDiskSnapshot &a, const PaneDiskSnapshot &b)
{
    return a.id == b.id && a.agentId == b.agentId && a.agentName == b.agentName && a.paneNumber == b.paneNumber &&
           a.responsibility == b.responsibility && a.outputLines == b.outputLines && a.conversation == b.conversation &&
           a.isSystemPane == b.isSystemPane && a.role == b.role;
}

QJsonObject PanesSnapshot::toJson() const
{
    QJsonArray paneArray;
    for (const PaneDiskSnapshot &pane : panes)
        paneArray.append(pane.toJson());
    QJsonObject object;
    object.insert(QStringLiteral("version"), version);
    json::insertOptional(object, QStringLiteral("documentId"), documentId, &json::uuid);
    object.insert(QStringLiteral("nextAgentNumber"), nextAgentNumber);
    json::insertOptional(object, QStringLiteral("focusedPaneId"), focusedPaneId, &json::uuid);
    json::insertOptional(object, QStringLiteral("expandedPaneId"), expandedPaneId, &json::uuid);
    object.insert(QStringLiteral("panes"), paneArray);
    return object;
}

QByteArray PanesSnapshot::encode() const
{
    panesEncoding::ByteArrayOutput out;
    panesEncoding::encodeDocument(*this, out);
    return out.take();
}

namespace {

// The decoder walks the parsed document once, looking each key up once and
// checking types directly. Key paths are built only when something is wrong:
// the strict reader is then run on the offending object at its path, so the
// error (reason and path) is the one it gives.
struct Where {
    qsizetype pane = -1;
    const char *array = nullptr; // "outputLines" or "conversation"
    qsizetype index = -1;

    QString path() const
    {
        if (pane < 0)
            return QString();
        QString text = QStringLiteral("panes[%1]").arg(pane);
        if (array)
            text += QStringLiteral(".%1[%2]").arg(QLatin1String(array)).arg(index);
        return text;
    }
};

// Runs the strict reader's accessor for `key` on `object` at `where`, which
// throws the reader's own error; falls back to a plain one should it not.
template <typename Read>
[[noreturn]] void failStrictly(const QJsonObject &object, const Where &where, QLatin1StringView key, Read read)
{
    const JsonObjectReader reader(object, where.path());
    read(reader, QString(key));
    reader.fail(QStringLiteral("unexpected value of \"%1\"").arg(key));
}

[[noreturn]] void failElement(const QJsonValue &value, const QString &path)
{
    (void)JsonValueReader(value, path).toObject();
    throw JsonDecodingError(path, QStringLiteral("expected an object"));
}

QString requiredString(const QJsonObject &object, QLatin1StringView key, const Where &where)
{
    const QJsonValue value = object.value(key);
    if (value.isString())
        return value.toString();
    failStrictly(object, where, key, [](const JsonObjectReader &r, const QString &k) { (void)r.string(k); });
}

QUuid requiredUuid(const QJsonObject &object, QLatin1StringView key, const Where &where)
{
    const QJsonValue value = object.value(key);
    if (value.isString())
        if (const std::optional<QUuid> id = parseUuid(value.toString()))
            return *id;
    failStrictly(object, where, key, [](const JsonObjectReader &r, const QString &k) { (void)r.uuid(k); });
}

std::optional<QUuid> optionalUuid(const QJsonObject &object, QLatin1StringView key, const Where &where)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (value.isString())
        if (const std::optional<QUuid> id = parseUuid(value.toString()))
            return *id;
    failStrictly(object, where, key, [](const JsonObjectReader &r, const QString &k) { (void)r.optionalUuid(k); });
}

template <typename Int>
Int requiredInteger(const QJsonObject &object, QLatin1StringView key, const Where &where)
{
    const QJsonValue value = object.value(key);
    if (value.isDouble())
        if (const std::optional<Int> integer = json::exactInteger<Int>(value.toDouble()))
            return *integer;
    failStrictly(object, where, key, [](const JsonObjectReader &r, const QString &k) {
        if constexpr (sizeof(Int) == 4)
            (void)r.int32(k);
        else
            (void)r.int64(k);
    });
}

Timestamp requiredNumberDate(const QJsonObject &object, QLatin1StringView key, const Where &where)
{
    const QJsonValue value = object.value(key);
    if (value.isDouble())
        return Timestamp(value.toDouble());
    failStrictly(object, where, key, [](const JsonObjectReader &r, const QString &k) { (void)r.numberDate(k); });
}

QJsonArray requiredArray(const QJsonObject &object, QLatin1StringView key, const Where &where)
{
    const QJsonValue value = object.value(key);
    if (value.isArray())
        return value.toArray();
    failStrictly(object, where, key, [](const JsonObjectReader &r, const QString &k) { (void)r.array(k); });
}

OutputLine::Kind lineKind(const QJsonObject &object, const Where &where)
{
    static const QLatin1StringView key("kind");
    const QJsonValue value = object.value(key);
    if (value.isString())
        if (const auto kind = outputLineKindFromRaw(value.toString()))
            return *kind;
    failStrictly(object, where, key, [](const JsonObjectReader &r, const QString &k) {
        (void)r.enumeration(k, &outputLineKindFromRaw);
    });
}

OutputLine decodeLine(const QJsonObject &object, const Where &where)
{
    OutputLine line;
    line.id = requiredUuid(object, QLatin1StringView("id"), where);
    line.kind = lineKind(object, where);
    line.text = requiredString(object, QLatin1StringView("text"), where);
    return line;
}

ConversationTurn decodeTurn(const QJsonObject &object, const Where &where)
{
    ConversationTurn turn;
    turn.id = requiredUuid(object, QLatin1StringView("id"), where);
    turn.userPrompt = requiredString(object, QLatin1StringView("userPrompt"), where);
    turn.agentResponse = requiredString(object, QLatin1StringView("agentResponse"), where);
    const QJsonValue summary = object.value(QLatin1StringView("taskCompleteSummary"));
    if (summary.isString())
        turn.taskCompleteSummary = summary.toString();
    else if (!summary.isUndefined() && !summary.isNull())
        failStrictly(object, where, QLatin1StringView("taskCompleteSummary"),
                     [](const JsonObjectReader &r, const QString &k) { (void)r.optionalString(k); });
    turn.startedAt = requiredNumberDate(object, QLatin1StringView("startedAt"), where);
    const QJsonValue ended = object.value(QLatin1StringView("endedAt"));
    if (ended.isDouble())
        turn.endedAt = Timestamp(ended.toDouble());
    else if (!ended.isUndefined() && !ended.isNull())
        failStrictly(object, where, QLatin1StringView("endedAt"),
                     [](const JsonObjectReader &r, const QString &k) { (void)r.optionalNumberDate(k); });
    return turn;
}

// The elements of `array` as objects, each decoded by `decode`.
template <typename T, typename Decode>
QList<T> decodeElements(const QJsonArray &array, Where where, Decode decode)
{
    QList<T> items;
    items.reserve(array.size());
    for (qsizetype i = 0; i < array.size(); ++i) {
        where.index = i;
        const QJsonValue value = array.at(i);
        if (!value.isObject())
            failElement(value, where.path());
        items.append(decode(value.toObject(), where));
    }
    return items;
}

PaneDiskSnapshot decodePane(const QJsonObject &object, qsizetype index)
{
    const Where where{index};
    PaneDiskSnapshot pane;
    pane.id = requiredUuid(object, QLatin1StringView("id"), where);
    pane.agentId = requiredString(object, QLatin1StringView("agentId"), where);
    pane.agentName = requiredString(object, QLatin1StringView("agentName"), where);
    pane.paneNumber = requiredInteger<int>(object, QLatin1StringView("paneNumber"), where);
    pane.responsibility = requiredString(object, QLatin1StringView("responsibility"), where);
    const QJsonArray lines = requiredArray(object, QLatin1StringView("outputLines"), where);
    Where at{index, "outputLines"};
    for (qsizetype i = 0; i < lines.size(); ++i) {
        at.index = i;
        const QJsonValue value = lines.at(i);
        if (!value.isObject())
            failElement(value, at.path());
        pane.outputLines.append(decodeLine(value.toObject(), at));
    }
    const QJsonArray turns = requiredArray(object, QLatin1StringView("conversation"), where);
    pane.conversation = decodeElements<ConversationTurn>(turns, Where{index, "conversation"}, &decodeTurn);
    // Lenient keys: files written before these existed still load.
    const QJsonValue isSystem = object.value(QLatin1StringView("isSystemPane"));
    pane.isSystemPane = isSystem.isBool() && isSystem.toBool();
    const QJsonValue role = object.value(QLatin1StringView("role"));
    pane.role = role.isString() ? agentRoleFromRaw(role.toString()).value_or(AgentRole::unspecified)
                                : AgentRole::unspecified;
    return pane;
}

} // namespace

PanesSnapshot PanesSnapshot::fromJson(const QJsonObject &root)
{
    const Where where;
    PanesSnapshot snapshot;
    snapshot.version = requiredInteger<int>(root, QLatin1StringView("version"), where);
    if (const QJsonValue id = root.value(QLatin1StringView("documentId")); id.isString())
        snapshot.documentId = parseUuid(id.toString());
    snapshot.nextAgentNumber = requiredInteger<qint64>(root, QLatin1StringView("nextAgentNumber"), where);
    snapshot.focusedPaneId = optionalUuid(root, QLatin1StringView("focusedPaneId"), where);
    snapshot.expandedPaneId = optionalUuid(root, QLatin1StringView("expandedPaneId"), where);
    const QJsonArray panes = requiredArray(root, QLatin1StringView("panes"), where);
    snapshot.panes.reserve(panes.size());
    for (qsizetype i = 0; i < panes.size(); ++i) {
        const QJsonValue value = panes.at(i);
        if (!value.isObject())
            failElement(value, QStringLiteral("panes[%1]").arg(i));
        snapshot.panes.append(decodePane(value.toObject(), i));
    }
    return snapshot;
}

PanesSnapshot PanesSnapshot::decode(const QByteArray &bytes)
{
    if (std::optional<PanesSnapshot> snapshot = readPanesQuickly(bytes))
        return std::move(*snapshot);
    return fromJson(JsonObjectReader::parse(bytes).raw());
}

namespace {

// The version of a document, when it has an integer "version" (one out of
// range is no version: the strict reader then reports it).
std::optional<qint64> documentVersion(const QJsonObject &root)
{
    const QJsonValue version = root.value(QLatin1StringView("version"));
    if (!version.isDouble())
        return std::nullopt;
    return json::exactInteger<qint64>(version.toDouble());
}

PanesSnapshot decodeCurrentVersion(const QJsonObject &root)
{
    PanesSnapshot snapshot = PanesSnapshot::fromJson(root);
    if (snapshot.version != PanesSnapshot::currentVersion)
        throw JsonDecodingError(QStringLiteral("version"), QStringLiteral("unknown version %1").arg(snapshot.version));
    return snapshot;
}

} // namespace

namespace {

// What one panes file (the primary or its backup) holds.
struct PanesFileContent {
    bool exists = false;
    // The file's version, when it has one; the snapshot only when it is the current one.
    std::optional<qint64> version;
    std::optional<PanesSnapshot> snapshot;
    std::shared_ptr<PanesFileLayout> layout;
    // The file's identity when it stayed the same from before the read to
    // after it, taken from the descriptor read (and matching the path).
    std::optional<AtomicFileWriter::FileIdentity> identity;
};

// Reads one panes file: in pieces by the quick reader, which takes the files
// this program writes at any size; anything it does not take plainly (a file
// edited by hand or written by another version) goes through the strict
// reader, which reports the fault with its key path. That one holds the
// document whole, so it reads only files up to RegularFile::maxReadBytes.
// Throws when the file exists but cannot be read or decoded.
PanesFileContent readOnePanesFile(const QString &path, bool wantLayout)
{
    PanesFileContent content;
    int fd = -1;
    // Reached beneath the project: a link on the way is refused, not followed.
    if (std::optional<panesChangeLog::Place> place = panesChangeLog::placeOf(path))
        fd = RegularFile::openAt(place->folder.fd(), place->name);
    if (fd < 0)
        return content; // nothing saved yet
    const auto closing = qScopeGuard([fd] { ::close(fd); });
    content.exists = true;
    // The file's identity before and after reading: when both agree, the
    // bytes read are the file's, and where its parts lie is worth keeping for
    // the first save.
    const std::optional<AtomicFileWriter::FileIdentity> before = AtomicFileWriter::FileIdentity::of(fd);
    auto layout = wantLayout ? std::make_shared<PanesFileLayout>() : nullptr;
    const auto unchanged = [&] {
        return before && before == AtomicFileWriter::FileIdentity::of(fd) &&
               before == panesChangeLog::identityAt(path);
    };
    content.snapshot = readPanesQuickly(fd, layout.get());
    if (content.snapshot) {
        content.version = content.snapshot->version;
        if (unchanged()) {
            content.identity = before;
            if (layout) {
                layout->file = *before;
                content.layout = std::move(layout);
            }
        }
        if (*content.version != PanesSnapshot::currentVersion)
            content.snapshot.reset();
        return content;
    }
    if (before && before->size > RegularFile::maxReadBytes)
        throw RegularFile::ReadError("it is larger than 64 MiB and not in the form Nerim writes");
    const std::optional<QByteArray> bytes =
        AtomicFileWriter::readBytes(path, IntentProcessorConstants::projectOfDataFile(path));
    if (!bytes)
        throw RegularFile::ReadError("it was removed while it was read");
    // Read again by name: the same file only when the one open (whose
    // identity covers its bytes) is still the file at the path, unchanged.
    if (unchanged())
        content.identity = before;
    const QJsonObject root = JsonObjectReader::parse(*bytes).raw();
    content.version = documentVersion(root);
    // A file of another version is left alone before its content is judged:
    // a later format need not decode as this one.
    if (!content.version || *content.version == PanesSnapshot::currentVersion)
        content.snapshot = decodeCurrentVersion(root);
    return content;
}

void applyChangeLog(PanesLoadResult &result, PanesSnapshot &snapshot, const QString &path,
                    const std::optional<AtomicFileWriter::FileIdentity> &identity)
{
    result.changeLogRead = panesChangeLog::applyLog(snapshot, panesChangeLog::pathFor(path), identity);
    result.changeLog = result.changeLogRead.log;
    result.changeLogFault = result.changeLogRead.fault;
    result.changeLogFaultReason = result.changeLogRead.why;
}

} // namespace

PanesLoadResult readPanesFile(const QString &path)
{
    PanesLoadResult result;
    std::optional<PanesSnapshot> snapshot;
    try {
        PanesFileContent primary = readOnePanesFile(path, true);
        if (!primary.exists)
            return result;
        if (primary.version && *primary.version != PanesSnapshot::currentVersion) {
            logLine(QStringLiteral("[Nerim panes] load: unknown version %1 (expected %2), ignoring")
                        .arg(*primary.version)
                        .arg(PanesSnapshot::currentVersion));
            result.unknownVersion = true;
            return result;
        }
        snapshot = std::move(primary.snapshot);
        if (snapshot) {
            // The focused and expanded pane an earlier version saved beside
            // the file, when saved for exactly this file (and so naming its
            // panes); then the changes saved since the file was written whole.
            if (primary.identity)
                if (const std::optional<PanesViewFile> view = PanesViewFile::read(PanesViewFile::pathFor(path)))
                    view->applyTo(*snapshot, *primary.identity);
            applyChangeLog(result, *snapshot, path, primary.identity);
        }
        if (snapshot && primary.layout) {
            result.layout = std::move(primary.layout);
            result.fileContent = snapshot;
        }
    } catch (...) {
        result.failure = AtomicFileWriter::describeFailure(std::current_exception());
    }

    if (result.failure) {
        try {
            PanesFileContent backup = readOnePanesFile(AtomicFileWriter::backupPathFor(path), false);
            if (backup.exists) {
                if (!backup.snapshot)
                    throw JsonDecodingError(QStringLiteral("version"),
                                            QStringLiteral("unknown version %1").arg(backup.version.value_or(0)));
                snapshot = std::move(backup.snapshot);
                result.restoredFromBackup = true;
                // A log written for the backup (a crash came before the file
                // that replaced it took its changes) still applies to it.
                applyChangeLog(result, *snapshot, path, std::nullopt);
            }
        } catch (...) {
            // The backup is no better; the primary's failure is the one reported.
        }
        if (result.restoredFromBackup)
            logLine(QStringLiteral("[Nerim panes] load failed: %1; restored panes.json from its backup")
                        .arg(*result.failure));
        else
            logLine(QStringLiteral("[Nerim panes] load failed: %1").arg(*result.failure));
    }
    if (!snapshot)
        return result;

    // Never hand out a next number that a restored pane already carries.
    for (const PaneDiskSnapshot &pane : snapshot->panes)
        snapshot->nextAgentNumber = std::max<qint64>(snapshot->nextAgentNumber, qint64(pane.paneNumber) + 1);
    result.snapshot = std::move(snapshot);
    return result;
}

std::optional<PanesSnapshot> loadPanesSnapshot(const QString &path) { return readPanesFile(path).snapshot; }

void savePanesSnapshot(const QString &path, PanesSnapshot snapshot)
{
    SerialFileWriter::shared().submit(
        path,
        [path, snapshot = std::move(snapshot)]() mutable {
            try {
                snapshot.documentId = QUuid::createUuid();
                (void)panesEncoding::writeReusing(snapshot, path, nullptr);
            } catch (...) {
                logLine(QStringLiteral("[Nerim panes] save failed: %1")
                            .arg(AtomicFileWriter::describeFailure(std::current_exception())));
            }
        },
        QStringLiteral("[Nerim panes]"));
}

PanesSnapshotStore::PanesSnapshotStore(QString path)
    : m_path(std::move(path)), m_saver(std::make_unique<PanesSaver>(m_path))
{
}

PanesSnapshotStore::~PanesSnapshotStore() = default;

void PanesSnapshotStore::setListener(std::function<void(const PanesSaveEvent &)> listener)
{
    m_saver->setListener(std::move(listener));
}

std::optional<PanesSnapshot> PanesSnapshotStore::load()
{
    PanesLoadResult result = readPanesFile(m_path);
    if (m_readOnly) {
        // Whatever is wrong with the files is for the Nerim that holds the project to settle.
        if (result.failure)
            m_loadNotice = QStringLiteral("[Nerim couldn't read this project's saved panes (%1).]").arg(*result.failure);
        return std::move(result.snapshot);
    }
    m_keepUnknownVersion = result.unknownVersion;
    m_keepUnreadable = false;
    m_loadNotice.reset();
    QStringList notices;
    if (result.failure) {
        const std::optional<QString> aside = panesChangeLog::setAside(m_path, u"unreadable");
        m_keepUnreadable = !aside;
        const QString kept = aside ? QStringLiteral("it was kept as %1").arg(QFileInfo(*aside).fileName())
                                   : QStringLiteral("it was left as it is and nothing is saved over it");
        notices.append(result.restoredFromBackup
                           ? QStringLiteral("[Nerim couldn't read this project's saved panes (%1) and restored them "
                                            "from their backup; %2.]")
                                 .arg(*result.failure, kept)
                           : QStringLiteral("[Nerim couldn't read this project's saved panes (%1); %2.]")
                                 .arg(*result.failure, kept));
    }

    // What becomes of the change log: what was read of it stays readable
    // until the next whole write has it, and what was not is kept.
    const panesChangeLog::ReadOutcome &changes = result.changeLogRead;
    const QString logPath = panesChangeLog::pathFor(m_path);
    std::optional<panesChangeLog::LogFile> log;
    bool fold = false;
    using Kind = panesChangeLog::ReadOutcome::Kind;
    switch (changes.kind) {
    case Kind::none: break;
    case Kind::ours: {
        log = changes.log;
        fold = changes.headerDamaged || changes.legacy;
        if (changes.goodEnd >= changes.end)
            break;
        // A fault (or a fold marker cut short) after the last good record.
        const panesChangeLog::CutBack cut = panesChangeLog::cutToReadable(logPath, changes);
        if (!cut.unreadKept)
            m_keepUnreadable = true;
        log = cut.log;
        fold = fold || !cut.log;
        if (changes.fault)
            notices.append(
                QStringLiteral("[Nerim couldn't read the last changes saved to this project's panes (%1); the panes "
                               "are shown as of the change before, and %2.]")
                    .arg(changes.why,
                         cut.aside ? QStringLiteral("the changes were kept as %1").arg(QFileInfo(*cut.aside).fileName())
                                   : QStringLiteral("nothing is saved over them")));
        break;
    }
    case Kind::superseded:
        panesChangeLog::removeFile(logPath);
        break;
    case Kind::other:
    case Kind::unreadable: {
        const std::optional<QString> aside =
            panesChangeLog::setAside(logPath, changes.kind == Kind::other ? u"other" : u"unreadable");
        if (!aside)
            m_keepUnreadable = true;
        const QString kept = aside ? QStringLiteral("they were kept as %1").arg(QFileInfo(*aside).fileName())
                                   : QStringLiteral("nothing is saved over them");
        notices.append(changes.kind == Kind::other
                           ? QStringLiteral("[Nerim found changes saved for another version of this project's panes "
                                            "(an older copy or backup of them is in place); they were not applied, "
                                            "and %1.]")
                                 .arg(kept)
                           : QStringLiteral("[Nerim couldn't read the changes saved to this project's panes (%1); %2.]")
                                 .arg(changes.why, kept));
        break;
    }
    }
    if (!notices.isEmpty())
        m_loadNotice = notices.join(u' ');
    if (result.layout && changes.kind != Kind::ours)
        m_saver->adopt(std::move(result.layout), std::move(result.fileContent), std::nullopt, false);
    else if (result.layout)
        m_saver->adopt(std::move(result.layout), std::move(result.fileContent), log, fold);
    else
        m_saver->adopt(nullptr, std::nullopt, log, true, !panesChangeLog::identityAt(m_path));
    return std::move(result.snapshot);
}

void PanesSnapshotStore::encodeAhead(const QUuid &paneId, const OutputLines &lines)
{
    m_saver->encodeAhead(paneId, lines);
}

bool PanesSnapshotStore::save(PanesSnapshot snapshot, PanesFoldBack foldBack)
{
    if (m_keepUnreadable || m_readOnly)
        return false;
    if (m_keepUnknownVersion) {
        if (snapshot.panes.isEmpty())
            return false;
        m_keepUnknownVersion = false;
    }
    return m_saver->save(std::move(snapshot), foldBack);
}

} // namespace nerim
