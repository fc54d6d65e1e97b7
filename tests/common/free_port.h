// A UDP port for a test to bind, on every platform.
#pragma once

#include <cstdint>

namespace kivo_test {

// A port that nothing on this host is bound to right now (0 when none could
// be found). The socket library is held only while looking, so whoever binds
// the port starts its own.
uint16_t free_udp_port();

}  // namespace kivo_test
