// The JSON form of the board's persisted state (state.json), and of the time records that
// board.json and state.json share. Only the board's own file handling uses it.
#pragma once

#include <string>

#include "json_fields.h"
#include "state.h"

namespace sim {

BoardState stateFromJson(const json& j, const std::string& file);
json stateToJson(const BoardState& state);

SysTime sysTimeFrom(const Field& f);
json sysTimeToJson(const SysTime& t);

}  // namespace sim
