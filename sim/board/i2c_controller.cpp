// Device models: the standard I2C unit (0x40301680), the power manager's page (0x40F00000) with
// its configuration register and the power-manager I2C unit (0x40F00180), and a chip that holds
// SDA low (fault injection).
#include "i2c_controller.h"

#include <map>
#include <memory>
#include <string>

#include "fault.h"
#include "format.h"
#include "interrupt_controller.h"
#include "buslines.h"
#include "chips.h"
#include "gpio_pins.h"
#include "i2c_trace.h"
#include "mmio.h"
#include "reglog.h"
#include "simtime.h"

namespace sim {

namespace {

// Register offsets from the unit base.
constexpr uint32_t REG_BUS_MONITOR = 0x00;  // bit 0 SDA, bit 1 SCL as the unit sees them
constexpr uint32_t REG_DATA = 0x08;
constexpr uint32_t REG_CONTROL = 0x10;
constexpr uint32_t REG_STATUS = 0x18;
constexpr uint32_t REG_OWN_ADDR = 0x20;
constexpr uint32_t kUnitSize = 0x24;

// Control bits.
constexpr uint32_t CTL_START = 0x0001, CTL_STOP = 0x0002, CTL_NAK = 0x0004, CTL_TRANSFER = 0x0008,
                   CTL_ABORT = 0x0010, CTL_UNIT_ENABLE = 0x0040, CTL_TX_EMPTY_IE = 0x0100,
                   CTL_RX_FULL_IE = 0x0200, CTL_BUS_ERROR_IE = 0x0400, CTL_STOP_IE = 0x0800,
                   CTL_ARB_LOSS_IE = 0x1000, CTL_SLAVE_ADDR_IE = 0x2000, CTL_RESET = 0x4000,
                   CTL_FAST_MODE = 0x8000;
constexpr uint32_t kControlBits = 0xFFFF;

// Status bits.
constexpr uint32_t STS_BUSY = 0x001, STS_STOP_DETECTED = 0x010, STS_ARB_LOST = 0x020, STS_TX_EMPTY = 0x040,
                   STS_RX_FULL = 0x080, STS_GCALL_DETECTED = 0x100, STS_SLAVE_ADDRESSED = 0x200,
                   STS_BUS_ERROR = 0x400;
constexpr uint32_t STS_EVENTS = 0x7F0;

TraceRecord busRecord(uint64_t ns, const char* kind, uint64_t bitNs, uint8_t value = 0, bool ack = false) {
    TraceRecord r;
    r.ns = ns;
    r.kind = kind;
    r.bitNs = bitNs;
    r.value = value;
    r.ack = ack;
    return r;
}

// The clock-enable bit of a unit as the processor's clock block keeps it.
struct ClockBit {
    uint32_t reg = 0;
    uint32_t mask = 0;
};

ClockBit clockBitFor(uint32_t processorId, bool powerManagerUnit) {
    if (processorId == 17) return {0x41300004u, powerManagerUnit ? (1u << 15) : (1u << 14)};
    if (processorId == 2 || processorId == 8 || processorId == 9)
        return powerManagerUnit ? ClockBit{0x4134000Cu, 1u << 4} : ClockBit{0x41340010u, 1u << 4};
    return {};
}

std::map<unsigned, std::string> parseByteFaults(const json& faults) {
    std::map<unsigned, std::string> out;
    if (!faults.contains("i2c")) return out;
    const json& list = faults["i2c"];
    if (!list.is_array()) boardFault("board configuration: faults.i2c: expected an array");
    static const char* kKinds[] = {"nak",      "arbitrationLoss", "busError",
                                   "stop",     "slaveAddress",    "generalCall",
                                   "stayBusy", "noInterrupt",     "interruptWithoutStatus"};
    for (const json& f : list) {
        if (!f.is_object() || !f.contains("byte") || !f["byte"].is_number_unsigned() ||
            !f.contains("fault") || !f["fault"].is_string())
            boardFault(
                "board configuration: faults.i2c: each entry needs \"byte\" (a count) and \"fault\" (a "
                "name)");
        const std::string kind = f["fault"].get<std::string>();
        bool known = false;
        for (const char* k : kKinds) known = known || kind == k;
        if (!known) boardFault("board configuration: faults.i2c: unknown fault \"" + kind + "\"");
        out[f["byte"].get<unsigned>()] = kind;
    }
    return out;
}

// Shared by both units: bytes are counted across the process, as the fault schedule counts them.
unsigned gBytesStarted = 0;
int gObserverGeneration = 0;

class I2cUnit : public MmioDevice, public std::enable_shared_from_this<I2cUnit> {
  public:
    I2cUnit(const BoardConfig& config, bool powerManagerUnit)
        : pm_(powerManagerUnit),
          clock_(clockBitFor(boardProcessorId(config), powerManagerUnit)),
          faults_(parseByteFaults(config.faults)) {
        if (config.faults.contains("i2cChipTimeNs")) {
            if (!config.faults["i2cChipTimeNs"].is_number_unsigned())
                boardFault("board configuration: faults.i2cChipTimeNs: expected a count of nanoseconds");
            chipNs_ = config.faults["i2cChipTimeNs"].get<uint64_t>();
        }
        auto it = faults_.find(0);
        stayBusy_ = it != faults_.end() && it->second == "stayBusy";
    }
    ~I2cUnit() override {
        if (pending_) cancelEvent(pending_);
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

  private:
    uint32_t base() const { return pm_ ? kI2cPowerManagerUnit : kI2cStandardUnit; }

    uint32_t readRegister(uint32_t offset) {
        if (!clockOn()) return 0;  // a gated unit does not answer: the bus reads zeros
        switch (offset) {
            case REG_BUS_MONITOR:
                return (lineHigh(BusLine::SDA) ? 1u : 0u) | (lineHigh(BusLine::SCL) ? 2u : 0u);
            case REG_DATA:
                return data_;
            case REG_CONTROL:
                return control_;
            case REG_STATUS:
                return status_ | (busy() ? STS_BUSY : 0);
            case REG_OWN_ADDR:
                return ownAddr_;
        }
        reserved(offset, "read");
    }

    void writeRegister(uint32_t offset, uint32_t value) {
        if (!clockOn()) return;  // writes to a gated unit are lost
        switch (offset) {
            case REG_BUS_MONITOR:
                return;  // read-only
            case REG_DATA:
                data_ = value & 0xFF;
                return;
            case REG_STATUS:
                // Writing 1 clears an event bit; writing 0 changes nothing. The busy bit is the
                // unit's own.
                status_ &= ~(value & STS_EVENTS);
                silent_ &= status_;
                bareInterrupt_ = false;
                updateIrq();
                return;
            case REG_OWN_ADDR:
                ownAddr_ = value & 0x7F;
                return;
            case REG_CONTROL:
                writeControl(value & kControlBits);
                return;
        }
        reserved(offset, "write");
    }

    [[noreturn]] void reserved(uint32_t offset, const char* what) {
        boardFault(std::string("bus fault: 32-bit ") + what + " of reserved offset " + hex(offset, 8) +
                   " of the " + name());
    }

    bool clockOn() const {
        if (!clock_.mask) return true;
        uint32_t off = 0;
        auto dev = deviceAt(clock_.reg, &off);
        if (!dev) return true;  // a board without a clock model runs every unit
        return (dev->read32(off) & clock_.mask) != 0;
    }

    bool routed() const {
        if (pm_) return (physRead32(kPowerManagerConfig) & kPowerManagerConfigI2c) != 0;
        return i2cPinsRoutedToController();
    }

    bool busy() const { return stayBusy_ || pending_ != 0; }

    uint64_t bitNs() const { return (control_ & CTL_FAST_MODE) ? kI2cFastBitNs : kI2cStandardBitNs; }

    void pull(BusLine line, bool low) {
        if (routed()) pullLine(line, LineDriver::Controller, low);
    }

    void releaseLines() {
        traceSuppressLines(true);
        pullLine(BusLine::SCL, LineDriver::Controller, false);
        pullLine(BusLine::SDA, LineDriver::Controller, false);
        traceSuppressLines(false);
    }

    void writeControl(uint32_t value) {
        const uint32_t before = control_;
        if (value & CTL_RESET) {
            // The unit lets go of the bus and forgets everything but the reset bit itself.
            if (pending_) cancelEvent(pending_);
            pending_ = 0;
            status_ = silent_ = 0;
            bareInterrupt_ = false;
            data_ = 0;
            ownAddr_ = 0;
            held_ = false;
            releaseLines();
            control_ = value;
            updateIrq();
            return;
        }
        control_ = value;
        if (!(value & CTL_UNIT_ENABLE)) {
            control_ &= ~CTL_TRANSFER;
        } else if ((value & CTL_TRANSFER) && !(before & CTL_TRANSFER) && !pending_) {
            startByte();
        } else if ((value & CTL_ABORT) && (value & CTL_STOP) && !(value & CTL_TRANSFER)) {
            // Master abort: a stop condition without a byte.
            if (held_) sendStop(nowNs());
            control_ &= ~CTL_ABORT;
        }
        updateIrq();
    }

    void startByte() {
        const unsigned index = ++gBytesStarted;
        auto f = faults_.find(index);
        const std::string fault = f == faults_.end() ? std::string() : f->second;
        const uint64_t T = bitNs();
        const bool start = control_ & CTL_START;
        const bool stop = control_ & CTL_STOP;
        const uint64_t duration = 9 * T + (start ? T : 0) + (stop ? T : 0) + chipNs_;
        const uint64_t t0 = nowNs();
        std::weak_ptr<I2cUnit> self = weak_from_this();
        pending_ = scheduleAt(t0 + duration, [self, fault, t0, T, start, stop] {
            if (auto unit = self.lock()) unit->completeByte(fault, t0, T, start, stop);
        });
    }

    // Start or repeated start: SDA falls while SCL is high, then the master holds SCL low.
    void wireStart() {
        traceSuppressLines(true);
        pull(BusLine::SDA, false);
        pull(BusLine::SCL, false);
        pull(BusLine::SDA, true);
        pull(BusLine::SCL, true);
        traceSuppressLines(false);
    }

    // Clocks one byte's nine bits out on the wire (observers such as a stuck chip count them);
    // SCL stays low afterwards and SDA is released.
    void clockBits(uint8_t value, bool ackLow) {
        traceSuppressLines(true);
        for (int i = 0; i < 9; ++i) {
            const bool bit = i < 8 ? ((value >> (7 - i)) & 1) : !ackLow;
            pull(BusLine::SDA, !bit);
            pull(BusLine::SCL, false);
            pull(BusLine::SCL, true);
        }
        pull(BusLine::SDA, false);
        traceSuppressLines(false);
    }

    // SDA rises while SCL is high.
    void sendStop(uint64_t at) {
        traceRecord(busRecord(at, "P", bitNs()));
        boardBus().stop();
        held_ = false;
        traceSuppressLines(true);
        pull(BusLine::SDA, true);
        pull(BusLine::SCL, false);
        traceSuppressLines(false);
        releaseLines();
    }

    void completeByte(const std::string& fault, uint64_t t0, uint64_t T, bool start, bool stop) {
        pending_ = 0;
        control_ &= ~CTL_TRANSFER;
        uint32_t events = 0;
        const uint64_t tByte = t0 + (start ? T : 0);
        if (fault == "interruptWithoutStatus") {
            bareInterrupt_ = true;
            updateIrq();
            return;
        }
        // A chip holding SDA low wins every bit the master sends as 1: no start, no byte.
        traceSuppressLines(true);
        pull(BusLine::SDA, false);
        traceSuppressLines(false);
        const bool sdaStuck = !lineHigh(BusLine::SDA) && routed();
        if (fault == "arbitrationLoss" || (sdaStuck && (start || !reading_))) {
            traceRecord(busRecord(t0, "ARB", T));
            status_ |= STS_ARB_LOST;
            if (held_) boardBus().stop();  // the winner ends the chips' transaction
            held_ = false;
            releaseLines();
            updateIrq();
            return;
        }
        if (start) {
            traceRecord(busRecord(t0, held_ ? "Sr" : "S", T));
            held_ = true;
            reading_ = data_ & 1;
            wireStart();
            const bool ack = routed() && fault != "nak" && boardBus().start(static_cast<uint8_t>(data_));
            clockBits(static_cast<uint8_t>(data_), ack);
            traceRecord(busRecord(tByte, "B", T, static_cast<uint8_t>(data_), ack));
            events = STS_TX_EMPTY | (ack ? 0 : STS_BUS_ERROR);
        } else if (held_ && reading_) {
            const bool masterAck = !(control_ & CTL_NAK);
            if (fault == "busError") {
                events = STS_RX_FULL | STS_BUS_ERROR;
                data_ = 0xFF;
            } else {
                data_ = boardBus().readByte(masterAck);
                clockBits(static_cast<uint8_t>(data_), masterAck);
                traceRecord(busRecord(tByte, "B", T, static_cast<uint8_t>(data_), masterAck));
                events = STS_RX_FULL;
            }
        } else {
            // Nobody was addressed when no transaction is open: nobody acknowledges.
            const bool ack = held_ && fault != "nak" && boardBus().writeByte(static_cast<uint8_t>(data_));
            clockBits(static_cast<uint8_t>(data_), ack);
            traceRecord(busRecord(tByte, "B", T, static_cast<uint8_t>(data_), ack));
            events = STS_TX_EMPTY | (ack ? 0 : STS_BUS_ERROR);
        }
        if (fault == "stop") events |= STS_STOP_DETECTED;
        if (fault == "slaveAddress") events |= STS_SLAVE_ADDRESSED;
        if (fault == "generalCall") events |= STS_GCALL_DETECTED;
        if (fault == "stayBusy") stayBusy_ = true;
        if (stop && held_) sendStop(tByte + 9 * T);
        status_ |= events;
        if (fault == "noInterrupt") silent_ |= events;
        updateIrq();
    }

    void updateIrq() {
        uint32_t enabled = 0;
        if (control_ & CTL_TX_EMPTY_IE) enabled |= STS_TX_EMPTY;
        if (control_ & CTL_RX_FULL_IE) enabled |= STS_RX_FULL;
        if (control_ & CTL_BUS_ERROR_IE) enabled |= STS_BUS_ERROR;
        if (control_ & CTL_ARB_LOSS_IE) enabled |= STS_ARB_LOST;
        if (control_ & CTL_STOP_IE) enabled |= STS_STOP_DETECTED;
        if (control_ & CTL_SLAVE_ADDR_IE) enabled |= STS_SLAVE_ADDRESSED | STS_GCALL_DETECTED;
        const bool level =
            (control_ & CTL_UNIT_ENABLE) && ((status_ & ~silent_ & enabled) != 0 || bareInterrupt_);
        setIrqLine(pm_ ? kI2cPowerManagerIrq : kI2cIrq, level);
    }

    bool pm_;
    ClockBit clock_;
    std::map<unsigned, std::string> faults_;
    uint64_t chipNs_ = 0;
    uint32_t data_ = 0, control_ = 0, status_ = 0, ownAddr_ = 0;
    uint32_t silent_ = 0;         // status bits whose interrupt was lost (fault injection)
    bool bareInterrupt_ = false;  // interrupt raised with no status bit (fault injection)
    bool stayBusy_ = false;
    bool held_ = false;     // a transaction of this unit holds the bus
    bool reading_ = false;  // its address byte asked to read
    EventId pending_ = 0;   // the byte in flight
};

// The power manager's page: a plain register file (the configuration register among them), with
// the power-manager I2C unit inside it.
class PowerManager : public MmioDevice {
  public:
    PowerManager(uint32_t base, std::shared_ptr<std::map<uint32_t, uint32_t>> regs)
        : base_(base), regs_(std::move(regs)) {}
    const char* name() const override { return "power manager"; }
    uint32_t read32(uint32_t offset) override {
        auto it = regs_->find(base_ + offset);
        return it == regs_->end() ? 0 : it->second;
    }
    void write32(uint32_t offset, uint32_t value) override { (*regs_)[base_ + offset] = value; }

