// Device model: the processor's I2C units (standard unit 0x40301680, power-manager unit
// 0x40F00180) at register level, as the XScale-class processor manuals describe them, on the
// board's bit-level bus.
//
// A byte is started by a control write that sets TB; the unit clocks it out (or in) on the wires,
// edge by edge, waiting whenever somebody else holds SCL low (clock stretching), and when its
// acknowledge cycle is over it clears TB, records the event in ISR and raises its interrupt line
// while the matching enable is set. Between bytes the unit holds SCL low (a wait state) until
// software sets TB again.
//
// Injected faults, from board.json "faults" (see config.h): "i2c": [{"byte": N, "fault": F}]
// strikes the N-th byte this process's units start; each strike is noted in the trace.
#include "pxa_i2c.h"

#include <algorithm>
#include <map>
#include <memory>
#include <string>

#include "board.h"
#include "clocks.h"
#include "fault.h"
#include "format.h"
#include "gpio_pins.h"
#include "i2c_bus.h"
#include "i2c_trace.h"
#include "interrupt_controller.h"
#include "mmio.h"
#include "power_manager.h"
#include "reglog.h"
#include "simtime.h"

namespace sim {

namespace {

using namespace pxa_i2c;

constexpr uint32_t kIcrBits = 0xFFFF;

// Bytes are counted across the process's units, as the fault schedule counts them.
unsigned gBytesStarted = 0;

class PxaI2cUnit : public MmioDevice, public BusDevice, public std::enable_shared_from_this<PxaI2cUnit> {
  public:
    PxaI2cUnit(const BoardConfig& config, bool powerManagerUnit)
        : pm_(powerManagerUnit),
          bus_(powerManagerUnit ? I2cBusId::PowerManager : I2cBusId::Standard),
          faults_(config.faults.i2cBytes),
          rwmClears_(config.rwmClears),
          driver_(i2cbus::addDriver(powerManagerUnit ? "power-manager I2C unit" : "I2C unit", bus_)) {
        auto it = faults_.find(0);
        stayBusy_ = it != faults_.end() && it->second == ByteFault::StayBusy;
        for (const auto& [byte, fault] : faults_)
            if (fault == ByteFault::ArbitrationLoss && otherMaster_ < 0)
                otherMaster_ = i2cbus::addDriver("another master (fault)", bus_);
    }

    const char* name() const override { return pm_ ? "power-manager I2C unit" : "I2C unit"; }

    uint32_t read32(uint32_t offset) override {
        const uint32_t value = readRegister(offset);
        logRegisterAccess({base() + offset, false, value, false});
        return value;
    }

    void write32(uint32_t offset, uint32_t value) override {
        logRegisterAccess({base() + offset, true, value, false});
        writeRegister(offset, value);
    }

    // The unit watches the bus for other masters: a start it did not make makes the bus busy
    // until the next stop.
    //
    // A stop on the bus, whoever made it, clears RWM. The manuals define RWM only as the R/W bit
    // of the last address byte and do not say when it clears; they do say that a unit that is
    // not master is a slave receiver, whose RWM is 0. The field agrees: the driver refuses to
    // start while bit 0 is set, and its protocol-2 store reads a register and then writes one,
    // which could not have worked on shipped boards if RWM outlived the stop of the read. QEMU
    // keeps the bit until the next write address; board.json "rwmClears" selects that reading.
    void lineChanged(BusLine line, const BusLevels& levels, uint64_t) override {
        if (line != BusLine::SDA || !levels.scl || !routed()) return;
        if (!levels.sda && !drivingSdaLow_) otherBusy_ = true;
        if (levels.sda) {
            otherBusy_ = false;
            if (rwmClears_ == RwmClears::AtStop) rwm_ = false;
        }
    }

  private:
    uint32_t base() const { return pm_ ? kI2cPowerManagerUnit : kI2cStandardUnit; }

    uint32_t readRegister(uint32_t offset) {
        if (!clockOn()) return 0;  // a gated unit does not answer: the bus reads zeros
        switch (offset) {
            case IBMR: {
                // The pins as the unit sees them; away from its pins it sees their pull-ups.
                if (!routed()) return IBMR_SDA | IBMR_SCL;
                i2cbus::settle(nowNs(), bus_);
                return (i2cbus::high(BusLine::SDA, bus_) ? IBMR_SDA : 0) |
                       (i2cbus::high(BusLine::SCL, bus_) ? IBMR_SCL : 0);
            }
            case IDBR:
                return idbr_;
            case ICR:
                return icr_;
            case ISR:
                return status();
            case ISAR:
                return isar_;
        }
        reserved(offset, "read");
    }

