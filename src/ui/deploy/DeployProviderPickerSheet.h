#pragma once

#include "deploy/DeployProvider.h"

#include <QCheckBox>
#include <QDialog>
#include <QHash>
#include <QPushButton>

namespace nerim {

class ProjectCanvasViewModel;

// The sheet where the user picks where the project goes live. Seeded once
// with the providers that fit the project; the commit hands them over in
// deploy order. Opened with open(), never exec().
class DeployProviderPickerSheet : public QDialog {
    Q_OBJECT
public:
    DeployProviderPickerSheet(const QSet<DeployProvider> &seed, QWidget *parent = nullptr);
    QSet<DeployProvider> checked() const;
    QPushButton *commitButton() const { return m_commit; }
    QCheckBox *checkBox(DeployProvider provider) const { return m_boxes.value(provider); }

    // The seed for a canvas: its last launch command and package.json dependencies.
    static QSet<DeployProvider> seedFor(const ProjectCanvasViewModel &canvas);

signals:
    void committed(QList<DeployProvider> providersInOrder);

private:
    void refresh();
    QHash<DeployProvider, QCheckBox *> m_boxes;
    QPushButton *m_commit = nullptr;
    bool m_committing = false;
};

} // namespace nerim
