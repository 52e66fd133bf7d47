#pragma once

#include <optional>

namespace nerim {

// The first port of [firstPort, firstPort + count) that an IPv4 TCP socket
// with SO_REUSEADDR can bind on 127.0.0.1 right now, or none. The socket is
// closed at once: nothing is reserved.
std::optional<int> firstFreePort(int firstPort, int count);

} // namespace nerim
