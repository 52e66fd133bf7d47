#pragma once

#include <QString>

namespace nerim {

class PreviewPageFactory;

// The preview's web engine, loaded the first time a preview shows a page and
// kept for the rest of the run. The engine library sits beside the `nerim`
// executable (in a build tree, where the build put it). The engine's own
// options (the root user's sandbox arguments among them) are read from the
// application's command line, as given when it started. GUI thread only.
//
// Loading late: the engine composites through OpenGL contexts that share one
// global context, which Qt would make (loading the driver) at start if asked
// before the application object. Instead the loader makes it and sets
// AA_ShareOpenGLContexts just before loading the engine (set even when it
// cannot be made, as Qt does; the engine then draws in software). A page
// composited through OpenGL is drawn in the window's surface; a native child
// window made before the engine arrived could not show it, so only a page
// drawn in software gets one. (`nerim_preview_engine_loader`, Qt GUI.)
namespace PreviewEngine {

// The loaded engine, or null when it could not be loaded (see errorText()).
// The first call loads it; later calls return the same one.
PreviewPageFactory *factory();

// Whether the engine library is in this process.
bool isLoaded();

// Why the engine could not be loaded, in a plain sentence; empty when it loaded.
QString errorText();

} // namespace PreviewEngine
} // namespace nerim
