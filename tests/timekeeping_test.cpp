// Keeping time to the millisecond, on boards whose clocks run on virtual time: the boot that sets
// the clock at the chip's second edge, the store that lines the chip's second up with the
// system's, and the drift learnt from spaced calibrations, kept through a power cut and taken off
// the restore. The chips' phases are arranged so that every watch for an edge is short.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/aligned_store.h"
#include "app/chip_reading.h"
#include "sim/board/board_power.h"
#include "sim/board/simtime.h"
#include "e2e_util.h"
#include "testboard.h"

namespace timekeeping_test {

constexpr int64_t kMs = 10'000;  // file time units
constexpr int64_t kSecond = 1000 * kMs;
constexpr uint64_t kNsPerMs = 1'000'000;

const int64_t kT0 = e2e::fileTimeOf(2026, 3, 2, 9, 0, 0);

std::string registryWith(int protocol, bool precise, bool drift) {
    std::string text = e2e::registryFor(protocol);
    if (precise) text += "\"Precise\"=dword:00000001\r\n";
    if (drift) text += "\"DriftCorrection\"=dword:00000001\r\n";
    return text;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

uint8_t addressOf(int protocol) {
    return protocol == 3 ? 0x51 : 0x68;
}

// ---- The boot --------------------------------------------------------------------------------

// A boot that said it restored 09:00:`second` and left the system clock within `errorMin` to
// `errorMax` ms of the true time.
void expectRestored(const e2e::Board& board, const char* second, int64_t errorMin, int64_t errorMax) {
    EXPECT_EQ(board.debugLog(), "RTC Time restored (02.03.2026 09:00:" + std::string(second) + ")\r\n");
    const int64_t errorMs = (board.systemTime() - board.trueTime()) / kMs;
    EXPECT_GE(errorMs, errorMin);
    EXPECT_LE(errorMs, errorMax);
}

struct BootCase {
    int protocol;
    bool precise;
    int64_t phaseMs;             // how far the chip's (and the true) second has run at the boot
    const char* restored;        // the second the boot reports
    int64_t errorMin, errorMax;  // the system clock less the true time afterwards, ms
};

TEST(PreciseBoot, SetsTheClockAtTheChipsSecondEdgeOnEveryProtocol) {
    const BootCase cases[] = {
        // As the program always did: at the start of the second read, up to a second late.
        {1, false, 700, "00", -705, -690},
        {1, true, 950, "01", -2, 2},
        {2, true, 950, "01", -2, 2},
        {3, true, 950, "01", -2, 2},
        // The hundredths give the phase within the hundredth: no second to wait for.
        {4, true, 420, "00", -2, 2},
    };
    for (const BootCase& c : cases) {
        SCOPED_TRACE("protocol " + std::to_string(c.protocol) + (c.precise ? ", Precise" : ""));
        e2e::Board board(e2e::virtualConfig(c.protocol), registryWith(c.protocol, c.precise, false));
        board.startAt(kT0);
        board.advance(static_cast<uint64_t>(c.phaseMs) * kNsPerMs);
        const uint64_t uptimeBefore = board.state().uptimeNs;
        ASSERT_EQ(board.runTamblin(), 1);
        expectRestored(board, c.restored, c.errorMin, c.errorMax);
        // The wait for the edge is what a boot costs more: here under the second's remainder.
        EXPECT_LE(board.state().uptimeNs - uptimeBefore,
                  static_cast<uint64_t>(1000 - c.phaseMs + 50) * kNsPerMs);
    }
}

TEST(PreciseBoot, AChipThatDoesNotTickIsNotTrustedAndTheWaitStaysBounded) {
    sim::BoardConfig config = e2e::virtualConfig(1);
    config.chips[0].frozen = true;  // its oscillator stands
    e2e::Board board(config, registryWith(1, true, false));
    board.startAt(kT0);
    const int64_t systemBefore = board.systemClockSetTo();
    const uint64_t uptimeBefore = board.state().uptimeNs;
    ASSERT_EQ(board.runTamblin(), 1);
    EXPECT_EQ(board.debugLog(),
              "Tamblin: RTC second did not tick over within 1100 ms\r\n"
              "Invalid time on External RTC, please set a valid time\r\n");
    EXPECT_EQ(board.systemClockSetTo(), systemBefore);       // the clock is left alone
    EXPECT_EQ(board.state().notifications.list.size(), 2u);  // and time and zone changes still reach the chip
    const uint64_t costMs = (board.state().uptimeNs - uptimeBefore) / kNsPerMs;
    EXPECT_GE(costMs, 1100u);
    EXPECT_LE(costMs, 1150u);
}

// The boot reads the chip and then waits for the notification service; what passes in between is
// added to the chip's time on every way the options take it, never taken off.
TEST(PreciseBoot, TheWaitForTheNotificationServiceIsAddedToTheChipsTime) {
    struct Case {
        bool precise, drift;
        const char* restored;        // the second the boot reports, at 09:00:03.7
        int64_t errorMin, errorMax;  // the system clock less the true time afterwards, ms
    };
    const Case cases[] = {
        {false, false, "02", -705, -690},  // the start of the second read, as the program always did
        {true, false, "03", -2, 2},        // its edge
        {false, true, "03", -205, -190},   // the middle of the second read
        {true, true, "03", -2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.precise ? "Precise " : "") + (c.drift ? "DriftCorrection" : ""));
        sim::BoardConfig config = e2e::virtualConfig(1);
        config.apiReady = sim::ApiReady::AfterMs;
        config.apiReadyAfterMs = 700 + 3000;  // three seconds after the boot's read
        e2e::Board board(config, registryWith(1, c.precise, c.drift));
        board.startAt(kT0);
        board.advance(700 * kNsPerMs);
        ASSERT_EQ(board.runTamblin(), 1);
        expectRestored(board, c.restored, c.errorMin, c.errorMax);
    }
}

// ---- The store -------------------------------------------------------------------------------

struct StoreCase {
    int protocol;
    bool precise;
    int64_t offsetMin, offsetMax;  // the chip less the system clock afterwards, ms
};

TEST(PreciseStore, LinesTheChipsRestartedSecondUpWithTheSystems) {
    const StoreCase cases[] = {
        // Without Precise the whole second is written at once: the chip is behind by the milliseconds the
        // system clock had run (300). Protocol 3's first second after its restart is short: ahead.
        {1, false, -302, -299}, {3, false, 190, 193}, {1, true, -1, 1},
        {2, true, -1, 1},       {3, true, -1, 1},     {4, true, -1, 1},
    };
    for (const StoreCase& c : cases) {
        SCOPED_TRACE("protocol " + std::to_string(c.protocol) + (c.precise ? ", Precise" : ""));
        e2e::Board board(e2e::virtualConfig(c.protocol), registryWith(c.protocol, c.precise, false));
        board.startAt(kT0);
        // A time change to 12 minutes and 300 ms later than the chip holds.
        board.setSystemClock(kT0 + 720 * kSecond + 300 * kMs, kT0);
        ASSERT_EQ(board.runTamblin({"AppRunAfterTimeChange"}), 1);
        EXPECT_TRUE(contains(board.debugLog(), "RTC Time set (02.03.2026 09:12:0")) << board.debugLog();
        const int64_t offsetMs = (board.chipTime(addressOf(c.protocol)) - board.systemTime()) / kMs;
        EXPECT_GE(offsetMs, c.offsetMin);
        EXPECT_LE(offsetMs, c.offsetMax);
    }
}

// The store reads the system clock once, before it measures the chip and waits; what passes after
// that reading is added to it, for a write at once and for one at the next second the write can
// reach. The board is frozen: its clocks stand, and time passes as the program sleeps.
TEST(PreciseStore, TheTimeSinceTheClocksReadingIsAddedToIt) {
    struct Case {
        bool precise;
        uint32_t sleepMs;      // between the reading and the plan
        int64_t leadMs;        // how far into the second written the chip's second restarts
        int64_t writtenAfter;  // the second written, after the clock's reading, s
    };
    // The clock is read at 09:00:00.200; the write's latency is 3 ms and its margin 1 ms.
    const Case cases[] = {
        {false, 2500, 0, 2},   // at once: the second the clock is in, 09:00:02.7
        {false, 2900, 0, 3},   // 09:00:03.1
        {true, 2500, 0, 3},    // the first second whose restart is at or after 09:00:02.704
        {true, 2900, 0, 4},    // after 09:00:03.104
        {true, 2900, 492, 3},  // a chip whose second restarts half-way into 09:00:03
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((c.precise ? "Precise, " : "") + std::to_string(c.sleepMs) + " ms, lead " +
                     std::to_string(c.leadMs) + " ms");
        TestBoard board;
        SYSTEMTIME set = {2026, 3, 1, 2, 9, 0, 0, 200};
        ASSERT_TRUE(SetSystemTime(&set));
        const int64_t read = kT0 + 200 * kMs;
        TimePoint system;
        SystemClockNow(&system);
        ASSERT_EQ(system.units, read);
        Sleep(c.sleepMs);
        WritePlan plan = {3 * kMs, c.leadMs * kMs, 0, 0};
        if (c.precise)
            PlanAtSecond(&system, &plan);
        else
            PlanAtOnce(&system, &plan);
        EXPECT_EQ(plan.written, kT0 + c.writtenAfter * kSecond);
        const int64_t now = read + static_cast<int64_t>(c.sleepMs) * kMs;
        if (c.precise) {
            EXPECT_EQ(plan.restart, plan.written + plan.lead);
        } else {  // the restart follows the write's start by its latency
            EXPECT_GE(plan.restart, now + plan.latency);
            EXPECT_LE(plan.restart, now + plan.latency + kMs);
        }
    }
}

// ---- Drift -----------------------------------------------------------------------------------

std::string registryFile(const e2e::Board& board) {
    return board.file("registry.reg");
}

// A time change to the true time, as a network time client makes it, and the store it starts.
void calibrate(const e2e::Board& board) {
    const int64_t now = board.trueTime();
    board.setSystemClock(now, now);
    ASSERT_EQ(board.runTamblin({"AppRunAfterTimeChange"}), 1);
}

std::string logSince(const e2e::Board& board, size_t* from) {
    const std::string log = board.debugLog();
    const std::string part = log.substr(*from);
    *from = log.size();
    return part;
}

// A protocol-1 chip whose crystal gains 50 ppm, on a board with virtual clocks.
sim::BoardConfig gainingChip() {
    sim::BoardConfig config = e2e::virtualConfig(1);
    config.chips[0].ppm = 50;
    return config;
}

TEST(DriftCorrection, LearnsFromSpacedCalibrationsKeepsItThroughAPowerCutAndCorrectsTheBoot) {
    e2e::Board board(gainingChip(), registryWith(1, true, true));
    board.startAt(kT0);
    size_t seen = 0;

    board.advance(950 * kNsPerMs);
    calibrate(board);  // the first calibration: nothing to learn from yet
    EXPECT_EQ(logSince(board, &seen), "RTC Time set (02.03.2026 09:00:02)\r\n");
    EXPECT_TRUE(contains(registryFile(board), "\"RtcSetAt\"=hex:")) << registryFile(board);

    // A week on, the chip has gained 30.24 s; its second is then 0.95 s in (0.71 + 0.24).
    board.advance((7 * 86400 * 1000ULL + 710) * kNsPerMs);
    calibrate(board);
    std::string log = logSince(board, &seen);
    EXPECT_TRUE(contains(log, "Tamblin: RTC drift of +50.0")) << log;
    EXPECT_TRUE(contains(log, " ppm over 168 h, learned drift now +50.0")) << log;
    // Flushed: in registry.reg, nothing left in RAM.
    const std::string reg = registryFile(board);
    EXPECT_TRUE(contains(reg, "\"DriftPpb\"=dword:0000c3")) << reg;  // 50000 ppb = 0xc350, give or take
    EXPECT_TRUE(board.state().registryNotFlushed.empty());

    // 23 days off: the power goes, the board's own clock with it; the chip gains 99.36 s.
    ASSERT_EQ(board.runVboard({"power", "down"}), 0);
    board.advance((23 * 86400 * 1000ULL + 590) * kNsPerMs);
    ASSERT_EQ(board.runVboard({"power", "up"}), 0);
    ASSERT_EQ(board.runTamblin(), 1);
    log = logSince(board, &seen);
    EXPECT_TRUE(contains(log, "Tamblin: RTC time corrected by -99.3")) << log;
    const int64_t errorMs = (board.systemTime() - board.trueTime()) / kMs;
    EXPECT_GE(errorMs, -3);
    EXPECT_LE(errorMs, 3);

    // A person moves the clock an hour on (the chip, which a boot leaves as it is, 99 s ahead of the
    // true time): written to the chip, but no drift is learnt from it.
    const int64_t now = board.trueTime();
    board.setSystemClock(now + 3600 * kSecond, now);
    ASSERT_EQ(board.runTamblin({"AppRunAfterTimeChange"}), 1);
    log = logSince(board, &seen);
    EXPECT_TRUE(
        contains(log, "Tamblin: RTC was -3500 s off the new time: the clock was set, no drift learned\r\n"))
        << log;
    EXPECT_TRUE(contains(registryFile(board), "\"DriftPpb\"=dword:0000c3")) << registryFile(board);
}

TEST(DriftCorrection, RefusesADriftNoCrystalHas) {
    sim::BoardConfig config = e2e::virtualConfig(1);
    config.chips[0].ppm = 800;
    e2e::Board board(config, registryWith(1, false, true));
    board.startAt(kT0);
    board.advance(950 * kNsPerMs);
    calibrate(board);
    // Six hours on the chip has gained 17.28 s: its second is 0.95 s in again at 0.67.
    board.advance((6 * 3600 * 1000ULL + 670) * kNsPerMs);
    calibrate(board);
    const std::string log = board.debugLog();
    EXPECT_TRUE(contains(log, "Tamblin: RTC drift of +800.0")) << log;
    EXPECT_TRUE(contains(log, " ppm refused: beyond 500 ppm\r\n")) << log;
    EXPECT_TRUE(contains(registryFile(board), "\"DriftHours\"=dword:00000000")) << registryFile(board);
}

// ---- A change of the time zone ------------------------------------------------------------------
// The person keeps the local time and UTC moves (the platform's clock is kept in local time); the
// program started for the zone change writes the new UTC into the chip, so that the next boot
// restores the same local time. No true time has passed the chip by: nothing is learnt from it.

const int64_t kSummer = e2e::fileTimeOf(2026, 7, 1, 9, 0, 0);

// The registry of an image: the chip and options, the platform's launches and device/tamblin.reg.
std::string imageRegistry(int protocol, bool precise, bool drift) {
    const std::string top = TAMBLIN_SOURCE_DIR;
    return registryWith(protocol, precise, drift) +
           e2e::readFile(top + "/tests/fixtures/ce5-common-init.reg") + "\r\n" +
           e2e::readFile(top + "/device/tamblin.reg");
}

// The board's power going off as `vboard power down` does it (the chips to their backup supply,
// what the registry held in RAM lost), done here rather than by a program started for it.
void powerDown(const e2e::Board& board) {
    sim::Board::use(board.dir);
    sim::timeStartProcess();
    sim::powerDownBoard();
}

// How far the board's local time stands from its true time.
int64_t localAhead(const e2e::Board& board) {
    const sim::BoardState s = board.state();
    return s.systemClock.local - s.systemClock.atHost;
}

TEST(ZoneChange, TheBootAfterItRestoresTheLocalTimeThePersonKeptOnEveryProtocolAndOption) {
    // Each leg: the zone set, a night without power, the boot through [HKEY_LOCAL_MACHINE\init].
    struct Leg {
        const char* zone;
        bool options;          // Precise and DriftCorrection on
        const char* stored;    // the UTC the store writes
        const char* restored;  // the UTC the boot restores
    };
    // Central European summer time to Eastern and back: the local time stays, UTC moves six hours
    // on, then back. The local time stands two hours ahead of the true time throughout.
    const Leg legs[] = {
        {"us-eastern", false, "RTC Time set (01.07.2026 15:00:0", "Time restored (01.07.2026 23:00:0"},
        {"cet", true, "RTC Time set (01.07.2026 17:00:0", "Time restored (02.07.2026 01:00:0"}};
    for (int protocol = 1; protocol <= 4; ++protocol) {
        e2e::Board board(e2e::virtualConfig(protocol), imageRegistry(protocol, false, false));
        board.startAt(kSummer);
        board.advance(950 * kNsPerMs);
        ASSERT_EQ(board.runTamblin(), 1);  // the boot that registered
        for (const Leg& leg : legs) {
            SCOPED_TRACE("protocol " + std::to_string(protocol) + ", to " + leg.zone +
                         (leg.options ? ", Precise and DriftCorrection" : ""));
            if (leg.options)
                std::ofstream(board.dir + "/registry.reg", std::ios::app)
                    << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack\\Tamblin]\r\n\"Precise\"=dword:00000001\r\n"
                    << "\"DriftCorrection\"=dword:00000001\r\n";
            std::string out;
            ASSERT_EQ(board.runVboard({"zone", "set", leg.zone}, &out), 0) << out << board.file(".stderr");
            EXPECT_TRUE(
                contains(out, "Notification service started \\WINDOWS\\TAMBLIN.EXE AppRunAfterTzChange"))
                << out;
            EXPECT_TRUE(contains(out, std::string("exited with 1: ") + leg.stored)) << out;
            const int64_t before = localAhead(board);
            EXPECT_LT(std::abs(before - 2 * 3600 * kSecond), kSecond) << "the local time the person kept";

            powerDown(board);
            board.advance(8 * 3600 * 1000ULL * kNsPerMs);
            ASSERT_EQ(board.runVboard({"power", "up"}, &out), 0) << out << board.file(".stderr");
            EXPECT_TRUE(contains(out, std::string("(\\Windows\\Tamblin.exe 25) exited with 1, having called "
                                                  "SignalStarted: \"RTC ") +
                                          leg.restored))
                << out;
            EXPECT_LT(std::abs(localAhead(board) - before), kSecond);
        }
    }
}

