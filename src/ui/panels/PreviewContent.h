#pragma once

#include <QWidget>

#include <functional>

namespace nerim {

class PreviewState;

// Builds the widget that shows the page (a child of `parent`).
using PreviewPageMaker = std::function<QWidget *(PreviewState *state, QWidget *parent)>;

// The preview's page area ("previewContent"): the page, made on demand in a
// host of its own ("previewPageHost"), and the empty state
// ("previewEmptyState") as a sibling above it, never a graphics effect over
// the web view (which would draw it blank). The empty state lets clicks
// through.
class PreviewContent : public QWidget {
    Q_OBJECT
public:
    // Without `maker`, the page is the web view (the web engine loads when
    // the first page is made).
    PreviewContent(PreviewState *state, PreviewPageMaker maker, QWidget *parent = nullptr);

    // The page, once made.
    QWidget *page() const { return m_page; }
    void makePage();
    // Shows the empty state over the page, or the page.
    void setShowsEmptyState(bool shows);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    PreviewState *m_state = nullptr;
    PreviewPageMaker m_maker;
    QWidget *m_emptyState = nullptr;
    QWidget *m_pageHost = nullptr;
    QWidget *m_page = nullptr;
};

} // namespace nerim
