#pragma once

#include "ui/deploy/DeployLook.h"
#include "ui/deploy/DeployProviderPickerSheet.h"

#include <QDialog>
#include <QMenu>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace nerim {

class ProjectCanvasViewModel;

// The Deploy pill of the canvas header: one of four faces chosen from the
// deploy session's phase — the Deploy button (opens the provider picker), the
// in-progress pill (shows the Deploy pane), the stuck pill (retries) and the
// Live pill (opens the Live menu). It keeps no deploy state of its own.
// The Live menu's Roll back submenu offers at most six earlier deployments,
// oldest first (DeployHistoryEntry::recentLive(…, 6)); where two would read
// alike, DeployLook::rollbackTitles adds the deployment id to their titles.
class DeployPill : public QWidget {
    Q_OBJECT
public:
    // Makes the picker sheet for a seed; injectable so tests can reach the sheet.
    using PickerFactory = std::function<DeployProviderPickerSheet *(const QSet<DeployProvider> &seed, QWidget *parent)>;

    explicit DeployPill(ProjectCanvasViewModel *canvas, QWidget *parent = nullptr);

    DeployLook::PillFace face() const { return m_face; }
    QString text() const { return m_text; }
    bool showingPicker() const { return m_picker != nullptr; }
    // The sheet waits for the project's package.json to be read.
    bool openingPicker() const { return m_openingPicker; }
    DeployProviderPickerSheet *picker() const { return m_picker; }
    void setPickerFactory(PickerFactory factory) { m_pickerFactory = std::move(factory); }
    // The Live menu (built afresh each time it opens).
    QMenu *liveMenu() const { return m_menu; }

    // The face's action, as a click does.
    void activate();
    // The sheet's result: the empty set closes it, any other set starts a
    // fresh deploy of those providers in deploy order.
    void commitPicker(const QSet<DeployProvider> &providers);

    // Whether the in-progress ring is turning, and its angle in degrees.
    bool ringTurning() const { return m_ringTimer.isActive(); }
    qreal ringAngle() const { return m_ringAngle; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void refresh();
    bool unlocked() const;
    void openPicker();
    void focusDeployPane();
    void updateRing();

    QPointer<ProjectCanvasViewModel> m_canvas;
    DeployLook::PillFace m_face = DeployLook::PillFace::hidden;
    QString m_text;
    QPointer<DeployProviderPickerSheet> m_picker;
    // The seed is being read: a second click opens no second sheet.
    bool m_openingPicker = false;
    PickerFactory m_pickerFactory;
    QMenu *m_menu = nullptr;
    QTimer m_ringTimer;
    qreal m_ringAngle = 0;
};

// Fills `menu` with the Live menu's sections for the canvas's live deploy.
void buildLiveMenu(QMenu *menu, ProjectCanvasViewModel *canvas);

} // namespace nerim
