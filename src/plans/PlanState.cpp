#include "plans/PlanState.h"

#include "foundation/BeneathFolder.h"
#include "foundation/Json.h"
#include "foundation/Log.h"
#include "foundation/SerialFileWriter.h"
#include "foundation/UuidText.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/IntentProcessorConstants.h"
#include "persistence/ProjectDataFolder.h"
#include "persistence/SetAside.h"

#include <cstring>

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QSet>
#include <QStringList>
#include <fcntl.h>
#include <sys/stat.h>
#include <utility>

namespace nerim {

namespace {

struct PlanDiskSnapshot {
    QString goal;
    QList<PlanStep> steps;
    QList<PlanTurn> conversation; // "conversation" may be missing when read
};

PlanDiskSnapshot decodePlan(const QByteArray &bytes)
{
    const JsonObjectReader root = JsonObjectReader::parse(bytes);
    PlanDiskSnapshot snapshot;
    snapshot.goal = root.string(QStringLiteral("goal"));
    for (const JsonValueReader &step : root.array(QStringLiteral("steps")))
        snapshot.steps.append(PlanStep::fromJson(step.toObject()));
    if (auto turns = root.optionalArray(QStringLiteral("conversation"))) {
        for (const JsonValueReader &turn : *turns)
            snapshot.conversation.append(PlanTurn::fromJson(turn.toObject()));
    }
    return snapshot;
}

// Moves an unreadable plan.json out of the way so that saving the current plan
// never destroys it. True when nothing is left at `path` to protect.
constexpr int unreadablePlan = 1;
constexpr int unreadableBackup = 2;

// Moves an unreadable file aside (reached beneath the project when it lies in
// a project's data folder), so that no save replaces it: true when nothing
// stands in the way of the save any more.
bool moveUnreadableAside(const QString &path)
{
    const QString project = IntentProcessorConstants::projectOfDataFile(path);
    QString name;
    std::optional<QString> aside;
    try {
        const BeneathFolder folder = project.isEmpty() ? BeneathFolder::atPath(QFileInfo(path).absolutePath())
                                                       : BeneathFolder::holding(project, path, BeneathFolder::Create::nothing, &name);
        if (name.isEmpty())
            name = QFileInfo(path).fileName();
        struct stat st {};
        if (::fstatat(folder.fd(), QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode))
            return true;
        aside = setAside::moveWithin(folder, name, u"unreadable");
        if (aside)
            aside = folder.filePath(*aside);
    } catch (const BeneathFolder::Missing &) {
        return true;
    } catch (const std::exception &) {
    }
    if (!aside) {
        logLine(QStringLiteral("[Nerim plans] persist failed: could not move the unreadable %1 aside; it is kept and "
                               "the plan is not saved over it")
                    .arg(path));
        return false;
    }
    logLine(QStringLiteral("[Nerim plans] moved the unreadable %1 aside to %2").arg(path, *aside));
    return true;
}

// The same through the project's data folder door: throws (and the save is
// retried) when the file cannot be moved, so nothing is saved over it.
void moveUnreadableAside(const ProjectDataFolder &door, const QString &name)
{
    struct stat st {};
    if (::fstatat(door.folder().fd(), QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
        return;
    const std::optional<QString> aside = door.setAside(ProjectDataFolder::Kind::planConversation, name, u"unreadable");
    if (!aside)
        throw MemoryError::writeFailed(door.filePath(name),
                                       QStringLiteral("the unreadable file could not be set aside (%1)")
                                           .arg(QString::fromLocal8Bit(std::strerror(errno))));
    logLine(QStringLiteral("[Nerim plans] moved the unreadable %1 aside to %2").arg(door.filePath(name), *aside));
}

bool isTitlePunctuation(char32_t c)
{
    switch (QChar::category(c)) {
    case QChar::Punctuation_Connector:
    case QChar::Punctuation_Dash:
    case QChar::Punctuation_Open:
    case QChar::Punctuation_Close:
    case QChar::Punctuation_InitialQuote:
    case QChar::Punctuation_FinalQuote:
    case QChar::Punctuation_Other:
        return true;
    default:
        return false;
    }
}

} // namespace

PlanState::PlanState(QObject *parent) : QObject(parent) {}

#define NERIM_PLAN_SETTER(Setter, member, Type, signal)                                                                \
    void PlanState::Setter(Type value)                                                                                 \
    {                                                                                                                  \
        if (member == value)                                                                                           \
            return;                                                                                                    \
        member = value;                                                                                                \
        emit signal();                                                                                                 \
    }

NERIM_PLAN_SETTER(setSteps, m_steps, const QList<PlanStep> &, stepsChanged)
NERIM_PLAN_SETTER(setGoal, m_goal, const QString &, goalChanged)
NERIM_PLAN_SETTER(setConversation, m_conversation, const QList<PlanTurn> &, conversationChanged)
NERIM_PLAN_SETTER(setIsVisible, m_isVisible, bool, isVisibleChanged)
NERIM_PLAN_SETTER(setIsExpanded, m_isExpanded, bool, isExpandedChanged)
NERIM_PLAN_SETTER(setIsGenerating, m_isGenerating, bool, isGeneratingChanged)
NERIM_PLAN_SETTER(setDraftVision, m_draftVision, const QString &, draftVisionChanged)
NERIM_PLAN_SETTER(setDraftFieldFocused, m_draftFieldFocused, bool, draftFieldFocusedChanged)
NERIM_PLAN_SETTER(setLastError, m_lastError, const std::optional<QString> &, lastErrorChanged)
NERIM_PLAN_SETTER(setWorkspaceFiles, m_workspaceFiles, const QList<PlansWorkspaceStore::File> &, workspaceFilesChanged)
NERIM_PLAN_SETTER(setOpenWorkspaceFile, m_openWorkspaceFile, const std::optional<QString> &, openWorkspaceFileChanged)
NERIM_PLAN_SETTER(setIsOrganizing, m_isOrganizing, bool, isOrganizingChanged)

#undef NERIM_PLAN_SETTER

void PlanState::setPersistenceURL(const std::optional<QString> &path)
{
    if (m_persistenceURL == path)
        return;
    m_persistenceURL = path;
    // An unreadable file found at the old location is no business of the new one.
    m_setAsideUnreadable = std::make_shared<std::atomic<int>>(0);
    emit persistenceURLChanged();
}

void PlanState::load()
{
    if (!m_persistenceURL)
        return;
    applyFileRead(readFile(*m_persistenceURL));
}

PlanState::FileRead PlanState::readFile(const QString &path)
{
    FileRead read;
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
        return read; // a project without a plan
    read.exists = true;
    try {
        const auto result = AtomicFileWriter::read<PlanDiskSnapshot>(
            path, AtomicFileWriter::backupPathFor(path), std::function<PlanDiskSnapshot(const QByteArray &)>(decodePlan),
            IntentProcessorConstants::projectOfDataFile(path));
        if (result.isRestoredFromBackup())
            read.restoredFromBackupReason = *result.primaryReason;
        read.goal = result.value.goal;
        read.steps = result.value.steps;
        read.conversation = result.value.conversation;
    } catch (...) {
        read.failure = AtomicFileWriter::describeFailure(std::current_exception());
    }
    return read;
}

void PlanState::applyFileRead(const FileRead &read)
{
    if (!read.exists)
        return;
    if (read.failure) {
        logLine(QStringLiteral("[Nerim plans] load failed: %1").arg(*read.failure));
        // Neither file was usable: both are kept, the older plan in the
        // backup included, before anything is saved.
        m_setAsideUnreadable->store(unreadablePlan | unreadableBackup);
        return;
    }
    if (read.restoredFromBackupReason) {
        logLine(QStringLiteral("[Nerim plans] load failed: %1; restored the plan from %2")
                    .arg(*read.restoredFromBackupReason,
                         m_persistenceURL ? AtomicFileWriter::backupPathFor(*m_persistenceURL) : QString()));
        m_setAsideUnreadable->store(unreadablePlan);
    }
    setGoal(read.goal);
    setSteps(read.steps);
    setConversation(read.conversation);
}

QByteArray PlanState::encodePlan(const QString &goal, const QList<PlanStep> &steps,
                                 const QList<PlanTurn> &conversation)
{
    QJsonArray turnArray;
    for (const PlanTurn &turn : conversation)
        turnArray.append(turn.toJson());
    QJsonArray stepArray;
    for (const PlanStep &step : steps)
        stepArray.append(step.toJson());
    QJsonObject root;
    root.insert(QStringLiteral("conversation"), turnArray);
    root.insert(QStringLiteral("goal"), goal);
    root.insert(QStringLiteral("steps"), stepArray);
    return json::encodePretty(root);
}

void PlanState::persist()
{
    if (!m_persistenceURL)
        return;
    const QString path = *m_persistenceURL;
    auto setAside = m_setAsideUnreadable;
    if (m_dataFolder) {
        using Kind = ProjectDataFolder::Kind;
        const QString name = QFileInfo(path).fileName();
        m_dataFolder->save(Kind::planConversation, name,
                           [name, setAside, goal = m_goal, steps = m_steps,
                            conversation = m_conversation](const ProjectDataFolder &door) {
                               const int unreadable = setAside->load();
                               if (unreadable & unreadablePlan)
                                   moveUnreadableAside(door, name);
                               if (unreadable & unreadableBackup)
                                   moveUnreadableAside(door, AtomicFileWriter::backupPathFor(name));
                               setAside->store(0);
                               door.write(Kind::planConversation, name, encodePlan(goal, steps, conversation),
                                          AtomicFileWriter::backupPathFor(name));
                           });
        return;
    }
    SerialFileWriter::shared().submit(
        path,
        [path, setAside, goal = m_goal, steps = m_steps, conversation = m_conversation] {
            try {
                const int unreadable = setAside->load();
                if ((unreadable & unreadablePlan) && !moveUnreadableAside(path))
                    return;
                if ((unreadable & unreadableBackup) && !moveUnreadableAside(AtomicFileWriter::backupPathFor(path)))
                    return;
                setAside->store(0);
                AtomicFileWriter::write(encodePlan(goal, steps, conversation), path,
                                        AtomicFileWriter::backupPathFor(path),
                                        AtomicFileWriter::inProject(IntentProcessorConstants::projectOfDataFile(path)));
            } catch (...) {
                logLine(QStringLiteral("[Nerim plans] persist failed: %1")
                            .arg(AtomicFileWriter::describeFailure(std::current_exception())));
            }
        },
        QStringLiteral("[Nerim plans]"));
}

void PlanState::appendTurn(PlanTurn::Role role, const QString &text, bool revisedPlan)
{
    const QString content = text.trimmed();
    if (content.isEmpty())
        return;
    m_conversation.append(PlanTurn{newUuid(), role, content, Timestamp::now(), revisedPlan});
    emit conversationChanged();
    persist();
}

void PlanState::appendUserTurn(const QString &text) { appendTurn(PlanTurn::Role::user, text, false); }

void PlanState::appendAgentTurn(const QString &text, bool revisedPlan)
{
    appendTurn(PlanTurn::Role::agent, text, revisedPlan);
}

void PlanState::applyRevisedPlan(const PlansAgentService::RevisedPlan &revised)
{
    // The first step with an id wins, so a plan holding one id twice still works.
    QHash<QUuid, PlanStep> current;
    for (const PlanStep &step : std::as_const(m_steps)) {
        if (!current.contains(step.id))
            current.insert(step.id, step);
    }
    // Each current id is carried over once: a later revised step naming an id
    // already taken becomes a new step, so ids stay unique.
    QSet<QUuid> carried;
    QList<PlanStep> next;
    next.reserve(revised.steps.size());
    for (const auto &step : revised.steps) {
        const auto old = step.previousID ? current.constFind(*step.previousID) : current.constEnd();
        if (old != current.constEnd() && !carried.contains(old->id)) {
            carried.insert(old->id);
            const bool sameTitle = normalizedTitle(old->title) == normalizedTitle(step.title);
            next.append(PlanStep{old->id, step.title, step.detail, sameTitle ? old->status : PlanStep::Status::pending});
        } else {
            next.append(PlanStep{newUuid(), step.title, step.detail, PlanStep::Status::pending});
        }
    }
    setGoal(revised.goal);
    setSteps(next);
    persist();
}

void PlanState::setStepStatus(const QUuid &id, PlanStep::Status status)
{
    for (PlanStep &step : m_steps) {
        if (step.id == id) {
            step.status = status;
            emit stepsChanged();
            persist();
            return;
        }
    }
}

void PlanState::close()
{
    setIsVisible(false);
    setIsExpanded(false);
}

void PlanState::toggleVisibility()
{
    setIsVisible(!m_isVisible);
    if (!m_isVisible)
        setIsExpanded(false);
}

void PlanState::toggleExpanded()
{
    if (!m_isVisible)
        setIsVisible(true);
    setIsExpanded(!m_isExpanded);
}

QString PlanState::normalizedTitle(const QString &title)
{
    const QList<uint> codePoints = title.trimmed().toUcs4();
    qsizetype begin = 0;
    qsizetype end = codePoints.size();
    while (begin < end && isTitlePunctuation(codePoints[begin]))
        ++begin;
    while (end > begin && isTitlePunctuation(codePoints[end - 1]))
        --end;
    const QString lowered =
        QString::fromUcs4(reinterpret_cast<const char32_t *>(codePoints.constData()) + begin, end - begin).toLower();

    QStringList words;
    QString word;
    for (const QChar c : lowered) {
        if (c.isSpace()) {
            if (!word.isEmpty())
                words.append(std::exchange(word, QString()));
        } else {
            word.append(c);
        }
    }
    if (!word.isEmpty())
        words.append(word);
    return words.join(QLatin1Char(' ')).normalized(QString::NormalizationForm_C);
}

} // namespace nerim
