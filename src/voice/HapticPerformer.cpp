#include "voice/HapticPerformer.h"

namespace nerim {

HapticPerformer &HapticPerformer::shared()
{
    static NoHapticPerformer performer;
    return performer;
}

} // namespace nerim
