#include "voice/AppActivity.h"

namespace nerim {

namespace {
FixedAppActivity &builtIn()
{
    static FixedAppActivity source(true);
    return source;
}
AppActivitySource *installed = nullptr;
} // namespace

AppActivitySource &AppActivitySource::shared()
{
    return installed ? *installed : builtIn();
}

void AppActivitySource::setShared(AppActivitySource *source)
{
    installed = source;
}

} // namespace nerim
