// The board's I2C bus at the level of its two wires. SCL and SDA are open-drain lines with a
// pull-up each: every driver (an I2C unit of the processor, a GPIO pad, a chip, an injected
// fault) can only pull a line low or let it go, and a line is high while nobody pulls it
// (wired AND). Everything attached sees every level change with its time, in order, and works out
// start, repeated start and stop conditions from the edges as a real device does: SDA falling
// while SCL is high is a start, SDA rising while SCL is high a stop, and a data bit is SDA as it
// stands when SCL rises.
//
// Time: a master that clocks a byte works out its edges ahead, each with its own board-uptime
// time, so a change carries the time it happens at rather than the time it was computed. A driver
// may hold a line low until a known time (a chip stretching the clock, a fault that lets go after
// a while); `lowUntil` tells a master when a line it released will really rise.
//
// The processor has two I2C units, each with a bus of its own: the standard unit's on two GPIO
// pads, and the power-manager unit's on the power manager's own pins (where many boards wire their
// PMIC and RTC). The two buses are wired apart; each function below acts on one of them. A driver
// belongs to the bus it was added to.
//
// The chips on the bus keep their state in the board's state.json. They load it when the bus
// becomes busy and write it back at every stop and when the process ends, so the processes on a
// board see one set of chips; the I2C mutex keeps two of them off the bus at once, as on the
// device.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace sim {

enum class BusLine { SCL = 0, SDA = 1 };

enum class I2cBusId { Standard = 0, PowerManager = 1 };
constexpr I2cBusId kI2cBuses[] = {I2cBusId::Standard, I2cBusId::PowerManager};

struct BusLevels {
    bool scl = true;
    bool sda = true;
};

// Something attached to the wires: sees every level change after it happened.
class BusDevice {
  public:
    virtual ~BusDevice() = default;
    // `line` changed; `levels` are both lines just after the change, at board uptime `ns`.
    virtual void lineChanged(BusLine line, const BusLevels& levels, uint64_t ns) = 0;
};

namespace i2cbus {

using enum I2cBusId;

// A new driver of the wires of `bus` (each pulls independently); `name` appears in diagnostics.
int addDriver(const std::string& name, I2cBusId bus = Standard);
// Pulls `line` of the driver's bus low or lets it go at board uptime `ns` (nullopt: now). `until`:
// the driver lets go by itself at that time.
void pull(BusLine line, int driver, bool low, std::optional<uint64_t> ns = std::nullopt,
          std::optional<uint64_t> until = std::nullopt);
// A hold that was there before this process looked at the bus (a slave left in the middle of a
// byte, a line held since power-on): the line is low from the start, with no edge to record.
void holdFromTheStart(BusLine line, int driver);
bool high(BusLine line, I2cBusId bus = Standard);
BusLevels levels(I2cBusId bus = Standard);
// When `line` will be high again if nobody pulls it anew: now when it is high, the latest
// time-limited hold on it, or nullopt when a driver holds it for good.
std::optional<uint64_t> lowUntil(BusLine line, uint64_t from, I2cBusId bus = Standard);
// Applies time-limited holds that have run out by `ns`.
void settle(uint64_t ns, I2cBusId bus = Standard);
// The time of the last level change (masters never schedule an edge before it).
uint64_t lastChangeNs(I2cBusId bus = Standard);

void attach(std::shared_ptr<BusDevice> device, I2cBusId bus = Standard);

// Between a start condition and a stop condition somebody is using the bus.
bool transactionOpen(I2cBusId bus = Standard);

// Injected faults that act on the bytes the chips see: the chip addressed by the next byte does
// not acknowledge it (and does not take it).
void withholdNextAck(I2cBusId bus = Standard);
bool takeWithheldAck(I2cBusId bus = Standard);

// Called when the bus goes from free to busy, and when a transaction ends (stop, process end):
// the chips load and store their state there.
void onBusy(std::function<void()> f, I2cBusId bus = Standard);
void onIdle(std::function<void()> f, I2cBusId bus = Standard);

// Process end: chips write back what they hold, the trace is flushed (both buses).
void endProcess();

// Tests and a new board: every driver lets go, devices and hooks are dropped (both buses).
void reset();

}  // namespace i2cbus

// Bit times of the bus.
constexpr uint64_t kI2cStandardBitNs = 10000;  // 100 kHz
constexpr uint64_t kI2cFastBitNs = 2500;       // 400 kHz

}  // namespace sim
