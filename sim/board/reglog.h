// A record of the register accesses that the processor's GPIO, pin-function, pin-mux and clock
// models answered, in order, for tests that check what a driver wrote where.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

struct RegisterAccess {
    uint32_t phys = 0;  // physical address
    bool write = false;
    uint32_t value = 0;     // value written, or value read
    bool reserved = false;  // the offset is no register of the part (read as zero, write ignored)
};

void logRegisterAccess(const RegisterAccess& access);
const std::vector<RegisterAccess>& registerAccessLog();
void clearRegisterAccessLog();

// A reserved offset: reads as zero and ignores writes, as the parts do, but says so on stderr
// and in the log, since no driver has business there.
void noteReservedAccess(const char* device, uint32_t phys, bool write, uint32_t value);

}  // namespace sim
