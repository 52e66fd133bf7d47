#pragma once

#include "sessions/RepairBannerCoordinator.h"
#include "ui/panels/PreviewContent.h"
#include "ui/panels/PreviewPanelLook.h"

#include <QPointer>
#include <QWidget>

#include <functional>

class QLabel;
class QVBoxLayout;

namespace nerim {

class PanelIconButton;
class PreviewState;
class PreviewToolbar;
struct PreviewStripActions;
class RepairSessionState;

// The browser-like preview panel of the canvas: a header (page title, expand,
// close), the toolbar (back, forward, reload/stop, the address field bound to
// PreviewState.addressBar, a spinner while loading), the status strip with
// the repair banner or the last page error, and the web view under an empty
// state that lets clicks through. It writes only the address, the one-shot
// navigation requests and the banner's dismissals; repair work goes through
// the coordinator the canvas screen renews.
//
// The parts live in their own files: the toolbar (PreviewToolbar), the
// strip's rows (PreviewStatusStrip) and the page area (PreviewContent). This
// class lays them out and follows the models.
class PreviewPanelView : public QWidget {
    Q_OBJECT
public:
    // Builds the widget that shows the page; the web view by default.
    using ContentFactory = PreviewPageMaker;

    PreviewPanelView(PreviewState *state, RepairSessionState *repairState, RepairBannerCoordinator coordinator,
                     QWidget *parent = nullptr);
    PreviewPanelView(PreviewState *state, RepairSessionState *repairState,
                     std::optional<RepairBannerCoordinator> coordinator, ContentFactory contentFactory,
                     QWidget *parent = nullptr);

    void setRepairCoordinator(RepairBannerCoordinator coordinator);
    const std::optional<RepairBannerCoordinator> &repairCoordinator() const { return m_coordinator; }

    void submitAddress();
    void submitSecretDraft();
    const QString &secretDraft() const { return m_secretDraft; }
    // The page widget; made when the panel is first shown.
    QWidget *content() const;

    // Tiled, the panel would fill its frame (640 × 400 at most): the row
    // places it at the top at that height rather than at its content's.
    QSize sizeHint() const override;
    // The panel is as tall as the row lets it be, up to its size hint; the
    // banner's wrapped lines share that height with the page, so the
    // banner's height-for-width must not become the panel's own.
    bool hasHeightForWidth() const override { return false; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void makeContent();
    void refreshHeader();
    void refreshToolbar();
    void refreshAddress();
    void refreshStrip(bool force = false);
    // Gives the keyboard focus to the row's first control (the panel itself
    // when the row has none).
    void focusStrip();
    void refreshEmptyState();
    void refreshFrame();
    PreviewStripActions stripActions();
    void runCoordinator(std::function<void()> RepairBannerCoordinator::*action);

    QPointer<PreviewState> m_state;
    QPointer<RepairSessionState> m_repairState;
    std::optional<RepairBannerCoordinator> m_coordinator;
    QString m_secretDraft;

    QLabel *m_title = nullptr;
    PanelIconButton *m_expand = nullptr;
    PanelIconButton *m_close = nullptr;
    PreviewToolbar *m_toolbar = nullptr;
    QVBoxLayout *m_stripHolder = nullptr;
    QWidget *m_strip = nullptr;
    std::optional<PreviewPanelLook::Strip> m_shownStrip;
    PreviewContent *m_content = nullptr;
};

} // namespace nerim
