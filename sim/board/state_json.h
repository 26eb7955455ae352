// The JSON form of the board's persisted state (state.json), and of the time records that
// board.json and state.json share. Only the board's own file handling uses it.
#pragma once

#include <functional>
#include <string>

#include "json_fields.h"
#include "state.h"

namespace sim {

// `zoneOfAnOlderClock`: the persisted zone record (board.json's), asked for only when the clock
// is one an older build kept in UTC, which is read as the local time the kernel keeps.
BoardState stateFromJson(const json& j, const std::string& file,
                         const std::function<TimeZoneConfig()>& zoneOfAnOlderClock);
json stateToJson(const BoardState& state);

SysTime sysTimeFrom(const Field& f);
json sysTimeToJson(const SysTime& t);

}  // namespace sim
