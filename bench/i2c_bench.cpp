// What one restore and one store run of each chip protocol costs on the register-level I2C driver:
// bytes on the wire, virtual bus time against the least the bus needs for those bytes, host wall
// time, and the instructions that the product code (i2c/, rtc/, gpiolib/, platform/) executes.
//
//   i2c_bench              every run; instructions measured by re-running each case under
//                          valgrind's callgrind (when valgrind is installed) and summing the
//                          self cost of functions in the product's source directories
//   i2c_bench --case P M   one run (protocol P, M = restore|store), as the callgrind child
//
// Not a test: the numbers depend on the host. Bus timing is virtual (a frozen board), so the bus
// figures are exact and repeatable.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "gpiolib/gpiolib_state.h"
#include "i2c/i2c.h"
#include "i2c/i2c_driver.h"
#include "rtc/rtc.h"
#include "sim/board/i2c_bus.h"
#include "sim/board/i2c_trace.h"
#include "sim/vboard/trace_views.h"
#include "sim/board/interrupt_controller.h"
#include "sim/board/mmio.h"
#include "sim/board/simtime.h"
#include "sim/ceapi/kernel_hal.h"
#include "tests/testboard.h"

namespace {

const char* kProductDirs[] = {"/i2c/", "/rtc/", "/gpiolib/", "/platform/"};

struct RunResult {
    bool ok = false;
    size_t bytes = 0;
    uint64_t busNs = 0;  // virtual time from the first start to the last stop
    uint64_t minNs = 0;  // the bits themselves: 9 per byte, one per start and stop condition
    double wallUs = 0;
};

std::string registryFor(int protocol) {
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack\\Tamblin]\r\n\"Protocol\"=dword:%08x\r\n",
                  protocol);
    return sim::defaultRegistryText() + buf;
}

// The driver's state as a process starts: g_i2c's own (constant) initialiser, kept before any run.
const I2CDriverState kI2CStateAtStart = g_i2c;

RunResult runCase(int protocol, bool store) {
    sim::BoardConfig config = testing_board::frozenDefaults();
    config.chips = {sim::ChipConfig{protocol, protocol == 3 ? uint8_t(0x51) : uint8_t(0x68)}};
    sim::resetKernelForTests();
    sim::resetPhysicalMapForTests();
    TestBoard board(config, registryFor(protocol));
    // A new process on that board, as far as the product's module state goes.
    g_i2c = kI2CStateAtStart;
    g_GpioState = GpioModuleState{};
    g_ClockState = ClockModuleState{};
    const RtcProtocolEntry& p = g_rtcProtocols[protocol];
    const BYTE slave = static_cast<BYTE>(p.defaultSlaveAddr);

    RunResult r;
    const auto t0 = std::chrono::steady_clock::now();
    if (I2CInitStandard() && I2CLock(INFINITE)) {
        SYSTEMTIME t = {2011, 11, 2, 29, 14, 59, 55, 0};
        if (store) {
            r.ok = p.write(&t, slave) != 0;
        } else {
            r.ok = (!p.prepare || p.prepare(slave)) && p.read(&t, slave) != 0;
        }
        I2CUnlock();
    }
    r.wallUs = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();

    sim::traceFlush();
    std::ifstream in(board.path("trace.log"));
    std::stringstream text;
    text << in.rdbuf();
    // From the first start to the last stop; the bus recovery at opening (clock pulses and a stop
    // outside any transaction) is no transfer.
    uint64_t first = 0, last = 0;
    bool seen = false;
    const uint64_t bitNs = sim::kI2cStandardBitNs;
    for (const sim::TraceRecord& rec : sim::decodeTrace(sim::parseTrace(text.str()))) {
        if (rec.kind == "S" && !seen) {
            first = rec.ns;
            seen = true;
        }
        if (!seen) continue;
        if (rec.kind == "B") {
            ++r.bytes;
            r.minNs += 9 * bitNs;
        } else if (rec.kind == "S" || rec.kind == "Sr" || rec.kind == "P") {
            r.minNs += bitNs;
            if (rec.kind == "P") last = rec.ns;
        }
    }
    r.busNs = seen ? last - first : 0;
    return r;
}

