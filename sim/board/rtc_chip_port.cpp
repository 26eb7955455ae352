// The RTC chips' I2C interface, bit by bit, as a slave on the board's wires: each chip follows
// every start, repeated start and stop from the line edges, shifts in the address byte and
// acknowledges only its own address, acknowledges every byte it receives (the first byte of a
// write sets its register pointer, the rest are written to its registers), drives its bytes onto
// SDA when it is read, and keeps driving after the master acknowledged a byte: the first bit of
// the next byte goes onto SDA at once, so a master that acknowledges the last byte it wants, or
// stops in the middle of a read, finds SDA held low until it clocks that byte out.
//
// A chip changes SDA a hold time after SCL falls, never while SCL is high (that would be a start
// or a stop). Chips configured as absent never drive anything.
#include <memory>
#include <set>

#include "board.h"
#include "fault.h"
#include "format.h"
#include "i2c_bus.h"
#include "mmio.h"
#include "rtc_chip.h"

namespace sim {

namespace {

constexpr uint64_t kHoldNs = 300;  // SDA changes this long after SCL falls

class RtcChipPort : public BusDevice {
  public:
    RtcChipPort(const ChipConfig& config, const Crystal& crystal, uint64_t stretchNs)
        : model_(chipModel(config.protocol)),
          address_(config.address),
          key_(config.stateKey()),
          bus_(config.bus),
          crystal_(crystal),
          stretchNs_(stretchNs),
          driver_(i2cbus::addDriver("RTC chip at " + chipLabel(config), config.bus)) {}

    // The chip as the board's state holds it; a chip the state does not know yet starts with
    // the wall time.
    // `first`: the process has just looked at the bus; a chip left holding SDA by an earlier
    // process holds it from the start.
    void load(const BoardState& s, bool first = false) {
        auto it = s.chips.find(key_);
        chip_ = it != s.chips.end() ? it->second : model_.initialState(chipNow());
        if (chip_.protocol != model_.protocol)
            throw BoardError("state.json: chips." + chipLabel(address_, bus_) + ": a protocol " +
                             std::to_string(chip_.protocol) + " chip, but board.json puts a protocol " +
                             std::to_string(model_.protocol) + " chip there");
        base_ = chip_;
        written_.clear();
        inState_ = it != s.chips.end();
        dirty_ = !inState_;
        if (first) {
            if (chip_.bus.sdaLow) i2cbus::holdFromTheStart(BusLine::SDA, driver_);
        } else {
            drive(chip_.bus.sdaLow, std::nullopt);
        }
    }

    // The chip goes back into the board's state. Another process may have changed it since this
    // one loaded its copy (a tool that set its time while a program was on the bus): then the
    // two are merged, never overwritten.
    void store(BoardState& s) {
        if (!dirty()) return;
        dirty_ = false;
        auto it = s.chips.find(key_);
        if (it == s.chips.end()) {
            if (inState_) return;  // taken off the board meanwhile: nothing to write back
        } else if (!(it->second == base_)) {
            chip_ = merged(it->second);
        }
        s.chips[key_] = chip_;
        base_ = chip_;
        written_.clear();
        inState_ = true;
    }
    // A transfer that left the chip as it found it (a read of a register that did not change, say)
    // has nothing to write back.
    bool dirty() const { return dirty_ && (!inState_ || !sameAsBase()); }

    void lineChanged(BusLine line, const BusLevels& levels, uint64_t ns) override {
        SlaveBusState& b = chip_.bus;
        if (line == BusLine::SDA) {
            if (!levels.scl) return;  // data changing while the clock is low
            // A start or a stop ends whatever transfer went before.
            if (b.addressed) model_.transferEnded(chip_, chipNowAt(ns));
            if (!levels.sda) {
                // Start or repeated start: whatever was going on, an address byte follows.
                b = SlaveBusState{};
                b.phase = SlavePhase::Address;
            } else {
                b = SlaveBusState{};  // stop
                chip_.latch.reset();
            }
            dirty_ = true;
            return;
        }
        if (levels.scl)
            rise(levels.sda);
        else
            fall(ns);
    }