    void writeRegister(uint32_t offset, uint32_t value) {
        if (!clockOn()) return;  // writes to a gated unit are lost
        switch (offset) {
            case IBMR:
                return;  // read-only
            case IDBR:
                idbr_ = value & 0xFF;
                return;
            case ISR:
                // Writing 1 clears an event bit; writing 0 changes nothing. Bits 0..3 are the
                // unit's state and ignore writes.
                events_ &= ~(value & ISR_EVENTS);
                silent_ &= events_;
                bareInterrupt_ = false;
                updateIrq();
                return;
            case ISAR:
                isar_ = value & 0x7F;
                return;
            case ICR:
                writeControl(value & kIcrBits);
                return;
        }
        reserved(offset, "write");
    }

    [[noreturn]] void reserved(uint32_t offset, const char* what) {
        boardFault(std::string("bus fault: 32-bit ") + what + " of reserved offset " + hex(offset, 8) +
                   " of the " + name());
    }

    // ISR: RWM follows the R/W bit of the last address byte the unit sent; ACKNAK is the
    // acknowledge bit of the last byte (1: not acknowledged); UB is set while the unit is master
    // of a transaction, from its start until its stop; IBB while the bus is busy without it (a
    // transaction of another master, or a line held low by somebody else).
    uint32_t status() {
        uint32_t s = events_;
        if (rwm_ || stayBusy_) s |= ISR_RWM;
        if (acknak_) s |= ISR_ACKNAK;
        if (master_ || stayBusy_) s |= ISR_UB;
        if (!master_ && routed()) {
            i2cbus::settle(nowNs(), bus_);
            if (otherBusy_ || !i2cbus::high(BusLine::SCL, bus_) || !i2cbus::high(BusLine::SDA, bus_))
                s |= ISR_IBB;
        }
        return s;
    }

    bool clockOn() const { return i2cUnitClockRunning(pm_); }

    bool routed() const { return pm_ ? powerManagerI2cRouted() : i2cPinsRoutedToController(); }

    uint64_t bitNs() const { return (icr_ & ICR_FM) ? kI2cFastBitNs : kI2cStandardBitNs; }

    // ---- The wires ------------------------------------------------------------------------
    // Away from its pins the unit's drivers reach nothing, and it reads the pins' pull-ups.
    void drive(BusLine line, bool low, uint64_t t) {
        if (line == BusLine::SDA) drivingSdaLow_ = low;
        if (routed()) i2cbus::pull(line, driver_, low, t);
    }
    bool sample(BusLine line, uint64_t t) {
        if (!routed()) return true;
        i2cbus::settle(t, bus_);
        return i2cbus::high(line, bus_);
    }
    // Lets SCL rise at `t` and waits while somebody holds it low; false when nobody ever lets go.
    bool releaseScl(uint64_t& t) {
        drive(BusLine::SCL, false, t);
        if (!routed()) return true;
        const std::optional<uint64_t> up = i2cbus::lowUntil(BusLine::SCL, t, bus_);
        if (!up) return false;
        t = *up;
        return true;
    }
    // SDA first: let go while SCL is still low, that is no start or stop of the unit's own.
    void releaseLines(uint64_t t) {
        drive(BusLine::SDA, false, t);
        drive(BusLine::SCL, false, t);
    }

    // One bit: SDA set a quarter bit after SCL fell, sampled when SCL has risen, SCL low again a
    // bit time after it fell. `sent` false: the unit lets SDA go and reads what others drive.
    enum class Bit { Done, Stalled, Lost };
    Bit clockBit(uint64_t& t, bool level, bool* read) {
        const uint64_t T = bitNs();
        drive(BusLine::SDA, !level, t + T / 4);
        t += T / 2;
        if (!releaseScl(t)) return Bit::Stalled;
        const bool seen = sample(BusLine::SDA, t);
        if (read) *read = seen;
        // Arbitration: the unit let SDA go and finds it low.
        if (level && !seen && !read) return Bit::Lost;
        t += T / 2;
        drive(BusLine::SCL, true, t);
        return Bit::Done;
    }

