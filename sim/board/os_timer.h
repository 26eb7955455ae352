// The processor's OS timer block (0x40A00000): its counter runs at 3.25 MHz of board uptime.
#pragma once

#include <cstdint>

namespace sim {

constexpr uint32_t kOsTimerBase = 0x40A00000u;
constexpr uint32_t kOsTimerCounter = 0x40A00010u;  // OSCR0

// The counter's value at board uptime `ns` (3.25 MHz, before any write to the counter).
uint32_t osTimerTicksAt(uint64_t ns);

}  // namespace sim
