#pragma once

#include "deploy/DeployProvider.h"

#include <QAbstractButton>
#include <QCoro/QCoroTask>
#include <QDialog>
#include <QPointer>
#include <QHash>
#include <QLabel>
#include <QSet>

namespace nerim {

class DeployCapsuleButton;
class ProjectCanvasViewModel;

// One destination of the picker: check mark, the provider's symbol, its
// name with its tag, and its tag line, on a rounded row that shows whether
// it is checked. A click toggles it.
class DeployProviderRow : public QAbstractButton {
    Q_OBJECT
public:
    DeployProviderRow(DeployProvider provider, QWidget *parent = nullptr);
    DeployProvider provider() const { return m_provider; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    DeployProvider m_provider;
};

// The sheet where the user picks where the project goes: any non-empty set of
// the three destinations. It starts with the seed it is given; the footer
// names the order the deploy will take. Leaving through Cancel (or Escape)
// hands over the empty set, through the commit button (or Return) the
// checked set; `committed` fires exactly once, before the sheet closes.
// Opened with open(), never exec().
class DeployProviderPickerSheet : public QDialog {
    Q_OBJECT
public:
    DeployProviderPickerSheet(const QSet<DeployProvider> &seed, QWidget *parent = nullptr);

    QSet<DeployProvider> checked() const { return m_checked; }
    void toggle(DeployProvider provider);
    DeployProviderRow *row(DeployProvider provider) const { return m_rows.value(provider); }
    DeployCapsuleButton *commitButton() const { return m_commit; }
    DeployCapsuleButton *cancelButton() const { return m_cancel; }
    QLabel *orderHintLabel() const { return m_hint; }

    void commit();
    void cancel();

    // The seed for a canvas: its last launch command and the package.json
    // dependencies (read off the GUI thread; a pipe or device is not read).
    static QCoro::Task<QSet<DeployProvider>> seedFor(QPointer<ProjectCanvasViewModel> canvas);

signals:
    // The checked set on commit, the empty set on cancel; unordered.
    void committed(QSet<DeployProvider> providers);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void reject() override;

private:
    void refresh();
    void leave(const QSet<DeployProvider> &providers);

    QSet<DeployProvider> m_checked;
    QHash<DeployProvider, DeployProviderRow *> m_rows;
    QLabel *m_hint = nullptr;
    DeployCapsuleButton *m_cancel = nullptr;
    DeployCapsuleButton *m_commit = nullptr;
    bool m_left = false;
};

} // namespace nerim
