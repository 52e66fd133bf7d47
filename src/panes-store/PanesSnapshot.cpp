#include "panes-store/PanesSnapshot.h"

#include "foundation/Json.h"
#include "foundation/UuidText.h"

#include <QJsonArray>

namespace nerim {

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

} // namespace nerim
