#include "persistence/AppStateActor.h"
#include "persistence/FileCalls.h"

#include "foundation/Log.h"
#include "foundation/Text.h"
#include "foundation/UuidText.h"
#include "persistence/AtomicFileWriter.h"
#include "foundation/BackgroundWork.h"
#include "persistence/IntentProcessorConstants.h"
#include "persistence/MemoryError.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace nerim {

namespace {

constexpr int maxNameLength = 40;
constexpr int maxSkippedQuestions = 10;

QString supportFolder(const QString &overrideDirectory)
{
    return overrideDirectory.isEmpty() ? IntentProcessorConstants::appSupportDirectory() : overrideDirectory;
}

bool existsAt(const QString &path) { return QFileInfo::exists(path) || QFileInfo(path).isSymLink(); }

// The file's bytes, nothing when it does not exist; a file that exists but
// cannot be read is reported as such and never treated as damaged.
std::optional<QByteArray> readOrReport(const QString &path)
{
    try {
        return AtomicFileWriter::readBytes(path);
    } catch (const std::exception &e) {
        throw MemoryError::readFailed(path, QString::fromUtf8(e.what()));
    }
}

// Decodes a record, refusing a record of another schema version before looking
// at its other keys (a newer release may have reshaped them).
AppState decodeChecked(const QByteArray &bytes, const QString &path)
{
    const JsonObjectReader document = JsonObjectReader::parse(bytes);
    const QJsonValue version = document.raw().value(QStringLiteral("schemaVersion"));
    if (version.isDouble()) {
        const double v = version.toDouble();
        if (std::trunc(v) == v && std::abs(v) < 2147483648.0 && v != AppState::currentSchemaVersion)
            throw MemoryError::schemaVersionMismatch(AppState::currentSchemaVersion, static_cast<int>(v), path);
    }
    return AppState::fromJson(document);
}

// The primary-then-backup read, told apart from the writer's generic read in two
// ways: a file that cannot be read ends the load (MemoryError::readFailed), and
// a record of another version ends it too (schemaVersionMismatch naming the
// file it came from). Only content that does not decode falls through.
AtomicFileWriter::ReadResult<AppState> readState(const QString &statePath, const QString &backupPath)
{
    QString primaryReason = QStringLiteral("file does not exist");
    if (auto bytes = readOrReport(statePath)) {
        try {
            return {decodeChecked(*bytes, statePath), std::nullopt};
        } catch (const MemoryError &) {
            throw;
        } catch (...) {
            primaryReason = AtomicFileWriter::describeFailure(std::current_exception());
        }
    }
    QString backupReason = QStringLiteral("backup file does not exist");
    if (auto bytes = readOrReport(backupPath)) {
        try {
            return {decodeChecked(*bytes, backupPath), primaryReason};
        } catch (const MemoryError &) {
            throw;
        } catch (...) {
            backupReason = AtomicFileWriter::describeFailure(std::current_exception());
        }
    }
    throw MemoryError::bothPrimaryAndBackupUnreadable(statePath, primaryReason, backupReason);
}

// Renames without ever replacing an existing file. Returns an empty string or the failure.
QString moveWithoutReplacing(const QString &from, const QString &to)
{
    if (fileCalls::renameWithoutReplacing(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return QString();
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Fresh names for a damaged app.json and its backup: "app.corrupt-<time>.json"
// and "app.json.corrupt-<time>.bak", numbered when taken (two within one second).
std::pair<QString, QString> corruptNames(const QString &folder)
{
    const QString stamp = Timestamp::now().toIso8601().replace(QLatin1Char(':'), QLatin1Char('-'));
    for (int n = 1;; ++n) {
        const QString suffix = n == 1 ? stamp : stamp + QLatin1Char('-') + QString::number(n);
        const QString state = folder + QStringLiteral("/app.corrupt-") + suffix + QStringLiteral(".json");
        const QString backup = folder + QStringLiteral("/app.json.corrupt-") + suffix + QStringLiteral(".bak");
        if (!existsAt(state) && !existsAt(backup))
            return {state, backup};
    }
}

QString limitedTrimmed(const QString &text) { return text::characterPrefix(text.trimmed(), maxNameLength); }

} // namespace

AppStateActor::AppStateActor(AppState state, QString stateURL, QString backupURL, Origin origin)
    : m_state(std::move(state)), m_stateURL(std::move(stateURL)), m_backupURL(std::move(backupURL)), m_origin(origin)
{
}

AppStateActor::~AppStateActor() = default;

QFuture<std::shared_ptr<AppStateActor>> AppStateActor::load(const QString &supportDirectory)
{
    return runInBackground([supportDirectory] { return loadNow(supportDirectory); });
}

QFuture<AppStateActor::QuarantineResult> AppStateActor::quarantineAndStartFresh(const QString &supportDirectory)
{
    return runInBackground([supportDirectory] { return quarantineNow(supportDirectory); });
}

bool AppStateActor::shouldQuarantine(const std::exception_ptr &loadError)
{
    try {
        std::rethrow_exception(loadError);
    } catch (const MemoryError &error) {
        return error.kind() == MemoryError::Kind::bothPrimaryAndBackupUnreadable;
    } catch (...) {
    }
    return false;
}

std::shared_ptr<AppStateActor> AppStateActor::loadNow(const QString &supportDirectory)
{
    const QString folder = supportFolder(supportDirectory);
    const QString statePath = folder + QStringLiteral("/app.json");
    const QString backupPath = folder + QStringLiteral("/app.json.bak");

    if (!existsAt(statePath) && !existsAt(backupPath)) {
        std::shared_ptr<AppStateActor> actor(
            new AppStateActor(AppState::fresh(Timestamp::now()), statePath, backupPath, Origin::created));
        actor->saveNow();
        return actor;
    }

    auto result = readState(statePath, backupPath);
    if (!result.isRestoredFromBackup())
        return std::shared_ptr<AppStateActor>(
            new AppStateActor(std::move(result.value), statePath, backupPath, Origin::loaded));

    // A damaged app.json still present is kept under a name of its own
    // before the restored record is written: the save would otherwise make it
    // app.json.bak, and the save after that would replace it.
    if (existsAt(statePath)) {
        const QString aside = corruptNames(folder).first;
        const QString failure = moveWithoutReplacing(statePath, aside);
        if (!failure.isEmpty()) {
            logLine(QStringLiteral("[Nerim memory] Could not set aside the unreadable %1 (%2)").arg(statePath, failure));
            throw MemoryError::atomicRenameFailed(statePath, aside, failure);
        }
        logLine(QStringLiteral("[Nerim memory] Kept the unreadable %1 as %2").arg(statePath, aside));
    }
    std::shared_ptr<AppStateActor> actor(
        new AppStateActor(std::move(result.value), statePath, backupPath, Origin::restoredFromBackup));
    actor->saveNow();
    logLine(QStringLiteral("[Nerim memory] Recovered app.json from backup. Primary cause: ") + *result.primaryReason);
    return actor;
}

AppStateActor::QuarantineResult AppStateActor::quarantineNow(const QString &supportDirectory)
{
    const QString folder = supportFolder(supportDirectory);
    const QString statePath = folder + QStringLiteral("/app.json");
    const QString backupPath = folder + QStringLiteral("/app.json.bak");

    const auto [stateTarget, backupTarget] = corruptNames(folder);

    QStringList moved;
    const std::pair<QString, QString> moves[] = {{statePath, stateTarget}, {backupPath, backupTarget}};
    for (const auto &[from, to] : moves) {
        if (!existsAt(from))
            continue;
        const QString failure = moveWithoutReplacing(from, to);
        if (!failure.isEmpty()) {
            // Never deleted: a file that cannot be moved aside stays for the user to rescue.
            logLine(QStringLiteral("[Nerim memory] Could not quarantine %1 (%2)").arg(from, failure));
            throw MemoryError::atomicRenameFailed(from, to, failure);
        }
        moved.append(to);
        logLine(QStringLiteral("[Nerim memory] Quarantined %1 \u2192 %2").arg(from, to));
    }

    std::shared_ptr<AppStateActor> actor(
        new AppStateActor(AppState::fresh(Timestamp::now()), statePath, backupPath, Origin::quarantined));
    actor->saveNow();
    return {actor, moved};
}

void AppStateActor::saveNow()
{
    QByteArray bytes;
    try {
        bytes = m_state.encoded();
    } catch (const std::exception &e) {
        throw MemoryError::writeFailed(m_stateURL, QString::fromUtf8(e.what()));
    }
    AtomicFileWriter::write(bytes, m_stateURL, m_backupURL);
}

QFuture<AppState> AppStateActor::state()
{
    return m_executor.run([this] { return m_state; });
}

QFuture<bool> AppStateActor::hasCompletedOnboarding()
{
    return m_executor.run([this] { return m_state.onboarding.completedAt.has_value(); });
}

QFuture<AppState::ProjectRegistryEntry> AppStateActor::registerProject(const QString &path, const QString &displayName,
                                                                       Timestamp date)
{
    return m_executor.run([this, path, displayName, date] {
        qsizetype index = -1;
        for (qsizetype i = 0; i < m_state.projects.size(); ++i) {
            if (m_state.projects[i].path == path) {
                index = i;
                break;
            }
        }
        if (index >= 0) {
            m_state.projects[index].displayName = displayName;
            m_state.projects[index].lastOpenedAt = date;
        } else {
            m_state.projects.append({uuidText(newUuid()), path, displayName, date, date});
            index = m_state.projects.size() - 1;
        }
        const AppState::ProjectRegistryEntry entry = m_state.projects[index];
        saveNow();
        return entry;
    });
}

QFuture<void> AppStateActor::markProjectOpened(const QString &projectId, Timestamp date)
{
    return m_executor.run([this, projectId, date] {
        for (auto &project : m_state.projects) {
            if (project.id == projectId) {
                project.lastOpenedAt = date;
                saveNow();
                return;
            }
        }
    });
}

QFuture<QList<AppState::ProjectRegistryEntry>> AppStateActor::removeProject(const QString &projectId)
{
    return m_executor.run([this, projectId] {
        m_state.projects.removeIf([&](const AppState::ProjectRegistryEntry &p) { return p.id == projectId; });
        saveNow();
        return m_state.projects;
    });
}

QFuture<void> AppStateActor::setUserDisplayName(const QString &name)
{
    return m_executor.run([this, name] {
        const QString value = limitedTrimmed(name);
        m_state.preferences.userDisplayName = value.isEmpty() ? currentLoginName() : value;
        saveNow();
    });
}

QFuture<void> AppStateActor::setPrimaryDomain(AppState::PrimaryDomain domain, const std::optional<QString> &otherText)
{
    return m_executor.run([this, domain, otherText] {
        m_state.preferences.primaryDomain = domain;
        m_state.preferences.primaryDomainOther.reset();
        if (domain == AppState::PrimaryDomain::other) {
            const QString text = limitedTrimmed(otherText.value_or(QString()));
            if (!text.isEmpty())
                m_state.preferences.primaryDomainOther = text;
        }
        saveNow();
    });
}

QFuture<void> AppStateActor::setOutputMode(AppState::OutputMode mode)
{
    return m_executor.run([this, mode] {
        m_state.preferences.outputMode = mode;
        saveNow();
    });
}

QFuture<void> AppStateActor::setWantsManagedKeys(bool wants)
{
    return m_executor.run([this, wants] {
        m_state.preferences.wantsManagedKeys = wants;
        saveNow();
    });
}

QFuture<void> AppStateActor::completeOnboarding(Timestamp date, const QStringList &skippedQuestions)
{
    return m_executor.run([this, date, skippedQuestions] {
        m_state.onboarding = AppState::Onboarding{date, 1, skippedQuestions.mid(0, maxSkippedQuestions)};
        saveNow();
    });
}

QFuture<void> AppStateActor::save()
{
    return m_executor.run([this] { saveNow(); });
}

} // namespace nerim