    // ---- Control ----------------------------------------------------------------------------
    void writeControl(uint32_t value) {
        const uint32_t before = icr_;
        icr_ = value;
        if (value & ICR_UR) {
            // Held in reset: the unit lets go of the bus and forgets its state and its events.
            if (pending_) cancelEvent(pending_);
            pending_ = 0;
            events_ = silent_ = 0;
            bareInterrupt_ = false;
            idbr_ = 0;
            isar_ = 0;
            master_ = rwm_ = acknak_ = otherBusy_ = false;
            releaseLines(std::max(nowNs(), i2cbus::lastChangeNs(bus_)));
            updateIrq();
            return;
        }
        if (!(value & ICR_IUE)) {
            // A disabled unit drives nothing and starts nothing.
            if (master_) releaseLines(std::max(nowNs(), i2cbus::lastChangeNs(bus_)));
            master_ = false;
        } else if ((value & ICR_TB) && !(before & ICR_TB) && !pending_) {
            startByte();
        } else if ((value & ICR_MA) && !(value & ICR_TB) && !pending_) {
            masterAbort();
        }
        updateIrq();
    }

    // Master abort: a stop condition without another byte. A unit that is not master has
    // nothing to end.
    void masterAbort() {
        if (!master_) return;
        uint64_t t = std::max(nowNs(), i2cbus::lastChangeNs(bus_));
        sendStop(t);
    }

    // SDA rises while SCL is high. A slave that holds SDA low keeps it from happening: the unit
    // has done its part and is master no longer, but the bus stays busy.
    bool sendStop(uint64_t& t) {
        const uint64_t T = bitNs();
        drive(BusLine::SDA, true, t + T / 4);
        t += T / 2;
        if (!releaseScl(t)) return false;
        t += T / 2;
        drive(BusLine::SDA, false, t);
        master_ = false;
        return true;
    }

    // Waits for a free bus: both lines high and no transaction open. Nullopt: it never is.
    std::optional<uint64_t> busFreeAt(uint64_t t) {
        if (!routed()) return t;
        const std::optional<uint64_t> scl = i2cbus::lowUntil(BusLine::SCL, t, bus_);
        const std::optional<uint64_t> sda = i2cbus::lowUntil(BusLine::SDA, t, bus_);
        if (!scl || !sda || otherBusy_) return std::nullopt;
        return std::max(*scl, *sda);
    }

    void startByte() {
        if (!(icr_ & ICR_SCLE)) return;  // without its clock output the unit cannot move a byte
        const unsigned index = ++gBytesStarted;
        auto f = faults_.find(index);
        const std::optional<ByteFault> fault =
            f == faults_.end() ? std::nullopt : std::optional<ByteFault>(f->second);
        uint64_t t = std::max(nowNs(), i2cbus::lastChangeNs(bus_));
        if (fault) traceFault(t, std::string(byteFaultName(*fault)) + " on byte " + std::to_string(index));
        const uint64_t T = bitNs();
        if (fault == ByteFault::InterruptWithoutStatus) {
            finishAt(t + 9 * T, [](PxaI2cUnit& u) { u.bareInterrupt_ = true; });
            return;
        }
        const bool start = icr_ & ICR_START;
        if (!start && !master_) {
            // Not master and no start: the unit would move the byte as a slave once a master
            // addressed it. Nobody will.
            return;
        }
        if (start && !beginTransaction(t, fault == ByteFault::ArbitrationLoss)) return;
        const bool sending = start || !rwm_;
        if (sending && fault == ByteFault::Nak) i2cbus::withholdNextAck(bus_);
        if (!start && fault == ByteFault::ArbitrationLoss) {
            loseArbitration(t, false);
            return;
        }

        // The eight data bits and the acknowledge bit. Arbitration lost in an address byte sends
        // the start and the address again (a few times at most: a wire that keeps losing is a
        // stuck one).
        uint8_t received = 0;
        for (int attempt = 0;; ++attempt) {
            const Bit b = clockData(t, sending, &received);
            if (b == Bit::Done) break;
            if (b == Bit::Stalled) return;  // SCL held low for good: the byte never ends
            if (!start) {
                loseArbitration(t, false);
                return;
            }
            if (attempt == 7 || !retryAfterLoss(t)) return;
        }
        bool ackLine = true;
        const bool masterAcks = !sending && !(icr_ & ICR_ACKNAK);
        if (clockBit(t, !masterAcks, &ackLine) == Bit::Stalled) return;
        i2cbus::takeWithheldAck(bus_);  // a fault meant for this byte ends with it

        uint32_t events = 0;
        if (sending) {
            acknak_ = ackLine;  // high: not acknowledged
            events = ISR_ITE;
            if (acknak_) {
                // Nobody acknowledged a byte the unit sent: a bus error, and the unit ends the
                // transaction with a stop by itself.
                events |= ISR_BED;
                sendStop(t);
            }
        } else {
            acknak_ = !masterAcks;
            idbr_ = received;
            events = ISR_IRF;
            if (fault == ByteFault::BusError) {
                events |= ISR_BED;
                idbr_ = 0xFF;
            }
        }
        if (master_ && (icr_ & ICR_STOP) && !sendStop(t)) return;
        if (fault == ByteFault::Stop) events |= ISR_SSD;
        if (fault == ByteFault::SlaveAddress) events |= ISR_SAD;
        if (fault == ByteFault::GeneralCall) events |= ISR_GCAD;
        const bool silent = fault == ByteFault::NoInterrupt;
        const bool busyForGood = fault == ByteFault::StayBusy;
        finishAt(t, [events, silent, busyForGood](PxaI2cUnit& u) {
            u.events_ |= events;
            if (silent) u.silent_ |= events;
            if (busyForGood) u.stayBusy_ = true;
        });
    }