TEST(ZoneChange, TeachesTheDriftLearnerNothingAndLeavesItsCalibrationSound) {
    e2e::Board board(gainingChip(), registryWith(1, true, true));
    board.startAt(kSummer);
    size_t seen = 0;
    board.advance(950 * kNsPerMs);
    ASSERT_EQ(board.runTamblin(), 1);  // registers
    calibrate(board);
    // A week on: +50 ppm learnt.
    board.advance((7 * 86400 * 1000ULL + 710) * kNsPerMs);
    calibrate(board);
    EXPECT_TRUE(contains(logSince(board, &seen), "learned drift now +50.0"));

    // Two days into the next calibration the zone changes: UTC moves six hours, the chip holds the
    // old UTC. That is no drift, and no person moved the clock.
    board.advance(2 * 86400 * 1000ULL * kNsPerMs);
    ASSERT_EQ(board.runVboard({"zone", "set", "us-eastern"}), 0) << board.file(".stderr");
    std::string log = logSince(board, &seen);
    EXPECT_TRUE(contains(log, "Tamblin: time-zone change, no drift learned\r\n")) << log;
    EXPECT_TRUE(contains(log, "RTC Time set (")) << log;
    EXPECT_FALSE(contains(log, "off the new time")) << log;
    EXPECT_FALSE(contains(log, "drift of")) << log;
    std::string reg = registryFile(board);
    EXPECT_TRUE(contains(reg, "\"DriftPpb\"=dword:0000c3")) << reg;  // still 50 ppm
    EXPECT_TRUE(contains(reg, "\"CalibrationDriftUs\"=dword:00000000")) << reg;
    // The system's UTC now stands six hours from the true time, and the chip with it.
    const int64_t shift = board.systemTime() - board.trueTime();
    EXPECT_LT(std::abs(shift - 6 * 3600 * kSecond), kSecond);

    // Five days on, the clock is set right in its own reckoning: the calibration begun at the zone
    // change measures the chip's 50 ppm, and the boot takes it off.
    board.advance((5 * 86400 * 1000ULL + 300) * kNsPerMs);
    const int64_t now = board.trueTime();
    board.setSystemClock(now + shift, now);
    ASSERT_EQ(board.runTamblin({"AppRunAfterTimeChange"}), 1);
    log = logSince(board, &seen);
    EXPECT_TRUE(contains(log, "Tamblin: RTC drift of +50.0")) << log;
    EXPECT_TRUE(contains(log, " ppm over 120 h, learned drift now +50.0")) << log;
}

}  // namespace timekeeping_test
