// The preview's web engine as a library the application loads on first use:
// a user who never opens the preview never loads the browser engine.
#include "preview/PreviewPageFactory.h"
#include "preview/web/PreviewWebView.h"

#include <QObject>

namespace nerim {

class PreviewEnginePlugin : public QObject, public PreviewPageFactory {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID NerimPreviewPageFactory_iid)
    Q_INTERFACES(nerim::PreviewPageFactory)

public:
    QWidget *createPage(PreviewState *state, QWidget *parent) override { return new PreviewWebView(state, parent); }
};

} // namespace nerim

#include "PreviewEnginePlugin.moc"
