// The board's physical address space: the register blocks of the device models.
//
// A device model is an MmioDevice mapped at a physical base. Models register a factory, which
// maps them for the board's configuration the first time this process touches the physical
// address space (and again after a switch to another board):
//
//     namespace {
//     sim::DeviceFactoryRegistration gTimer([](const sim::BoardConfig& config) {
//         sim::mapDevice(0x40A00000, 0x1000, std::make_shared<OsTimer>(config));
//     });
//     }
//
// Accesses are 32-bit and aligned; an access where no device answers is a bus fault.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "board.h"

namespace sim {

class MmioDevice {
  public:
    virtual ~MmioDevice() = default;
    virtual const char* name() const = 0;
    // `offset` is from the base the device was mapped at; always a multiple of 4.
    virtual uint32_t read32(uint32_t offset) = 0;
    virtual void write32(uint32_t offset, uint32_t value) = 0;
};

// Builds the board's devices (and its I2C wires) for this process if that has not happened yet;
// register accesses do it on their own.
void ensureBoardHardware();

// Places a device at [physBase, physBase + size). Overlapping another device is a board
// configuration error (boardFault).
void mapDevice(uint32_t physBase, uint32_t size, std::shared_ptr<MmioDevice> device);
// The device at a physical address and the offset into it; null where nothing answers.
std::shared_ptr<MmioDevice> deviceAt(uint32_t physAddr, uint32_t* offset = nullptr);

// Bus cycles. Nothing there, or an unaligned address: boardFault.
uint32_t physRead32(uint32_t physAddr);
void physWrite32(uint32_t physAddr, uint32_t value);

using DeviceFactory = std::function<void(const BoardConfig&)>;
void registerDeviceFactory(DeviceFactory factory);
struct DeviceFactoryRegistration {
    explicit DeviceFactoryRegistration(DeviceFactory factory) { registerDeviceFactory(std::move(factory)); }
};

// Tests: forget every mapped device; the factories map theirs again at the next access.
void resetPhysicalMapForTests();

}  // namespace sim
