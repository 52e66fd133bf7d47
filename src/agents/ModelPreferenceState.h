#pragma once

#include "agents/SnapshotFileRead.h"
#include "persistence/ModelChoice.h"

#include <QObject>
#include <QUrl>
#include <memory>

namespace nerim {

class ProjectDataFolder;

// The Claude model chosen for one project, kept in the project's data folder as
// model.json (backup model.json.backup). Confined to the GUI thread; the setters
// notify only when the value changes.
class ModelPreferenceState : public QObject {
    Q_OBJECT
public:
    explicit ModelPreferenceState(QObject *parent = nullptr);

    ModelChoice choice() const { return m_choice; }
    // Does not save; call `persist` for that.
    void setChoice(ModelChoice choice);

    // model.json's location; empty until the project's data folder is known.
    const QUrl &persistenceURL() const { return m_persistenceURL; }
    void setPersistenceURL(const QUrl &url);
    // The project's data folder door: when set, model.json (the persistence
    // URL's file in it) is saved through it, retried and told when it fails.
    void setDataFolder(std::shared_ptr<ProjectDataFolder> door) { m_dataFolder = std::move(door); }

    // Adopts the saved choice, if any. A file that cannot be read or decoded is
    // logged as "[Nerim model] load failed: …"; its backup is used when it
    // holds a valid choice, otherwise the current choice stays.
    void load();
    // The two halves of `load`: reading model.json (and its backup) touches no
    // state and may run on a worker thread; applying logs and adopts the result.
    static SnapshotFileRead<ModelChoice> readFile(const QString &path);
    void applyFileRead(const SnapshotFileRead<ModelChoice> &read);
    // Saves the current choice in the background (newest choice written last);
    // a failure is logged as "[Nerim model] persist failed: …".
    void persist();

    // {"choice": raw value}, compact.
    static QByteArray encodeSnapshot(ModelChoice choice);
    // Throws JsonDecodingError for a missing key or an unknown raw value.
    static ModelChoice decodeSnapshot(const QByteArray &bytes);

signals:
    void choiceChanged();
    void persistenceURLChanged();

private:
    ModelChoice m_choice = defaultModelChoice;
    QUrl m_persistenceURL;
    std::shared_ptr<ProjectDataFolder> m_dataFolder;
};

} // namespace nerim
