// The notification service's database (the board state's notification records): the rules the
// platform applies to a registration, shared by the platform's calls and the operations that look
// at it from outside a program (tools_api.h). Every change is one
// locked update of the board's state, so processes running on the board at the same time never
// lose each other's registrations, and a handle names the same registration in every process.
#pragma once

#include "layer.h"

#include <cstdint>
#include <string>
#include <vector>

#include "../board/board.h"
#include "tools_api.h"

namespace sim {

// Why the platform would refuse this trigger (empty: it is acceptable).
std::string notificationRecordProblem(const NotificationRecord& record);

// Within one state update: a new registration with a fresh handle (returned), and the removal
// of one (false when no registration has that handle).
uint32_t insertNotification(BoardState& state, NotificationRecord record);
bool eraseNotification(BoardState& state, uint32_t handle);

// The platform compares application paths without regard to letter case.
std::string asciiLower(std::string s);

}  // namespace sim
