#include "mmio.h"

#include <cstdio>
#include <map>
#include <vector>

#include "fault.h"
#include "format.h"
#include "i2c_bus.h"

namespace sim {

namespace {

struct Mapping {
    uint32_t base;
    uint32_t size;
    std::shared_ptr<MmioDevice> device;
};

struct PhysicalMap {
    std::map<uint32_t, Mapping> byBase;
    bool built = false;
    bool building = false;
    const Board* board = nullptr;  // the board the devices were made for
    std::string boardDir;
};

PhysicalMap& physMap() {
    static PhysicalMap m;
    return m;
}

std::vector<DeviceFactory>& factories() {
    static std::vector<DeviceFactory> f;
    return f;
}

// Device models belong to a board: a process that switches boards gets that board's devices.
void ensureBuilt() {
    PhysicalMap& m = physMap();
    if (m.building) return;
    const Board& board = Board::current();
    if (m.built && m.board == &board && m.boardDir == board.dir()) return;
    m.byBase.clear();
    m.building = true;
    m.board = &board;
    m.boardDir = board.dir();
    i2cbus::reset();  // the wires belong to the board's hardware too
    for (const DeviceFactory& f : factories()) f(board.config());
    m.building = false;
    m.built = true;
}

const Mapping* find(uint32_t addr) {
    ensureBuilt();
    auto& byBase = physMap().byBase;
    auto it = byBase.upper_bound(addr);
    if (it == byBase.begin()) return nullptr;
    --it;
    const Mapping& mp = it->second;
    return addr - mp.base < mp.size ? &mp : nullptr;
}

const Mapping& deviceForCycle(uint32_t addr, const char* what) {
    if (addr & 3u)
        boardFault(std::string("alignment fault: 32-bit ") + what + " at physical address " + hex(addr, 8));
    const Mapping* mp = find(addr);
    if (!mp)
        boardFault(std::string("bus fault: 32-bit ") + what + " at physical address " + hex(addr, 8) +
                   ", where the board has no device");
    return *mp;
}

}  // namespace

void ensureBoardHardware() {
    ensureBuilt();
}

void mapDevice(uint32_t physBase, uint32_t size, std::shared_ptr<MmioDevice> device) {
    ensureBuilt();
    if (!device || size == 0 || (physBase & 3u) || physBase + (size - 1) < physBase)
        boardFault("board configuration: bad device mapping at " + hex(physBase, 8));
    auto& byBase = physMap().byBase;
    for (const auto& [base, mp] : byBase) {
        if (physBase <= mp.base + (mp.size - 1) && mp.base <= physBase + (size - 1))
            boardFault(std::string("board configuration: ") + device->name() + " at " + hex(physBase, 8) +
                       " overlaps " + mp.device->name() + " at " + hex(mp.base, 8));
    }
    byBase[physBase] = Mapping{physBase, size, std::move(device)};
}

std::shared_ptr<MmioDevice> deviceAt(uint32_t physAddr, uint32_t* offset) {
    const Mapping* mp = find(physAddr);
    if (!mp) return nullptr;
    if (offset) *offset = physAddr - mp->base;
    return mp->device;
}

uint32_t physRead32(uint32_t physAddr) {
    const Mapping& mp = deviceForCycle(physAddr, "read");
    auto device = mp.device;  // a model may remap while it runs
    return device->read32(physAddr - mp.base);
}

void physWrite32(uint32_t physAddr, uint32_t value) {
    const Mapping& mp = deviceForCycle(physAddr, "write");
    auto device = mp.device;
    device->write32(physAddr - mp.base, value);
}

void registerDeviceFactory(DeviceFactory factory) {
    factories().push_back(factory);
    // Registered after the map was made (a test's own device): it joins the current board now.
    PhysicalMap& m = physMap();
    if (!m.built || m.building) return;
    const Board& board = Board::current();
    if (m.board != &board || m.boardDir != board.dir()) return;  // the next access rebuilds it all
    m.building = true;
    factory(board.config());
    m.building = false;
}

void resetPhysicalMapForTests() {
    PhysicalMap& m = physMap();
    i2cbus::reset();
    m.byBase.clear();
    m.built = false;
    m.board = nullptr;
    m.boardDir.clear();
}

}  // namespace sim
