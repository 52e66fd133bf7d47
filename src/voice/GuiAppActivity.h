#pragma once

#include "voice/AppActivity.h"

namespace nerim {

// The desktop's answer: Nerim is active while one of its windows has the
// focus (QGuiApplication's application state). A process without a GUI
// application object counts as active.
class GuiAppActivity : public AppActivitySource {
public:
    bool isApplicationActive() const override;
};

} // namespace nerim
