// Starting programs on the board as new processes: what the notification service and the
// kernel's start-up ([HKEY_LOCAL_MACHINE\init]) share, inside the stand-in.
#pragma once

#include "layer.h"

#include <memory>
#include <string>
#include <vector>

#include "../board/board.h"
#include "regfile.h"

namespace sim {

// The board directory as an absolute path, for the environment of a started program.
std::string absoluteDir(const std::string& dir);
// The host program board.json's "apps" gives for a device path (letter case ignored); null when none.
const std::string* hostProgramFor(const BoardConfig& config, const std::string& devicePath);
// Such a program's path: relative ones are taken from the board directory.
std::string hostProgramPath(const std::string& exe, const std::string& boardDir);
// Starts `exe` with `args` on the board in `boardDir`, its standard error into `errFile` unless
// that is empty; returns the pid or -errno.
int spawnOnBoard(const std::string& exe, const std::vector<std::string>& args, const std::string& boardDir,
                 const std::string& errFile);
// Adds to the state's record of the latest launches.
void recordLaunches(const std::vector<LaunchRecord>& launches);

// The registry as the board's programs see it: registry.reg with the RAM part over it; null when
// either is malformed (the reason has gone to standard error and the debug log).
std::shared_ptr<const reg::Registry> registryAsProgramsSeeIt();

}  // namespace sim
