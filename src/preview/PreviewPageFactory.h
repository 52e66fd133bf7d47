#pragma once

#include <QtPlugin>

class QWidget;

namespace nerim {

class PreviewState;

// What the preview's web engine library offers the application, which loads
// it only when a preview first shows a page (see PreviewEngine): the widget
// that shows the page of `state`, bound to it as the web view is.
class PreviewPageFactory {
public:
    virtual ~PreviewPageFactory() = default;
    virtual QWidget *createPage(PreviewState *state, QWidget *parent) = 0;
};

} // namespace nerim

#define NerimPreviewPageFactory_iid "org.nerim.PreviewPageFactory/1"
Q_DECLARE_INTERFACE(nerim::PreviewPageFactory, NerimPreviewPageFactory_iid)
