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
    uint64_t boardSerial = 0;       // the opening of the board the devices were made for
    const Mapping* last = nullptr;  // the mapping the last access went to
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
    if (m.built && m.boardSerial == board.serial()) return;
    m.byBase.clear();
    m.last = nullptr;
    m.building = true;
    m.boardSerial = board.serial();
    i2cbus::reset();  // the wires belong to the board's hardware too
    for (const DeviceFactory& f : factories()) f(board.config());
    m.building = false;
    m.built = true;
}

const Mapping* find(uint32_t addr) {
    ensureBuilt();
    PhysicalMap& m = physMap();
    // A driver works one device at a time: most accesses go where the last one went.
    if (m.last && addr - m.last->base < m.last->size) return m.last;
    auto it = m.byBase.upper_bound(addr);
    if (it == m.byBase.begin()) return nullptr;
    --it;
    const Mapping& mp = it->second;
    if (addr - mp.base >= mp.size) return nullptr;
    m.last = &mp;
    return &mp;
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
    physMap().last = nullptr;
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
    if (m.boardSerial != board.serial()) return;  // the next access rebuilds it all
    m.building = true;
    factory(board.config());
    m.building = false;
}

void resetPhysicalMapForTests() {
    PhysicalMap& m = physMap();
    i2cbus::reset();
    m.byBase.clear();
    m.last = nullptr;
    m.built = false;
    m.boardSerial = 0;
}

}  // namespace sim
