#include "commands.h"

namespace vboard {

void addNotificationCommands(CLI::App&) {}

}  // namespace vboard
