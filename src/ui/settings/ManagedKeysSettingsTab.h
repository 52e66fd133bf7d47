#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class QFrame;

namespace nerim {

class ManagedKeysSettingsViewModel;

// The "Nerim Account" tab: the credential mode, the session-token entry with
// "Save & Verify", the verification result and the help note. Shows what its
// view model says and forwards the user's actions to it.
class ManagedKeysSettingsTab : public QWidget {
    Q_OBJECT
public:
    explicit ManagedKeysSettingsTab(QWidget *parent = nullptr);

    ManagedKeysSettingsViewModel *viewModel() const { return m_model; }

    // Named children for tests: "modeLine", "modeDescription", "signOutButton",
    // "sectionHeading", "tokenField", "saveButton", "cancelButton",
    // "resultTitle", "resultDetail", "helpText".

protected:
    void showEvent(QShowEvent *event) override;
    bool event(QEvent *event) override;

private:
    void sync();

    ManagedKeysSettingsViewModel *m_model;
    QLabel *m_titleIcon;
    QLabel *m_modeLine;
    QLabel *m_modeDescription;
    QPushButton *m_signOut;
    QFrame *m_signOutDivider;
    QLabel *m_sectionHeading;
    QLineEdit *m_tokenField;
    QPushButton *m_save;
    QPushButton *m_cancel;
    QFrame *m_resultDivider;
    QWidget *m_resultRow;
    QLabel *m_resultIcon;
    QLabel *m_resultTitle;
    QLabel *m_resultDetail;
};

} // namespace nerim