  private:
    // A clock that stands still only moved its reference point to the present, which tells
    // nothing: the chip shows what it showed.
    bool sameAsBase() const {
        if (!crystal_.still && !model_.clockStopped(chip_)) return chip_ == base_;
        ChipState a = chip_;
        a.clockAt = base_.clockAt;
        a.ticks = base_.ticks;
        return a == base_;
    }

    // A register this process wrote over the bus stands; any other register the other process
    // changed stands too; the rest is this process's copy. The time registers and the clock's
    // reference (with its phase) move together, so the other's time stands as a whole where this
    // process wrote no time register.
    ChipState merged(const ChipState& theirs) const {
        ChipState m = theirs;
        bool theirTime = theirs.clockAt != base_.clockAt || theirs.phase != base_.phase ||
                         theirs.ticks != base_.ticks || theirs.latch != base_.latch ||
                         theirs.halt != base_.halt || theirs.regs.size() != base_.regs.size();
        bool ourTime = false;
        for (size_t r = 0; r < base_.regs.size(); ++r) {
            if (!model_.isTimeRegister(static_cast<uint8_t>(r))) continue;
            theirTime = theirTime || (r < theirs.regs.size() && theirs.regs[r] != base_.regs[r]);
            ourTime = ourTime || written_.count(static_cast<uint8_t>(r));
        }
        for (size_t r = 0; r < m.regs.size() && r < chip_.regs.size() && r < base_.regs.size(); ++r) {
            const bool time = model_.isTimeRegister(static_cast<uint8_t>(r));
            if (written_.count(static_cast<uint8_t>(r)) ||
                (time ? !theirTime : theirs.regs[r] == base_.regs[r]))
                m.regs[r] = chip_.regs[r];
        }
        if (ourTime || !theirTime) {
            m.clockAt = chip_.clockAt;
            m.phase = chip_.phase;
            m.ticks = chip_.ticks;
            m.restartAtStop = chip_.restartAtStop;
            m.latch = chip_.latch;
            m.halt = chip_.halt;
        }
        if (theirs.pointer == base_.pointer) m.pointer = chip_.pointer;
        if (theirs.nakNext == base_.nakNext) m.nakNext = chip_.nakNext;
        if (theirs.bus == base_.bus) m.bus = chip_.bus;
        return m;
    }

    void rise(bool sda) {
        SlaveBusState& b = chip_.bus;
        if (b.phase == SlavePhase::Idle || b.phase == SlavePhase::Ignore) return;
        dirty_ = true;
        if (b.bit < 8) {
            if (b.phase != SlavePhase::Transmit)
                b.shift = static_cast<uint8_t>((b.shift << 1) | (sda ? 1 : 0));
            ++b.bit;
            return;
        }
        if (b.bit == 8) {
            // The acknowledge clock: a transmitter learns whether the master wants more.
            if (b.phase == SlavePhase::Transmit) b.reading = !sda;  // reading stays set while acknowledged
            b.bit = 9;
        }
    }

    void fall(uint64_t ns) {
        SlaveBusState& b = chip_.bus;
        if (b.phase == SlavePhase::Idle || b.phase == SlavePhase::Ignore) return;
        dirty_ = true;
        const uint64_t at = ns + kHoldNs;
        switch (b.phase) {
            case SlavePhase::Address:
            case SlavePhase::Receive:
                if (b.bit == 8)
                    return b.phase == SlavePhase::Address ? acknowledgeAddress(ns) : acceptByte(ns);
                if (b.bit != 9) return;
                // The acknowledge clock is over: let go of SDA and wait for the next byte.
                drive(false, at);
                b.bit = 0;
                b.shift = 0;
                if (b.phase == SlavePhase::Receive) return;
                if (b.reading) {
                    b.phase = SlavePhase::Transmit;
                    return nextByte(at);
                }
                b.phase = SlavePhase::Receive;
                return;
            case SlavePhase::Transmit:
                if (b.bit >= 1 && b.bit <= 7) return drive(!((b.shift >> (7 - b.bit)) & 1), at);
                if (b.bit == 8) return drive(false, at);  // the master's acknowledge slot
                if (b.bit == 9) {
                    b.bit = 0;
                    if (b.reading) return nextByte(at);
                    b.phase = SlavePhase::Ignore;  // not acknowledged: the chip lets go
                }
                return;
            default:
                return;
        }
    }

