// vboard scan and i2c-hold: the board's I2C bus as another master on it sees it.
//
// A scan probes each address as `i2cdetect -q` does: a start, the address byte with the write
// bit, a stop; no register pointer moves (with -r as `i2cdetect -r` does: the read bit, one byte
// read). It takes the bus mutex "I2C" first, as every driver on
// the board does, and every probe is an address phase for the chips (one that was told to refuse
// its next N address phases counts the probe as one of them), and appears in the trace.
#include <windows.h>

#include <cstdio>

#include "../board/board.h"
#include "../board/format.h"
#include "../board/i2c_bus.h"
#include "../board/i2c_master.h"
#include "../board/simtime.h"
#include "commands.h"

namespace vboard {

namespace {

struct ScanOptions {
    std::string bus;
    bool all = false;
    bool read = false;
    bool recover = false;
    std::string first, last;
};

// What keeps a start off the bus.
std::string whatHoldsTheBus(sim::I2cBusId bus) {
    const uint64_t now = sim::nowNs();
    const bool scl = !sim::i2cbus::lowUntil(sim::BusLine::SCL, now, bus);
    const bool sda = !sim::i2cbus::lowUntil(sim::BusLine::SDA, now, bus);
    if (scl && sda) return "SCL and SDA are held low";
    if (scl) return "SCL is held low";
    if (sda) return "SDA is held low (a slave stuck in the middle of a byte?)";
    return "another master's transaction is open";
}

void doScan(const ScanOptions& o) {
    uint8_t first = o.all ? 0x00 : 0x03, last = o.all ? 0x7F : 0x77;
    if (!o.first.empty()) first = parseAddress(o.first, "scan: first address");
    if (!o.last.empty()) last = parseAddress(o.last, "scan: last address");
    if (first > last)
        throw UsageError("scan: the first address " + sim::hex(first, 2) + " lies above the last " +
                         sim::hex(last, 2));
    const sim::I2cBusId which = parseBus(o.bus, "--bus").value_or(sim::I2cBusId::Standard);
    openBoard();
    if (which == sim::I2cBusId::PowerManager &&
        sim::processorIdForMainId(sim::Board::current().config().mainId) != 17)
        throw sim::BoardError("scan --bus pwr: " +
                              powerManagerBusMissing(sim::Board::current().config().mainId));
    if (!sim::Board::current().readState().power.on)
        throw sim::BoardError("the board is powered down: nothing can drive its bus ('vboard power up')");
    const std::shared_ptr<void> mutex = takeBusMutex();
    sim::I2cWireMaster bus(which);
    if (o.recover) {
        const std::optional<int> pulses = bus.recover();
        if (!pulses)
            throw sim::BoardError("bus recovery failed: " + whatHoldsTheBus(which) +
                                  " after nine clock pulses");
        std::printf("Bus recovery: SDA %s\n",
                    *pulses ? ("free after " + std::to_string(*pulses) + " clock pulse" +
                               (*pulses == 1 ? "" : "s") + ", then a stop")
                                  .c_str()
                            : "was free; a stop sent");
    }
    // Probe first, print after: a held bus refuses the whole scan.
    std::vector<bool> answers(0x80, false);
    for (unsigned a = first; a <= last; ++a) {
        // i2cdetect -q: the address with the write bit and a stop; -r: with the read bit, one byte
        // read and not acknowledged, then the stop (the chip's register pointer moves on).
        answers[a] = bus.start(static_cast<uint8_t>(a << 1 | (o.read ? 1 : 0)));
        if (answers[a] && o.read) bus.read(false);
        bus.stop();
        if (bus.busHeld()) {
            const std::string what = whatHoldsTheBus(which);
            const bool sdaOnly = what.rfind("SDA", 0) == 0;
            throw sim::BoardError("the bus is held: " + what + ", so no start can be made" +
                                  (sdaOnly && !o.recover ? " (try 'vboard scan --recover')" : ""));
        }
    }
    std::printf("     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n");
    for (unsigned row = 0; row < 0x80; row += 16) {
        if (row + 15 < first || row > last) continue;
        std::printf("%02x:", row);
        for (unsigned a = row; a < row + 16 && a <= last; ++a) {
            if (a < first)
                std::printf("   ");
            else if (answers[a])
                std::printf(" %02x", a);
            else
                std::printf(" --");
        }
        std::printf("\n");
    }
}

}  // namespace

void addBusCommands(CLI::App& app) {
    static ScanOptions scan;
    CLI::App* cmd = app.add_subcommand(
        "scan", "List the addresses that acknowledge on the I2C bus, as i2cdetect draws them");
    cmd->add_flag("-a,--all", scan.all, "Probe 0x00..0x7F (default 0x03..0x77, as i2cdetect)");
    cmd->add_option(
        "--bus", scan.bus,
        "The bus probed: std (the standard I2C unit's, default) or pwr (the power-manager unit's)");
    cmd->add_flag(
        "-r,--read", scan.read,
        "Probe with a read of one byte, as i2cdetect -r does (the register pointer of a chip that answers "
        "moves on)");
    cmd->add_flag("--recover", scan.recover,
                  "First free SDA from a slave stuck mid-byte: up to nine SCL pulses, then a stop");
    cmd->add_option("first", scan.first, "First address to probe (7-bit)");
    cmd->add_option("last", scan.last, "Last address to probe (7-bit)");
    cmd->callback([] { doScan(scan); });

    static std::string holdText;
    CLI::App* hold =
        app.add_subcommand("i2c-hold", "Hold the bus mutex \"I2C\" for a while, as another driver would");
    hold->add_option("time", holdText,
                     "How long: milliseconds (500), or with a unit as 'advance' takes it (5s, 2m, 250ms); of "
                     "board time on a frozen board")
        ->required();
    hold->callback([] {
        const uint64_t ns = parseDuration(holdText, "i2c-hold", true);
        // Sleep takes milliseconds, and all ones (INFINITE) would be a hold for good.
        if (ns == 0 || ns % 1'000'000 != 0 || ns / 1'000'000 >= INFINITE)
            throw UsageError("i2c-hold: " + holdText +
                             " is not a whole number of milliseconds from 1 ms to " +
                             std::to_string((INFINITE - 1) / 86'400'000) + " days");
        const uint32_t holdMs = static_cast<uint32_t>(ns / 1'000'000);
        openBoard();
        HANDLE m = CreateMutexW(nullptr, FALSE, TEXT("I2C"));
        if (!m || WaitForSingleObject(m, INFINITE) != WAIT_OBJECT_0)
            throw sim::BoardError("cannot take the mutex I2C");
        std::printf("holding I2C\n");
        std::fflush(stdout);
        // As a driver would: on a frozen board the hold lasts MS of board time for whoever waits
        // for the bus, without anybody waiting for it in real time.
        Sleep(holdMs);
        // Said before the release: whoever was waiting runs as soon as it happens.
        std::printf("releasing I2C\n");
        std::fflush(stdout);
        ReleaseMutex(m);
        CloseHandle(m);
    });
}

}  // namespace vboard
