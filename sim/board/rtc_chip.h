// The battery-backed RTC chips the board can carry, one model per chip type (rtc_chip_p1.cpp ..
// rtc_chip_p4.cpp), selected by the protocol number the program's registry uses for it.
//
// Every chip keeps a BCD clock in seven time registers, counts once a second with every carry
// (month lengths, leap years; the chips know no century, so every year divisible by four is a
// leap year) and has a register pointer that a write sets and every byte moves on. What sets the
// chips apart is in their models: where the time sits, which bits flag a time the chip does not
// vouch for, what stops its clock, what a lost backup supply and a power-down leave behind.
//
// A chip's state (sim::ChipState) is persisted with the board; a model holds no state of its own
// and acts on the state it is given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "state.h"

namespace sim {

// The time as a chip's registers hold it: values as decoded from the BCD digits, unvalidated.
struct ChipTime {
    unsigned year2 = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    unsigned weekday = 0;  // the chip's own weekday count
};

// Where a chip keeps its time fields.
struct TimeRegisters {
    uint8_t seconds, minutes, hours, weekday, day, month, year;
    unsigned sunday;  // the weekday register's value for Sunday (its count runs sunday..sunday+6)
};

class RtcChipModel {
  public:
    RtcChipModel(int protocol, uint8_t defaultAddress, size_t registerCount, TimeRegisters time);
    virtual ~RtcChipModel() = default;

    const int protocol;
    const uint8_t defaultAddress;
    const size_t registerCount;
    const TimeRegisters time;

    // A new chip holding the wall time `fileTime` (valid, running).
    ChipState initialState(int64_t fileTime) const;

    // ---- Register-keyed handlers: what the bus sees ----------------------------------------
    // A read of `reg` (a read is latched at its start: see latchForRead).
    virtual uint8_t readRegister(const ChipState& chip, uint8_t reg) const;
    // A write of `reg`, with whatever the chip does on it. `now` is the host file time.
    virtual void writeRegister(ChipState& chip, uint8_t reg, uint8_t value, int64_t now) const;
    // The register pointer: a write's first byte sets it (false: the chip does not acknowledge
    // a register it does not have), every byte moves it on, wrapping at the end of the file.
    virtual bool setPointer(ChipState& chip, uint8_t value) const;
    void advancePointer(ChipState& chip) const;
    // A read sees the registers as they were at its start, even across a second boundary.
    void latchForRead(ChipState& chip) const;

    // ---- The chip's clock -------------------------------------------------------------------
    // Brings the clock up to `now` (a host file time); a stopped or frozen clock only moves its
    // reference point.
    void catchUp(ChipState& chip, bool frozen, int64_t now) const;
    virtual bool clockStopped(const ChipState& chip) const;
    // The registers as a read sees them (a halted chip shows the time it halted at).
    virtual std::vector<uint8_t> visibleRegisters(const ChipState& chip) const;
    ChipTime timeOf(const std::vector<uint8_t>& regs) const;
    // Sets the time digits (bits above them are kept), as a write of the time registers would.
    void setTime(ChipState& chip, const ChipTime& t, int64_t now) const;
    // Moves the time registers on by `seconds`, every carry included.
    void tick(std::vector<uint8_t>& regs, uint64_t seconds) const;

    // ---- What the chip reports and what happens to it ---------------------------------------
    // The flag the chip raises when it no longer vouches for its time.
    virtual bool timeInvalid(const std::vector<uint8_t>& regs) const = 0;
    // Human-readable state bits for the board tool ("oscillator stopped", "halted", ...).
    virtual std::vector<std::string> describe(const ChipState& chip) const;
    // The backup supply failed while the board was off: the chip restarts from its power-on
    // state (2000-01-01 00:00:00, a Saturday) with its invalid-time flag set.
    virtual void loseBackupSupply(ChipState& chip, int64_t now) const;
    // The board's own supply goes away; the chip runs on from its backup supply.
    virtual void powerDown(ChipState& chip, int64_t now) const;

    bool isTimeRegister(uint8_t reg) const;

  protected:
    // Registers after a power-on reset, before the time is set.
    virtual std::vector<uint8_t> resetRegisters() const;
    // Places the time digits; the bits above them stay.
    void setTimeDigits(std::vector<uint8_t>& regs, const ChipTime& t) const;
};

// The model for a protocol number; BoardError for one no chip has.
const RtcChipModel& chipModel(int protocol);
size_t chipRegisterCount(int protocol);  // 0 for a protocol no chip has

// The wall clock the chips follow: the host's (tests may set another).
int64_t chipNow();
void setChipTimeSourceForTests(int64_t (*source)());

// BCD helpers for models: the value of the digits under `mask`, and digits placed under it.
unsigned bcdValue(uint8_t reg, uint8_t mask);
void bcdPut(uint8_t& reg, uint8_t mask, unsigned value);

}  // namespace sim
