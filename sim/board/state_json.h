// The JSON form of the board's persisted state (state.json), and of the time records that
// board.json and state.json share. Only the board's own file handling uses it.
#pragma once

#include <string>

#include "json_fields.h"
#include "state.h"

namespace sim {

// `zone`: the persisted zone record (board.json's), by which a clock that an older build kept in
// UTC is read as the local time the kernel keeps.
BoardState stateFromJson(const json& j, const std::string& file, const TimeZoneConfig& zone);
json stateToJson(const BoardState& state);

SysTime sysTimeFrom(const Field& f);
json sysTimeToJson(const SysTime& t);

}  // namespace sim
