#include "reglog.h"

#include <cstdio>

namespace sim {

namespace {
std::vector<RegisterAccess>& logRef() {
    static std::vector<RegisterAccess> log;
    return log;
}
}  // namespace

void logRegisterAccess(const RegisterAccess& access) {
    logRef().push_back(access);
}
const std::vector<RegisterAccess>& registerAccessLog() {
    return logRef();
}
void clearRegisterAccessLog() {
    logRef().clear();
}

void noteReservedAccess(const char* device, uint32_t phys, bool write, uint32_t value) {
    std::fprintf(stderr, "virtual board: %s: %s of reserved address 0x%08X%s\n", device,
                 write ? "write" : "read", phys, write ? " ignored" : " reads as zero");
    logRegisterAccess(RegisterAccess{phys, write, write ? value : 0, true});
}

}  // namespace sim
