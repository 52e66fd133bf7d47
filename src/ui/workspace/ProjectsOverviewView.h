#pragma once

#include "foundation/Timestamp.h"
#include "persistence/AppState.h"

#include <QHash>
#include <QList>
#include <QPointer>
#include <QScrollArea>
#include <functional>
#include <memory>
#include <optional>

class QLabel;

namespace nerim {

class ActionTile;
class AddProjectCard;
class ProjectCard;
class StartBlankCard;

// The window's content while no project is open: "Projects" and a count, an
// empty-state hint while there is no ordinary project, and a grid of one card
// per known project (in the order given) followed by the add tile and the
// start-blank tile. Every action ends in one of its callbacks; the screen's
// only state of its own is the entry whose removal awaits confirmation.
//
// The folder picker and the removal alert are injected functions (the
// defaults open the desktop's dialogs, window-modal, without a nested event
// loop), so tests never open a dialog. Each answers through a callback: the
// shell may replace this screen while a dialog is open, which takes the
// dialog with it and drops its answer. Cards
// are built lazily, only for the rows in or near view. Names and paths are
// shown as plain text everywhere. Card actions run queued, after the click
// that caused them, so a card is never deleted inside its own event handler.
class ProjectsOverviewView : public QScrollArea {
    Q_OBJECT
public:
    using Entry = AppState::ProjectRegistryEntry;

    // Calls `done` with the chosen folder's path, or none when the user
    // cancelled; never before returning.
    using FolderPicker =
        std::function<void(QWidget *parent, std::function<void(std::optional<QString>)> done)>;
    enum class AlertChoice { remove, cancel, dismissed };
    // Asks to confirm a removal, with the alert's title and message, and
    // calls `done` with the answer; never before returning.
    using RemovalAlert = std::function<void(QWidget *parent, const QString &title, const QString &message,
                                            std::function<void(AlertChoice)> done)>;

    struct Callbacks {
        std::function<void(const Entry &)> onOpen;
        std::function<void(const QString &path)> onAddProject;
        std::function<void(const Entry &)> onRemoveProject;
        // Absent: no start-blank tile.
        std::function<void()> onStartBlank;
    };

    struct Options {
        double cardWidth = 220;
        double cardHeight = 140;
        double contentMaxWidth = 1200;
        FolderPicker folderPicker;  // empty: the desktop's folder dialog
        RemovalAlert removalAlert;  // empty: a message box
        std::function<Timestamp()> now; // empty: the clock
        // Where blank projects are made, as the start-blank help names it.
        QString projectsFolderForHelp = QStringLiteral("Documents/Nerim Projects");
    };

    ProjectsOverviewView(QList<Entry> projects, Callbacks callbacks, Options options, QWidget *parent = nullptr);
    ~ProjectsOverviewView() override;

    void setProjects(QList<Entry> projects);
    const QList<Entry> &projects() const { return m_projects; }
    const std::optional<Entry> &projectPendingRemoval() const { return m_pendingRemoval; }
    bool isDialogOpen() const { return m_dialogOpen; }

    // The add tile's action: opens the folder picker; a chosen folder is handed on.
    void runFolderPicker();
    // A card's remove action: the removal waits for the alert.
    void requestRemoval(const Entry &entry);

    // The cards built so far (the rows in and near view), in grid order.
    QList<ProjectCard *> builtProjectCards() const;
    ProjectCard *cardFor(const QString &projectId) const;
    AddProjectCard *addProjectCard() const;
    StartBlankCard *startBlankCard() const;
    QLabel *subtitleLabel() const { return m_subtitle; }
    // Whether the empty-state hint is shown.
    bool showsEmptyState() const;
    // The number of grid columns at the current width.
    int columnCount() const;

    static FolderPicker desktopFolderPicker();
    // Where the folder picker starts: Documents, or home without one.
    static QString folderPickerStartFolder();
    static RemovalAlert desktopRemovalAlert();

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    class Content;

    void relayout();
    void makeEmptyState();
    void updateBuiltCards();
    QWidget *buildItem(int index);
    int itemCount() const;
    QRect itemRect(int index) const;

    QList<Entry> m_projects;
    Callbacks m_callbacks;
    Options m_options;
    std::optional<Entry> m_pendingRemoval;
    // Whether a dialog of this screen is open; its answer is taken only while
    // the screen lives.
    bool m_dialogOpen = false;
    std::shared_ptr<int> m_lifetime = std::make_shared<int>(0);

    Content *m_content = nullptr;
    QWidget *m_header = nullptr;
    QLabel *m_subtitle = nullptr;
    QWidget *m_emptyState = nullptr;
    QWidget *m_grid = nullptr;
    int m_columns = 1;
    // Built items by index; project cards keyed by id so that a card keeps its
    // hover state while its entry stays in the list.
    QHash<QString, QPointer<ProjectCard>> m_projectCards;
    QPointer<AddProjectCard> m_addCard;
    QPointer<StartBlankCard> m_startBlankCard;
};

} // namespace nerim