    Bit clockData(uint64_t& t, bool sending, uint8_t* received) {
        const uint8_t value = static_cast<uint8_t>(idbr_);
        *received = 0;
        for (int i = 7; i >= 0; --i) {
            bool bit = false;
            const Bit b = sending ? clockBit(t, (value >> i) & 1, nullptr) : clockBit(t, true, &bit);
            if (b != Bit::Done) return b;
            *received = static_cast<uint8_t>((*received << 1) | (bit ? 1 : 0));
        }
        return Bit::Done;
    }

    // A start (from a free bus) or a repeated start (the unit holds the bus), then the address
    // byte's direction. False when the byte cannot go on (a busy bus that never frees, a stall).
    bool beginTransaction(uint64_t& t, bool arbitrationFault) {
        const uint64_t T = bitNs();
        const uint8_t address = static_cast<uint8_t>(idbr_ >> 1);
        if (isar_ != 0 && address == isar_)
            boardFault("the " + std::string(name()) + " addressed its own slave address " + hex(isar_, 2) +
                       ": the manuals leave the unit in an indeterminate state");
        if (address == 0 && !(icr_ & ICR_GCD) && !(idbr_ & 1))
            boardFault("the " + std::string(name()) +
                       " sent a general call with general calls enabled: it would answer its own call");
        if (!master_) {
            const std::optional<uint64_t> free = busFreeAt(t);
            if (!free) return false;  // a busy bus: the unit waits for a free one that never comes
            t = *free;
            drive(BusLine::SDA, true, t);  // SDA falls while SCL is high
            t += T / 2;
            drive(BusLine::SCL, true, t);
        } else {
            drive(BusLine::SDA, false, t + T / 4);  // SDA up while SCL is low, then a start
            t += T / 2;
            if (!releaseScl(t)) return false;
            // A slave still drives SDA: the start cannot be made, and the unit has lost the bus.
            if (!sample(BusLine::SDA, t)) return retryAfterLoss(t);
            t += T / 2;
            drive(BusLine::SDA, true, t);
            t += T / 2;
            drive(BusLine::SCL, true, t);
        }
        master_ = true;
        rwm_ = idbr_ & 1;
        if (arbitrationFault) return retryAfterLoss(t);
        return true;
    }

    // Arbitration lost during a start or an address: the unit lets go, waits until the bus is
    // free and sends its start and address again; the data buffer and control bits stay.
    bool retryAfterLoss(uint64_t& t) {
        t = loseArbitration(t, true);
        const std::optional<uint64_t> free = busFreeAt(t);
        if (!free) return false;
        t = *free;
        return beginTransaction(t, false);
    }

