#pragma once

#include "ui/panels/PreviewPanelLook.h"

#include <QWidget>

class QLineEdit;

namespace nerim {

class NmActivitySpinner;
class PanelIconButton;

// The preview's browser toolbar ("previewToolbar"): back, forward,
// reload/stop, the address field on its inset (stroked in the accent while
// it has the focus) and a spinner while a page loads. It shows what
// PreviewPanelLook::toolbar decides and reports the buttons; the panel binds
// the address field to the model.
//
// Children for tests: "backButton", "forwardButton", "reloadButton",
// "addressField", "loadingSpinner".
class PreviewToolbar : public QWidget {
    Q_OBJECT
public:
    explicit PreviewToolbar(QWidget *parent = nullptr);

    void showLook(const PreviewPanelLook::Toolbar &look);
    QLineEdit *addressField() const { return m_address; }

signals:
    void backClicked();
    void forwardClicked();
    void reloadClicked();

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    PanelIconButton *m_back = nullptr;
    PanelIconButton *m_forward = nullptr;
    PanelIconButton *m_reload = nullptr;
    QLineEdit *m_address = nullptr;
    NmActivitySpinner *m_spinner = nullptr;
};

} // namespace nerim
