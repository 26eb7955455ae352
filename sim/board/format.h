// Small formatting helpers shared by the board, the stand-in and the tool.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

// "0x" and `digits` upper-case hex digits at least: hex(0x68, 2) is "0x68", hex(18, 8) "0x00000012".
std::string hex(uint32_t value, int digits);

}  // namespace sim
