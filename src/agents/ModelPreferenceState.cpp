#include "agents/ModelPreferenceState.h"

#include "agents/SnapshotFileRead.h"
#include "foundation/Json.h"
#include "foundation/Log.h"
#include "foundation/SerialFileWriter.h"
#include "persistence/ProjectDataFolder.h"

#include <QFileInfo>

namespace nerim {

ModelPreferenceState::ModelPreferenceState(QObject *parent) : QObject(parent) {}

void ModelPreferenceState::setChoice(ModelChoice choice)
{
    if (m_choice == choice)
        return;
    m_choice = choice;
    emit choiceChanged();
}

void ModelPreferenceState::setPersistenceURL(const QUrl &url)
{
    if (m_persistenceURL == url)
        return;
    m_persistenceURL = url;
    emit persistenceURLChanged();
}

QByteArray ModelPreferenceState::encodeSnapshot(ModelChoice choice)
{
    QJsonObject object;
    object.insert(QStringLiteral("choice"), rawValue(choice));
    return json::encodeCompact(object);
}

ModelChoice ModelPreferenceState::decodeSnapshot(const QByteArray &bytes)
{
    return JsonObjectReader::parse(bytes).enumeration(QStringLiteral("choice"), &modelChoiceFromRaw);
}

void ModelPreferenceState::load()
{
    if (m_persistenceURL.isEmpty())
        return;
    applyFileRead(readFile(m_persistenceURL.toLocalFile()));
}

SnapshotFileRead<ModelChoice> ModelPreferenceState::readFile(const QString &path)
{
    return readSnapshotFile<ModelChoice>(path, &ModelPreferenceState::decodeSnapshot);
}

void ModelPreferenceState::applyFileRead(const SnapshotFileRead<ModelChoice> &read)
{
    if (read.primaryFailure) {
        if (read.restoredFromBackup)
            logLine(QStringLiteral("[Nerim model] load failed: %1; restored model.json from its backup")
                        .arg(*read.primaryFailure));
        else
            logLine(QStringLiteral("[Nerim model] load failed: %1").arg(*read.primaryFailure));
    }
    if (read.value)
        setChoice(*read.value);
}

void ModelPreferenceState::persist()
{
    if (m_persistenceURL.isEmpty())
        return;
    const QString path = m_persistenceURL.toLocalFile();
    const ModelChoice choice = m_choice;
    if (m_dataFolder) {
        const QString name = QFileInfo(path).fileName();
        m_dataFolder->save(ProjectDataFolder::Kind::modelChoice, name, [name, choice](const ProjectDataFolder &door) {
            door.write(ProjectDataFolder::Kind::modelChoice, name, encodeSnapshot(choice),
                       AtomicFileWriter::backupPathFor(name));
        });
        return;
    }
    SerialFileWriter::shared().submit(
        path,
        [path, choice] {
            try {
                AtomicFileWriter::write(encodeSnapshot(choice), path, AtomicFileWriter::backupPathFor(path),
                                        AtomicFileWriter::inProject(IntentProcessorConstants::projectOfDataFile(path)));
            } catch (...) {
                logLine(QStringLiteral("[Nerim model] persist failed: %1")
                            .arg(AtomicFileWriter::describeFailure(std::current_exception())));
            }
        },
        QStringLiteral("[Nerim model]"));
}

} // namespace nerim
