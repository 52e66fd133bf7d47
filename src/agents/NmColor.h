#pragma once

// The palette lives in foundation so that every layer can name a colour; agent
// statuses use it through this header.
#include "foundation/NmColor.h"
