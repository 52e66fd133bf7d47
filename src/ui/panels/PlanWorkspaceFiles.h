#pragma once

#include "plans/PlansWorkspaceStore.h"
#include "ui/panels/PanelWidgets.h"

#include <QScrollArea>
#include <QWidget>

class QHBoxLayout;

namespace nerim {

// The plan's Markdown files as a strip of chips over the plan, scrolling
// sideways ("fileChips" holds one "fileChip" per file). A chip asks for its
// file to be opened.
class PlanFileChips : public QScrollArea {
    Q_OBJECT
public:
    explicit PlanFileChips(QWidget *parent = nullptr);

    void setFiles(const QList<PlansWorkspaceStore::File> &files);

signals:
    void fileChosen(const QString &filename);

private:
    QHBoxLayout *m_layout = nullptr;
};

// One open plan file ("openFileBranch"): a Back button, the file's name
// shortened in the middle, and its text as plan Markdown.
//
// Children for tests: "backButton", "openFileName", "openFileText".
class PlanFilePage : public QWidget {
    Q_OBJECT
public:
    PlanFilePage(LinkOpener opener, QWidget *parent = nullptr);

    void showFile(const QString &name, const QString &text);
    // The text is made again with `opener` for its links.
    void setLinkOpener(LinkOpener opener);

signals:
    void backClicked();

private:
    MiddleElidedLabel *m_name = nullptr;
    PlanMarkdownView *m_text = nullptr;
};

} // namespace nerim