    // The unit lost the bus to another master: it lets go at once and records ALD. The winner
    // finishes its own transaction with a stop, which ends the chips' part in ours.
    uint64_t loseArbitration(uint64_t t, bool address) {
        const uint64_t T = bitNs();
        traceArbitrationLost(t, T, bus_);
        releaseLines(t);
        master_ = false;
        // The winner ends its transaction with a start and a stop as soon as SDA is free; a chip
        // still sending holds SDA until it is clocked past a 1 bit or its unacknowledged slot.
        uint64_t end = t;
        if (routed() && otherMaster_ >= 0) {
            for (int pulse = 0; pulse < 9 && !sample(BusLine::SDA, end); ++pulse) {
                i2cbus::pull(BusLine::SCL, otherMaster_, true, end + T / 2);
                i2cbus::pull(BusLine::SCL, otherMaster_, false, end + T);
                end += T;
            }
            i2cbus::pull(BusLine::SDA, otherMaster_, true, end + T / 4);   // start
            i2cbus::pull(BusLine::SDA, otherMaster_, false, end + T / 2);  // and stop
            end += T / 2;
        }
        if (address) {
            events_ |= ISR_ALD;  // no interrupt of its own: the address goes out again
        } else {
            finishAt(end, [](PxaI2cUnit& u) { u.events_ |= ISR_ALD; });
        }
        return end;
    }

    template <typename F>
    void finishAt(uint64_t t, F apply) {
        std::weak_ptr<PxaI2cUnit> self = weak_from_this();
        pending_ = scheduleAt(t, [self, apply] {
            auto unit = self.lock();
            if (!unit) return;
            unit->pending_ = 0;
            unit->icr_ &= ~ICR_TB;
            apply(*unit);
            unit->updateIrq();
        });
    }

    void updateIrq() {
        uint32_t enabled = 0;
        if (icr_ & ICR_ITEIE) enabled |= ISR_ITE;
        if (icr_ & ICR_IRFIE) enabled |= ISR_IRF;
        if (icr_ & ICR_BEIE) enabled |= ISR_BED;
        if (icr_ & ICR_ALDIE) enabled |= ISR_ALD;
        if (icr_ & ICR_SSDIE) enabled |= ISR_SSD;
        if (icr_ & ICR_SADIE) enabled |= ISR_SAD | ISR_GCAD;
        const bool level = (icr_ & ICR_IUE) && ((events_ & ~silent_ & enabled) != 0 || bareInterrupt_);
        setIrqLine(pm_ ? kI2cPowerManagerIrq : kI2cIrq, level);
    }

    bool pm_;
    I2cBusId bus_;  // each unit has its own wires
    std::map<uint32_t, ByteFault> faults_;
    RwmClears rwmClears_;
    int driver_;
    uint32_t idbr_ = 0, icr_ = 0, isar_ = 0;
    uint32_t events_ = 0;         // ISR bits 4..10
    uint32_t silent_ = 0;         // events whose interrupt was lost (fault injection)
    bool bareInterrupt_ = false;  // interrupt raised with no status bit (fault injection)
    bool rwm_ = false, acknak_ = false;
    bool master_ = false;         // the unit is master of a transaction (UB)
    bool otherBusy_ = false;      // another master's start seen, its stop not yet (IBB)
    bool drivingSdaLow_ = false;  // the unit's own pull on SDA
    bool stayBusy_ = false;
    int otherMaster_ = -1;  // the wire driver of the master that wins arbitration (fault injection)
    EventId pending_ = 0;   // the completion of the byte in flight
};

DeviceFactoryRegistration gI2cUnits([](const BoardConfig& config) {
    gBytesStarted = 0;
    auto busy = config.faults.i2cBytes.find(0);
    if (busy != config.faults.i2cBytes.end())
        traceFault(nowNs(), "stayBusy from the start: both I2C units read busy (UB, RWM) for good");
    auto standard = std::make_shared<PxaI2cUnit>(config, false);
    mapDevice(kI2cStandardUnit, kI2cUnitSize, standard);
    i2cbus::attach(standard, I2cBusId::Standard);
    auto pmUnit = std::make_shared<PxaI2cUnit>(config, true);
    mapDevice(kI2cPowerManagerUnit, kI2cUnitSize, pmUnit);
    i2cbus::attach(pmUnit, I2cBusId::PowerManager);
});

}  // namespace

}  // namespace sim