    void acknowledgeAddress(uint64_t ns) {
        SlaveBusState& b = chip_.bus;
        if ((b.shift >> 1) != address_) {
            b.phase = SlavePhase::Ignore;
            return;
        }
        if (chip_.nakNext > 0) {
            --chip_.nakNext;  // told to ignore this many address phases
            b.phase = SlavePhase::Ignore;
            return;
        }
        if (i2cbus::takeWithheldAck(bus_)) {
            b.phase = SlavePhase::Ignore;
            return;
        }
        model_.catchUp(chip_, crystal_, chipNowAt(ns));
        b.reading = b.shift & 1;
        b.addressed = true;
        b.bit = 8;
        if (b.reading) model_.latchForRead(chip_);
        acknowledge(ns);
    }

    void acceptByte(uint64_t ns) {
        SlaveBusState& b = chip_.bus;
        bool ack = !i2cbus::takeWithheldAck(bus_);
        if (ack && !b.gotPointer) {
            // The first byte of a write sets the register pointer; a register the chip does
            // not have is not acknowledged.
            ack = model_.setPointer(chip_, b.shift);
            b.gotPointer = ack;
        } else if (ack) {
            written_.insert(chip_.pointer);
            model_.writeRegister(chip_, chip_.pointer, b.shift, chipNowAt(ns));
            model_.advancePointer(chip_);
        }
        if (ack) acknowledge(ns);
    }

    void acknowledge(uint64_t ns) {
        drive(true, ns + kHoldNs);
        // A slow chip holds the clock low while it deals with the byte.
        if (stretchNs_) i2cbus::pull(BusLine::SCL, driver_, true, ns, ns + stretchNs_);
    }

    void nextByte(uint64_t at) {
        SlaveBusState& b = chip_.bus;
        b.shift = model_.readRegister(chip_, chip_.pointer);
        model_.advancePointer(chip_);
        drive(!(b.shift & 0x80), at);
    }

    void drive(bool low, std::optional<uint64_t> at) {
        chip_.bus.sdaLow = low;
        i2cbus::pull(BusLine::SDA, driver_, low, at);
    }

    const RtcChipModel& model_;
    uint8_t address_;
    uint8_t key_;  // in the state's chips
    I2cBusId bus_;
    Crystal crystal_;
    uint64_t stretchNs_;
    int driver_;
    ChipState chip_;
    ChipState base_;             // the chip as this process last loaded or stored it
    std::set<uint8_t> written_;  // registers this process has written over the bus since
    bool inState_ = false;       // the board's state held the chip then
    bool dirty_ = false;
};

struct ChipsOnBus {
    std::vector<std::shared_ptr<RtcChipPort>> ports;
};

// The chips load their state when the bus becomes busy and store it when it is free again.
void loadAll(const std::shared_ptr<ChipsOnBus>& chips) {
    const BoardState s = Board::current().readState();
    if (!s.power.on) boardFault("I2C bus used while the board is powered down");
    for (auto& p : chips->ports) p->load(s);
}

void storeAll(const std::shared_ptr<ChipsOnBus>& chips) {
    bool any = false;
    for (auto& p : chips->ports) any = any || p->dirty();
    if (!any) return;
    Board::current().updateState([&](BoardState& s) {
        for (auto& p : chips->ports) p->store(s);
    });
}

DeviceFactoryRegistration gChips([](const BoardConfig& config) {
    for (I2cBusId bus : kI2cBuses) {
        auto chips = std::make_shared<ChipsOnBus>();
        for (const ChipConfig& c : config.chips) {
            if (!c.present || c.bus != bus) continue;
            auto port =
                std::make_shared<RtcChipPort>(c, crystalOf(config, c), config.faults.i2cClockStretchNs);
            chips->ports.push_back(port);
            i2cbus::attach(port, bus);
        }
        if (chips->ports.empty()) continue;
        // A chip left in the middle of a byte by an earlier process holds SDA from the start.
        const BoardState s = Board::current().readState();
        for (auto& p : chips->ports) p->load(s, true);
        i2cbus::onBusy([chips] { loadAll(chips); }, bus);
        i2cbus::onIdle([chips] { storeAll(chips); }, bus);
    }
});

}  // namespace

}  // namespace sim
