// The RTC chips on the board's I2C bus. Each chip acknowledges only its own address and moves
// bytes in and out of its register file through an internal register pointer; its BCD clock
// ticks once a second in the time registers. A chip's state lives in the board's state.json
// under "chips" keyed by its address ("0x68"), and every bus event is one locked
// read-modify-write of that state, so all processes on the board see the same chip.
//
// Chip state: "protocol"; "regs", the register file with the time registers as of "clockAt"
// (host file time of the chip's last whole second); "pointer"; "latch", the registers as the
// read in progress sees them; "halt" (protocol 4), the time registers frozen at a power-down;
// "nakNext", the number of coming address phases that the chip leaves unacknowledged.
//
// Chip entries in board.json may add "frozen": true (the chip's clock stands still, as every
// clock does on a frozen board) and "present": false (the chip never answers).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board.h"

namespace sim {

uint8_t defaultChipAddress(int protocol);
size_t chipRegisterCount(int protocol);
bool chipConfigKeyKnown(const std::string& key);
std::string chipKey(uint8_t address);  // "0x68"

// The state of a new chip: registers holding the given wall time (a file time), valid.
json initialChipState(const ChipConfig& chip, int64_t fileTime);

// The time as a chip's registers hold it (values as decoded from the BCD digits, unvalidated).
struct ChipTime {
    unsigned year2 = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    unsigned weekday = 0;  // the chip's own weekday count: 1..7 (protocols 1, 2, 4) or 0..6 (3)
};
ChipTime decodeChipTime(int protocol, const std::vector<uint8_t>& regs);
bool chipTimeInvalidFlag(int protocol, const std::vector<uint8_t>& regs);
// Registers of the time fields, in the order seconds, minutes, hours, weekday, day, month, year.
std::vector<uint8_t> chipTimeRegisters(int protocol);

// Moves the time registers on by `seconds`, carrying into minutes, hours, weekday, day of month
// (month lengths, leap years), month and the two-digit year. Bits above the digits are kept.
void tickChipClock(int protocol, std::vector<uint8_t>& regs, uint64_t seconds);

// Per-chip settings from board.json.
struct ChipSettings {
    bool present = true;
    bool frozen = false;  // the board's clock setting or the chip's own
};
ChipSettings chipSettings(const BoardConfig& config, uint8_t address);

// The chip behaviours below act on one chip's state object; the caller holds the state lock.
// Brings the clock up to `now` (a host file time).
void chipCatchUp(json& chip, const ChipSettings& settings, int64_t now);
// The register file as a read sees it (protocol 4 with its halt bit set: frozen time).
std::vector<uint8_t> chipVisibleRegisters(const json& chip);
// One byte written to a register, with the chip's reaction (clock stop and start, the halt bit,
// a flag that can only be cleared).
void chipWriteRegister(json& chip, uint8_t reg, uint8_t value, int64_t now);
// Sets the time digits (bits above them are kept), as a write of the time registers would.
void chipSetTime(json& chip, const ChipTime& t, int64_t now);
// The chip lost its backup supply while the board was off: it restarts from its power-on state
// (2000-01-01 00:00:00, a Saturday, other registers at their reset values) with the invalid-time
// flag set, and runs from `now`.
void chipLoseBackupPower(json& chip, int64_t now);
// The board's supply goes away (protocol 4: the halt bit is set and the time registers freeze).
void chipPowerDown(json& chip, int64_t now);

// The board's power: down keeps every chip on its backup supply; up boots the board afresh
// (uptime from zero, and the system clock, which has no backup supply of its own, starting at
// `systemClockAtBoot` when given). Recorded in the state as "power": {"on", "changedAt"}.
void powerDownBoard();
void powerUpBoard(std::optional<int64_t> systemClockAtBoot);
bool boardPoweredOn(const json& state);

// Tests: the wall clock that the chips follow (null: the host's).
void setChipTimeSourceForTests(int64_t (*source)());

// The board's I2C bus seen from a master, one bus event per call. The transaction-level bus and
// the register-level controller both drive the chips through it.
class I2cBus {
  public:
    // Start (or repeated start) followed by the address byte. True when a chip acknowledged.
    bool start(uint8_t addressByte);
    // A byte sent by the master to the addressed chip; true when acknowledged.
    bool writeByte(uint8_t value);
    // A byte sent by the addressed chip; `masterAck` false for the last byte of a read.
    uint8_t readByte(bool masterAck);
    void stop();

  private:
    int selected_ = -1;  // address of the acknowledging chip, -1 when nobody answered
    bool reading_ = false;
    bool pointerSet_ = false;
    bool released_ = false;  // the master did not acknowledge the last byte: the chip lets go
};

I2cBus& boardBus();

}  // namespace sim
