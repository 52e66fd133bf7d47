#pragma once

#include <QString>

namespace nerim {

class PreviewPageFactory;

// The preview's web engine, loaded the first time a preview shows a page and
// kept for the rest of the run. The engine library sits beside the `nerim`
// executable (in a build tree, where the build put it). The engine's own
// options (the root user's sandbox arguments among them) are read from the
// application's command line, as given when it started. GUI thread only.
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
