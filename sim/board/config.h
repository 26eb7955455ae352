// A board's configuration (board.json): what the board is made of and how it misbehaves. Read
// strictly: an unknown key, a value of the wrong type or out of range is refused with the file
// and the field named, so a test never believes a fault was injected that was not.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "i2c_bus.h"
#include "json_fields.h"
#include "state.h"

namespace sim {

struct ChipConfig {
    int protocol = 1;
    uint8_t address = 0x68;
    bool frozen = false;  // this chip's clock stands still (a stopped oscillator)
    bool present = true;  // false: configured, but never answers
    double ppm = 0;       // the crystal's error: the chip gains this many millionths (negative: loses)
    I2cBusId bus = I2cBusId::Standard;  // board.json "bus": "std" (absent) or "pwr"

    // Its key among the state's chips (kPowerManagerBusKey set for the power-manager bus).
    uint8_t stateKey() const {
        return static_cast<uint8_t>(address | (bus == I2cBusId::PowerManager ? kPowerManagerBusKey : 0));
    }
};
// "0x68" for a chip on the standard bus, "pwr:0x68" on the power-manager bus, as the board tool
// shows and takes them.
std::string chipLabel(uint8_t address, I2cBusId bus);
inline std::string chipLabel(const ChipConfig& c) {
    return chipLabel(c.address, c.bus);
}
// "std" or "pwr", as board.json and the board tool name the buses.
const char* busName(I2cBusId bus);

// A crystal error beyond 1 % is no crystal any more.
constexpr double kMaxCrystalPpm = 10000;

enum class ApiReady { AtStart, AfterMs, Never };

// What an injected fault does to the byte it strikes (bytes are counted per process from 1,
// address, register and data bytes alike, across both I2C units).
enum class ByteFault {
    Nak,                     // the addressed chip does not acknowledge it
    ArbitrationLoss,         // another master wins the bus during it
    BusError,                // a bus error while it is received
    Stop,                    // it completes, and a stop condition is reported with it
    SlaveAddress,            // it completes, and the unit reports being addressed as a slave
    GeneralCall,             // it completes, and the unit reports a general call
    StayBusy,                // from its completion on (byte 0: from the start) the unit stays busy
    NoInterrupt,             // it completes, but its interrupt never comes
    InterruptWithoutStatus,  // instead of moving it, the unit interrupts with no status bit
};
const char* byteFaultName(ByteFault f);
std::optional<ByteFault> byteFaultByName(const std::string& name);
std::vector<std::string> byteFaultNames();

struct FaultConfig {
    // The platform's kernel and HAL.
    bool kernelBridgeAbsent = false;       // "kernelBridge": "absent"
    bool bridgeHandlerPlain = false;       // "bridgeHandler": "plain"
    bool programTrustRun = false;          // "programTrust": "run"
    std::string bridgeProbe;               // "zero" | "fail" | "" (works)
    bool requestSysIntrRefused = false;    // "requestSysIntr": "refuse"
    bool duplicateHandleFails = false;     // "duplicateHandle": "fail"
    bool virtualAllocFails = false;        // "virtualAlloc": "fail"
    bool virtualCopyFails = false;         // "virtualCopy": "fail"
    bool moduleFileNameFails = false;      // "moduleFileName": "fail"
    std::vector<uint32_t> localAllocFail;  // the N-th LocalAlloc of a process fails
    // Clock gating and GPIO pads.
    std::vector<uint32_t> clockStuckBits;    // clock-enable bits that never read back as 1
    std::vector<uint32_t> clockStuckOnBits;  // ... never as 0
    std::vector<uint32_t> gpioInputsLow;     // pads the board holds low
    // The I2C bus.
    std::map<uint32_t, ByteFault> i2cBytes;  // "i2c": [{"byte": N, "fault": "nak"}, ...]
    std::optional<int> i2cStuckSda;          // pulses a stuck slave needs to let go; -1: never
    std::optional<int64_t> i2cSclLowMs;      // SCL held low from the process start; -1: for good
    uint64_t i2cClockStretchNs = 0;          // every chip holds SCL low this long after each byte

    bool any() const;
};

// How long the operating system takes to get to an interrupt's waiting thread. Defaults are the
// order of magnitude of an XScale part running this OS: the interrupt reaches the kernel's
// handler 10-15 us after the line rises, and waking the thread that waits on the event costs a
// thread switch more.
struct TimingConfig {
    uint64_t interruptLatencyNs = 12000;
    uint64_t threadWakeNs = 8000;
};

// When the I2C unit's read/write-mode status bit clears. The processor manuals have it cleared by
// hardware after a stop; QEMU's model keeps it until the next address byte in the write
// direction. Selectable, so that a driver can be tried against both readings.
enum class RwmClears { AtStop, AtNextWriteAddress };

struct BoardConfig {
    uint32_t mainId = 0x69054117;  // processor ID 17
    bool privileged = false;       // the program runs in user mode unless the board says otherwise
    std::string programPath = "\\Windows\\Tamblin.exe";
    std::map<std::string, std::string> apps;  // device path -> host executable
    bool frozen = false;                      // process timing is virtual; the clocks stand still...
    bool virtualClocks = false;               // ... unless they run on that virtual time ("clock": "virtual")
    TimeZoneConfig timeZone;
    ApiReady apiReady = ApiReady::AtStart;
    uint32_t apiReadyAfterMs = 0;
    std::vector<ChipConfig> chips;
    FaultConfig faults;
    TimingConfig timing;
    RwmClears rwmClears = RwmClears::AtStop;
    std::string comment;

    const ChipConfig* chipAt(uint8_t address, I2cBusId bus = I2cBusId::Standard) const;
    // The wall clocks (system clock, chips) stand still: a frozen board whose clocks are not virtual.
    bool clocksStill() const { return frozen && !virtualClocks; }
};

// board.json <-> BoardConfig; parsing throws BoardError naming the file and the field.
// The zone record alone (board.json's "timeZone"; state.json's zone not yet flushed) has the same
// form and checks in both files.
TimeZoneConfig timeZoneFrom(const Field& f);
json timeZoneToJson(const TimeZoneConfig& t);
BoardConfig parseBoardConfig(const json& j, const std::string& file);
json boardConfigToJson(const BoardConfig& c);
FaultConfig parseFaults(const Field& f);
// The same from a JSON object written in code (tests, tools); refusals name "faults".
FaultConfig faultsFromJson(const json& j);
json faultsToJson(const FaultConfig& f);

// The processors the program knows, each with the main ID register value a board of it has.
struct KnownProcessor {
    uint32_t id;
    uint32_t mainId;
};
inline constexpr KnownProcessor kKnownProcessors[] = {
    {2, 0x69052020},           // ARMv5, product number 2
    {8, 0x69052080},           //
    {9, 0x69052090},           //
    {17, 0x69054117},          // ARMv5, product number 0x11
    {0x0411FC09, 0x411FC090},  // Cortex-A9 class, revision 0
};
// "2, 8, 9, 17 or 0x0411FC09", with `mark` after `markedId` ("17 (default)").
std::string knownProcessorsText(uint32_t markedId = 0, const std::string& mark = "");

// Main ID register values for the processor IDs the program knows; for others, see config.cpp.
uint32_t mainIdForProcessor(uint32_t processorId);
// The processor ID a main ID stands for (0 when unknown).
uint32_t processorIdForMainId(uint32_t mainId);

// Biases beyond a day either way are no time zone.
constexpr int32_t kMaxBiasMinutes = 24 * 60;
// The most entries a list of faults may have.
constexpr size_t kMaxFaultEntries = 1000;

}  // namespace sim