  private:
    uint32_t base_;
    std::shared_ptr<std::map<uint32_t, uint32_t>> regs_;  // by physical address, shared by both halves
};

// A slave that lost track in the middle of a byte and holds SDA low until it has seen enough
// clock pulses, or for ever.
struct StuckChip {
    int pulsesLeft = 0;  // < 0: never lets go
    bool holding = true;
};

DeviceFactoryRegistration gI2cUnits([](const BoardConfig& config) {
    gBytesStarted = 0;
    const int generation = ++gObserverGeneration;
    mapDevice(kI2cStandardUnit, kUnitSize, std::make_shared<I2cUnit>(config, false));
    // The power manager's page: registers below and above the I2C unit.
    auto pmRegs = std::make_shared<std::map<uint32_t, uint32_t>>();
    const uint32_t pmUnitOffset = kI2cPowerManagerUnit - kPowerManagerBase;
    mapDevice(kPowerManagerBase, pmUnitOffset, std::make_shared<PowerManager>(kPowerManagerBase, pmRegs));
    mapDevice(kI2cPowerManagerUnit, kUnitSize, std::make_shared<I2cUnit>(config, true));
    const uint32_t above = kI2cPowerManagerUnit + kUnitSize;
    mapDevice(above, kPowerManagerBase + 0x1000 - above, std::make_shared<PowerManager>(above, pmRegs));

    if (config.faults.contains("i2cStuckSda")) {
        const json& v = config.faults["i2cStuckSda"];
        auto chip = std::make_shared<StuckChip>();
        if (v.is_string() && v.get<std::string>() == "forever") {
            chip->pulsesLeft = -1;
        } else if (v.is_number_unsigned() && v.get<unsigned>() >= 1 && v.get<unsigned>() <= 9) {
            chip->pulsesLeft = v.get<int>();
        } else {
            boardFault("board configuration: faults.i2cStuckSda: expected 1..9 or \"forever\"");
        }
        pullLine(BusLine::SDA, LineDriver::Chip, true);
        std::weak_ptr<StuckChip> weak = chip;
        static std::shared_ptr<StuckChip> keep;
        keep = chip;
        onLineChange([weak, generation](BusLine line, bool high) {
            auto c = weak.lock();
            if (generation != gObserverGeneration) return;
            if (!c || !c->holding || line != BusLine::SCL || !high || c->pulsesLeft < 0) return;
            if (--c->pulsesLeft == 0) {
                c->holding = false;
                // It lets go while SCL is high, after the pulse that completed its byte.
                pullLine(BusLine::SDA, LineDriver::Chip, false);
            }
        });
    }
    // Edges that the controller does not make go into the trace as they happen (one observer
    // for the latest board).
    {
        onLineChange([generation](BusLine line, bool high) {
            if (generation != gObserverGeneration || traceLinesSuppressed()) return;
            TraceRecord r;
            r.ns = nowNs();
            r.kind = "L";
            r.line = line == BusLine::SCL ? "SCL" : "SDA";
            r.value = high ? 1 : 0;
            traceRecord(r);
        });
    }
});

}  // namespace

}  // namespace sim
