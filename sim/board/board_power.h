// The board's power. Down keeps every chip on its backup supply (a protocol-4 chip halts and
// shows the time of the power-down); up boots the board afresh: uptime from zero, and the system
// clock, which has no backup supply of its own, starting at `systemClockAtBoot` (local time, as the
// kernel keeps it) when given.
#pragma once

#include <cstdint>
#include <optional>

namespace sim {

void powerDownBoard();
void powerUpBoard(std::optional<int64_t> systemClockAtBoot);

}  // namespace sim
