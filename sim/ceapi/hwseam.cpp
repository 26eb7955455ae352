// The hardware seam of a host build: the CPU's status and ID registers and the program's
// register accesses, answered by the virtual board.
#include "../../platform/hwaccess.h"

#include <cstdio>
#include <string>

#include "../board/board.h"
#include "../board/mmio.h"
#include "../board/simtime.h"
#include "kernel_hal.h"
#include "kernel_objects.h"

namespace {

constexpr DWORD kCpsrFlags = 0x60000000u;  // Z and C set, IRQ and FIQ enabled, ARM state
constexpr DWORD kModeUser = 0x10, kModeSvc = 0x13, kModeSystem = 0x1F;
constexpr uint64_t kRegisterAccessNs = 50;  // one uncached bus cycle

std::string hex8(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

uint32_t physicalFor(const volatile DWORD* reg, const char* what) {
    const uint32_t va = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(reg));
    std::optional<uint32_t> phys = sim::translateWindowAddress(va);
    if (!phys)
        sim::boardFault(std::string("data abort: register ") + what + " at virtual address " + hex8(va) +
                        ", outside every bound register window");
    return *phys;
}

}  // namespace

DWORD HwReadCpsr(void) {
    if (sim::inBridgedRoutine()) return kCpsrFlags | kModeSvc;
    return kCpsrFlags | (sim::Board::current().config().privileged ? kModeSystem : kModeUser);
}

DWORD HwReadMainId(void) {
    if (!sim::cpuPrivileged())
        sim::boardFault(
            "undefined instruction: mrc p15, 0, rN, c0, c0, 0 (CP15 main ID register) executed in user mode; "
            "the kernel ends the process");
    return sim::Board::current().config().mainId;
}

DWORD HwReadKDataWord(DWORD address) {
    if (address != KDATA_CURRENT_PROCESS_ADDR)
        sim::boardFault("data abort: kernel data page word " + hex8(address) +
                        " is not modelled by the virtual board");
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(sim::processHandle(sim::currentContext())));
}

DWORD HwRead32(const volatile DWORD* reg) {
    sim::runDue();
    const DWORD value = sim::physRead32(physicalFor(reg, "read"));
    sim::advanceNs(kRegisterAccessNs);
    return value;
}

void HwWrite32(volatile DWORD* reg, DWORD value) {
    sim::runDue();
    sim::physWrite32(physicalFor(reg, "write"), value);
    sim::advanceNs(kRegisterAccessNs);
}
