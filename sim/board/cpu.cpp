#include "cpu.h"

#include <map>
#include <string>

#include "board.h"
#include "fault.h"
#include "format.h"
#include "mmio.h"
#include "simtime.h"

namespace sim::cpu {

namespace {

constexpr uint32_t kCpsrFlags = 0x60000000u;  // Z and C set, IRQ and FIQ enabled, ARM state
constexpr uint32_t kModeUser = 0x10, kModeSvc = 0x13, kModeSystem = 0x1F;
constexpr uint64_t kRegisterAccessNs = 50;  // one uncached bus cycle

struct Core {
    int supervisorDepth = 0;
    std::map<uint32_t, uint32_t> kdata;  // kernel data page, by address
    std::map<uint32_t, uint32_t> pages;  // virtual page -> physical page
    // The last translation, as a TLB holds it; dropped whenever a binding changes.
    std::optional<std::pair<uint32_t, uint32_t>> tlb;
};

Core& core() {
    static Core c;
    return c;
}

uint32_t physicalFor(uint32_t va, const char* what) {
    std::optional<uint32_t> phys = translate(va);
    if (!phys)
        boardFault(std::string("data abort: register ") + what + " at virtual address " + hex(va, 8) +
                   ", outside every bound register window");
    return *phys;
}

}  // namespace

void enterSupervisor() {
    ++core().supervisorDepth;
}
void leaveSupervisor() {
    --core().supervisorDepth;
}
bool inSupervisor() {
    return core().supervisorDepth > 0;
}
bool privileged() {
    return inSupervisor() || Board::current().config().privileged;
}

void writeKDataWord(uint32_t address, uint32_t value) {
    core().kdata[address] = value;
}

void bindPage(uint32_t virtualPage, uint32_t physicalPage) {
    core().pages[virtualPage & ~(kPageSize - 1)] = physicalPage & ~(kPageSize - 1);
    core().tlb.reset();
}

void unbindPage(uint32_t virtualPage) {
    core().pages.erase(virtualPage & ~(kPageSize - 1));
    core().tlb.reset();
}

std::optional<uint32_t> translate(uint32_t virtualAddr) {
    Core& c = core();
    const uint32_t page = virtualAddr & ~(kPageSize - 1);
    if (!c.tlb || c.tlb->first != page) {
        auto it = c.pages.find(page);
        if (it == c.pages.end()) return std::nullopt;
        c.tlb = std::make_pair(page, it->second);
    }
    return c.tlb->second + (virtualAddr & (kPageSize - 1));
}

void resetForTests() {
    core().supervisorDepth = 0;
    core().pages.clear();
    core().tlb.reset();
}

uint32_t readCpsr() {
    if (inSupervisor()) return kCpsrFlags | kModeSvc;
    return kCpsrFlags | (Board::current().config().privileged ? kModeSystem : kModeUser);
}

uint32_t readMainId() {
    if (!privileged())
        boardFault(
            "undefined instruction: mrc p15, 0, rN, c0, c0, 0 (CP15 main ID register) executed in user mode; "
            "the kernel ends the process");
    return Board::current().config().mainId;
}

uint32_t readKDataWord(uint32_t address) {
    auto it = core().kdata.find(address);
    if (it == core().kdata.end())
        boardFault("data abort: kernel data page word " + hex(address, 8) +
                   " is not modelled by the virtual board");
    return it->second;
}

uint32_t load32(uint32_t virtualAddr) {
    runDue();
    const uint32_t value = physRead32(physicalFor(virtualAddr, "read"));
    advanceNs(kRegisterAccessNs);
    return value;
}

void store32(uint32_t virtualAddr, uint32_t value) {
    runDue();
    physWrite32(physicalFor(virtualAddr, "write"), value);
    advanceNs(kRegisterAccessNs);
}

}  // namespace sim::cpu