// Runs this program under callgrind for one case; the instructions of the product's functions.
long long productInstructions(const char* self, int protocol, const char* mode) {
    const std::string out = "/tmp/i2c_bench.callgrind." + std::to_string(getpid());
    const std::string cmd = std::string("valgrind --tool=callgrind --callgrind-out-file=") + out + " " +
                            self + " --case " + std::to_string(protocol) + " " + mode + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return -1;
    const std::string annotate =
        "callgrind_annotate --auto=no --inclusive=no --threshold=100 " + out + " 2>/dev/null";
    FILE* pipe = popen(annotate.c_str(), "r");
    if (!pipe) return -1;
    long long total = 0;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe)) {
        // "  1,234 (0.5%)  path/file.cpp:Function [binary]", the path relative to the working
        // directory when it lies below it.
        std::string s(line);
        const size_t pct = s.find("%)");
        if (pct == std::string::npos) continue;
        const size_t from = s.find_first_not_of(' ', pct + 2);
        const size_t colon = s.find(':', from);
        if (from == std::string::npos || colon == std::string::npos) continue;
        const std::string file = "/" + s.substr(from, colon - from);
        bool product = false;
        for (const char* d : kProductDirs) product = product || file.find(d) != std::string::npos;
        if (!product || file.find("/sim/") != std::string::npos || file.find("/tests/") != std::string::npos)
            continue;
        std::string digits;
        size_t i = s.find_first_not_of(' ');
        for (; i < s.size() && (std::isdigit(static_cast<unsigned char>(s[i])) || s[i] == ','); ++i)
            if (s[i] != ',') digits += s[i];
        if (!digits.empty()) total += std::stoll(digits);
    }
    pclose(pipe);
    std::remove(out.c_str());
    return total;
}

}  // namespace

const char* const kUsage =
    "usage: i2c_bench            bytes, bus time, wall time and product instructions of a restore\n"
    "                            and a store run of each chip protocol (instructions need valgrind)\n"
    "       i2c_bench --case P M one run: protocol P (1..4), M restore or store\n"
    "       i2c_bench --help     this text\n";

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const bool oneCase = argc == 4 && std::strcmp(argv[1], "--case") == 0;
    if (argc != 1 && !oneCase) {
        std::fprintf(stderr, "i2c_bench: unexpected argument '%s'\n%s", argv[1], kUsage);
        return 2;
    }
    if (oneCase) {
        RunResult r = runCase(std::atoi(argv[2]), std::strcmp(argv[3], "store") == 0);
        return r.ok ? 0 : 1;
    }
    const bool valgrind = std::system("valgrind --version >/dev/null 2>&1") == 0;
    const sim::TimingConfig timing;
    std::printf(
        "Bus time from the first start to the last stop, against the least the wire needs for those bits at "
        "100 kHz.\nEvery byte also waits for its interrupt to reach the driver's thread: %.1f us of "
        "interrupt "
        "latency\nand %.1f us to wake the thread (the board's defaults; \"timing\" in board.json sets "
        "them).\n\n",
        timing.interruptLatencyNs / 1000.0, timing.threadWakeNs / 1000.0);
    std::printf("%-9s %-8s %6s %12s %12s %7s %12s %14s\n", "protocol", "run", "bytes", "bus time us",
                "minimum us", "ratio", "wall us", "instructions");
    for (int protocol = 1; protocol <= 4; ++protocol) {
        for (const char* mode : {"restore", "store"}) {
            RunResult r = runCase(protocol, std::strcmp(mode, "store") == 0);
            const long long instr = valgrind ? productInstructions(argv[0], protocol, mode) : -1;
            char instrText[32];
            if (instr >= 0)
                std::snprintf(instrText, sizeof instrText, "%lld", instr);
            else
                std::snprintf(instrText, sizeof instrText, "n/a");
            std::printf("%-9d %-8s %6zu %12.1f %12.1f %7.2f %12.0f %14s%s\n", protocol, mode, r.bytes,
                        r.busNs / 1000.0, r.minNs / 1000.0, r.minNs ? double(r.busNs) / double(r.minNs) : 0.0,
                        r.wallUs, instrText, r.ok ? "" : "  (run failed)");
        }
    }
    if (!valgrind) std::printf("\ninstructions: install valgrind to measure them (callgrind)\n");
    return 0;
}
