#include "preview/engine/PreviewEngine.h"

#include "foundation/Log.h"
#include "preview/PreviewPageFactory.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QOpenGLContext>
#include <QPluginLoader>
#include <QSurfaceFormat>

// Qt's context that every OpenGL context shares with when the application
// asks for shared contexts (exported by Qt GUI, declared in its private headers).
QOpenGLContext *qt_gl_global_share_context();
void qt_gl_set_global_share_context(QOpenGLContext *context);

namespace nerim::PreviewEngine {

namespace {

struct Engine {
    bool tried = false;
    PreviewPageFactory *factory = nullptr;
    QString error;
};

Engine &engine()
{
    static Engine instance;
    return instance;
}

QString libraryFileName()
{
    return QStringLiteral("libnerim_preview_engine.so");
}

// Beside the executable, and nowhere else: a copied `nerim` never loads what
// lies at a fixed path.
QStringList candidatePaths()
{
    return {QDir(QCoreApplication::applicationDirPath()).filePath(libraryFileName())};
}

// The web engine composites its pages with OpenGL contexts that share with
// one global context, which Qt makes at start when asked before the
// application exists. Asking then would load the OpenGL driver at every start;
// it is made here instead, just before the engine is loaded, and before any
// window composites through OpenGL. Without OpenGL (no display driver, the
// offscreen platform) the engine draws in software.
void shareOpenGLContexts()
{
    if (qt_gl_global_share_context())
        return;
    // Qt warns that the attribute is late: it is, on purpose, and nothing has
    // composited through OpenGL yet, so every context made from now on shares.
    static QtMessageHandler previousHandler = nullptr;
    previousHandler = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &where, const QString &text) {
        if (!text.contains(QLatin1String("AA_ShareOpenGLContexts")) && previousHandler)
            previousHandler(type, where, text);
    });
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    qInstallMessageHandler(previousHandler);
    // Kept until the process ends: it must outlive every window and page, and
    // Qt's windowing is gone before the application object's children are.
    // Set even when it could not be made, as Qt does: the engine asks an
    // invalid context for its format, and then draws in software.
    auto *context = new QOpenGLContext;
    context->setFormat(QSurfaceFormat::defaultFormat());
    context->create();
    qt_gl_set_global_share_context(context);
}

} // namespace

PreviewPageFactory *factory()
{
    Engine &state = engine();
    if (state.tried)
        return state.factory;
    state.tried = true;
    shareOpenGLContexts();
    QStringList failures;
    for (const QString &path : candidatePaths()) {
        if (!QFileInfo::exists(path))
            continue;
        // Never unloaded: its pages and profiles live until the process ends.
        auto *loader = new QPluginLoader(path, qApp);
        loader->setLoadHints(QLibrary::PreventUnloadHint);
        QObject *instance = loader->instance();
        if (auto *found = qobject_cast<PreviewPageFactory *>(instance)) {
            state.factory = found;
            return found;
        }
        failures << loader->errorString();
        delete loader;
    }
    state.error = QStringLiteral("The preview's web engine couldn't be loaded.");
    logLine(QStringLiteral("[Nerim] ") + state.error + QLatin1Char(' ') +
            (failures.isEmpty() ? QStringLiteral("%1 was not found.").arg(libraryFileName()) : failures.join(u' ')));
    return nullptr;
}

bool isLoaded()
{
    return engine().factory != nullptr;
}

QString errorText()
{
    return engine().error;
}

} // namespace nerim::PreviewEngine
