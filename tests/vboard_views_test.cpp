// vboard's views of a board: its time zone from the host's time-zone database, and the bus trace
// as a VCD file and as a picture that a real SVG renderer draws.
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "e2e_util.h"

// A namespace of its own: the tests are compiled together in unity builds.
namespace vboard_views_test {

using e2e::readFile;

std::string vboard(const e2e::Board& b, const std::string& args, int* status) {
    return e2e::runShell(std::string(TAMBLIN_BIN_DIR) + "/vboard --board " + b.dir + " " + args + " 2>&1",
                         status);
}

sim::json zoneRecord(const e2e::Board& b) {
    return sim::json::parse(readFile(b.dir + "/board.json"))["timeZone"];
}

// ---- Time zones: the platform's record from the IANA rules ----------------------------------

// A change as the record holds it: month, weekday (0 = Sunday), which of the month's weekdays
// (5 = the last) and the local time it happens at.
struct Change {
    int month, dayOfWeek, week, hour, minute;
};

struct ZoneCase {
    std::string name;  // as typed
    std::string stored;
    int bias;          // minutes, UTC = local + bias
    int daylightBias;  // 0: no daylight saving time
    Change toDaylight, toStandard;
    std::string standardName, daylightName;
};

// What a test list shows of the case, and its name there.
void PrintTo(const ZoneCase& c, std::ostream* os) {
    e2e::printCase(c.name, os);
}

// The rules as the zones' governments set them: the EU changes at 01:00 UTC on the last Sundays
// of March and October, the US at 02:00 local on the second Sunday of March and the first of
// November, New South Wales at 02:00 on the first Sunday of October and 03:00 (daylight time) on
// the first Sunday of April, Ireland keeps GMT in winter and Irish Standard Time in summer.
const ZoneCase kZones[] = {
    {"Europe/Berlin", "Europe/Berlin", -60, -60, {3, 0, 5, 2, 0}, {10, 0, 5, 3, 0}, "CET", "CEST"},
    {"europe/BERLIN", "Europe/Berlin", -60, -60, {3, 0, 5, 2, 0}, {10, 0, 5, 3, 0}, "CET", "CEST"},
    {"Europe/Helsinki", "Europe/Helsinki", -120, -60, {3, 0, 5, 3, 0}, {10, 0, 5, 4, 0}, "EET", "EEST"},
    {"Europe/London", "Europe/London", 0, -60, {3, 0, 5, 1, 0}, {10, 0, 5, 2, 0}, "GMT", "BST"},
    {"Europe/Dublin", "Europe/Dublin", 0, -60, {3, 0, 5, 1, 0}, {10, 0, 5, 2, 0}, "GMT", "IST"},
    {"America/New_York", "America/New_York", 300, -60, {3, 0, 2, 2, 0}, {11, 0, 1, 2, 0}, "EST", "EDT"},
    {"america/los_angeles", "America/Los_Angeles", 480, -60, {3, 0, 2, 2, 0}, {11, 0, 1, 2, 0}, "PST", "PDT"},
    {"Australia/Sydney", "Australia/Sydney", -600, -60, {10, 0, 1, 2, 0}, {4, 0, 1, 3, 0}, "AEST", "AEDT"},
    {"Pacific/Auckland", "Pacific/Auckland", -720, -60, {9, 0, 5, 2, 0}, {4, 0, 1, 3, 0}, "NZST", "NZDT"},
    {"Asia/Kolkata", "Asia/Kolkata", -330, 0, {}, {}, "IST", "IST"},
    {"Asia/Tokyo", "Asia/Tokyo", -540, 0, {}, {}, "JST", "JST"},
    {"America/Phoenix", "America/Phoenix", 420, 0, {}, {}, "MST", "MST"},
    {"Etc/UTC", "Etc/UTC", 0, 0, {}, {}, "UTC", "UTC"},
};

void expectChange(const sim::json& t, const Change& c, const std::string& what) {
    EXPECT_EQ(t["year"], 0) << what;
    EXPECT_EQ(t["month"], c.month) << what;
    EXPECT_EQ(t["dayOfWeek"], c.dayOfWeek) << what;
    EXPECT_EQ(t["day"], c.week) << what;
    EXPECT_EQ(t["hour"], c.hour) << what;
    EXPECT_EQ(t["minute"], c.minute) << what;
}

class ZoneSet : public ::testing::TestWithParam<ZoneCase> {};

TEST_P(ZoneSet, WritesTheZonesRulesAsThePlatformsRecordAndKeepsTheBoardsState) {
    const ZoneCase& c = GetParam();
    sim::BoardConfig config = e2e::frozenConfig(1);
    config.chips.at(0).frozen = true;  // a chip's own setting, which must survive the zone change
    e2e::Board board(config, e2e::registryFor(1));
    int status = 0;
    ASSERT_EQ(vboard(board, "notify add 'Other.exe' x", &status), "Registered as 1\n");
    const std::string stateBefore = readFile(board.dir + "/state.json");
    const std::string registryBefore = readFile(board.dir + "/registry.reg");
    sim::json configBefore = sim::json::parse(readFile(board.dir + "/board.json"));

    const std::string out = vboard(board, "zone set '" + c.name + "'", &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Time zone: " + c.stored), std::string::npos) << out;
    const sim::json z = zoneRecord(board);
    EXPECT_EQ(z["name"], c.stored);
    EXPECT_EQ(z["bias"], c.bias);
    EXPECT_EQ(z["standardBias"], 0);
    EXPECT_EQ(z["daylightBias"], c.daylightBias);
    EXPECT_EQ(z["standardName"], c.standardName);
    EXPECT_EQ(z["daylightName"], c.daylightName);
    if (c.daylightBias) {
        expectChange(z["daylightDate"], c.toDaylight, c.name + " to daylight time");
        expectChange(z["standardDate"], c.toStandard, c.name + " to standard time");
    } else {
        EXPECT_EQ(z["daylightDate"]["month"], 0);
        EXPECT_EQ(z["standardDate"]["month"], 0);
    }
    // Only the zone changed: the state (the clock, which keeps its local time, notifications,
    // chips), the registry and the rest of board.json, a chip's own settings included, are as they
    // were. The daylight flag is decided for the new zone (ZoneChange's tests).
    sim::json stateAfter = sim::json::parse(readFile(board.dir + "/state.json"));
    sim::json stateWas = sim::json::parse(stateBefore);
    stateAfter.erase("daylight");
    stateWas.erase("daylight");
    EXPECT_EQ(stateAfter, stateWas);
    EXPECT_EQ(readFile(board.dir + "/registry.reg"), registryBefore);
    sim::json configAfter = sim::json::parse(readFile(board.dir + "/board.json"));
    configAfter.erase("timeZone");
    configBefore.erase("timeZone");
    EXPECT_EQ(configAfter, configBefore);
    EXPECT_EQ(configAfter["chips"][0]["frozen"], true);

    // init takes the same names, with the same result.
    e2e::Board other(e2e::frozenConfig(1), e2e::registryFor(1));
    ASSERT_EQ(vboard(other, "init --force --frozen --zone '" + c.name + "'", &status).find("Created"), 0u);
    EXPECT_EQ(zoneRecord(other), z);
}

INSTANTIATE_TEST_SUITE_P(Vboard, ZoneSet, ::testing::ValuesIn(kZones), e2e::CaseNames());

TEST(ZoneRecord, ChangesOutsideTheDayOfTheRuleLandOnTheLocalDayTheyHappen) {
    // Greenland changes with the EU at 01:00 UTC: at 23:00 local on the Saturday before the last
    // Sunday of March (-02 to -01), and at 00:00 local on the last Sunday of October.
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    int status = 0;
    const std::string out = vboard(board, "zone set America/Nuuk", &status);
    ASSERT_EQ(status, 0) << out;
    const sim::json z = zoneRecord(board);
    EXPECT_EQ(z["bias"], 120);
    EXPECT_EQ(z["daylightBias"], -60);
    EXPECT_EQ(z["daylightDate"]["month"], 3);
    EXPECT_EQ(z["daylightDate"]["dayOfWeek"], 6);
    EXPECT_EQ(z["daylightDate"]["hour"], 23);
    expectChange(z["standardDate"], {10, 0, 5, 0, 0}, "to standard time");
}

TEST(ZoneRecord, ShortNamesKeepThePlatformsOwnRecords) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    const sim::json cet = zoneRecord(board);  // the default board's zone
    int status = 0;
    for (const char* name : {"CET", "cet", "utc", "us-eastern", "Sydney"}) {
        vboard(board, std::string("zone set ") + name, &status);
        ASSERT_EQ(status, 0) << name;
    }
    const sim::json sydney = zoneRecord(board);
    EXPECT_EQ(sydney["standardName"], "AUS Eastern Standard Time");
    EXPECT_EQ(sydney["bias"], -600);
    vboard(board, "zone set cet", &status);
    EXPECT_EQ(zoneRecord(board), cet);
    EXPECT_EQ(cet["standardName"], "W. Europe Standard Time");
    // The short name and the database agree on the rules.
    vboard(board, "zone set Europe/Paris", &status);
    const sim::json paris = zoneRecord(board);
    for (const char* field : {"bias", "daylightBias", "daylightDate", "standardDate"})
        EXPECT_EQ(paris[field], cet[field]) << field;
}

TEST(ZoneShow, SaysTheZoneItsOffsetsAndWhenTheClocksChange) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    int status = 0;
    vboard(board, "zone set europe/berlin", &status);
    const std::string out = vboard(board, "zone show", &status);
    EXPECT_EQ(status, 0);
    for (const char* part : {"Time zone: Europe/Berlin", "CET, UTC+01:00", "CEST, UTC+02:00",
                             "from the last Sunday of March 02:00 to the last Sunday of October 03:00"})
        EXPECT_NE(out.find(part), std::string::npos) << part << "\n" << out;
}

TEST(ZoneList, ListsTheDatabasesZonesOnlyAndFilters) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    int status = 0;
    const std::string all = vboard(board, "zone list", &status);
    EXPECT_EQ(status, 0);
    std::istringstream in(all);
    std::vector<std::string> names;
    for (std::string l; std::getline(in, l);) names.push_back(l);
    EXPECT_GT(names.size(), 300u);
    for (const char* expected : {"Europe/Berlin", "America/New_York", "Australia/Sydney", "UTC"})
        EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
    for (const std::string& n : names) {
        EXPECT_NE(n.rfind("posix/", 0), 0u) << n;
        EXPECT_NE(n.rfind("right/", 0), 0u) << n;
        EXPECT_EQ(n.find('.'), std::string::npos) << n;  // zone.tab, tzdata.zi, ...
        EXPECT_NE(n, "localtime");
    }
    EXPECT_EQ(vboard(board, "zone list BERLIN", &status), "Europe/Berlin\n");
}

// ---- The trace as a VCD file ------------------------------------------------------------------

// One transaction as a chip read: S, address 0x68 write, register 0, Sr, address 0x68 read,
// a byte the master does not acknowledge, P; 5 ms later an address nobody acknowledges.
const char* const kTrace =
    "5000000 S 10000\n"
    "5010000 B 10000 D0 A\n"
    "5100000 B 10000 00 A\n"
    "5190000 Sr 10000\n"
    "5200000 B 10000 D1 A\n"
    "5290000 B 10000 55 N\n"
    "5380000 P 10000\n"
    "10000000 S 10000\n"
    "10010000 B 10000 A0 N\n"
    "10100000 P 10000\n";

struct VcdChange {
    uint64_t ns;
    char id;
    int level;
};

std::vector<VcdChange> vcdChanges(const std::string& vcd) {
    std::vector<VcdChange> out;
    std::istringstream in(vcd.substr(vcd.find("$enddefinitions")));
    uint64_t now = 0;
    bool dump = false;
    for (std::string l; std::getline(in, l);) {
        if (l == "$dumpvars") dump = true;
        if (l == "$end") dump = false;
        if (!l.empty() && l[0] == '#') now = std::stoull(l.substr(1));
        if (!dump && l.size() == 2 && (l[0] == '0' || l[0] == '1')) out.push_back({now, l[1], l[0] - '0'});
    }
    return out;
}

TEST(TraceVcd, KeepsTheTracesTimestampsAndWritesToStandardOutput) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    std::ofstream(board.dir + "/trace.log") << kTrace;
    int status = 0;
    const std::string stdoutVcd = e2e::runShell(
        std::string(TAMBLIN_BIN_DIR) + "/vboard --board " + board.dir + " trace vcd -", &status);
    ASSERT_EQ(status, 0);
    vboard(board, "trace vcd " + board.dir + "/bus.vcd", &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(readFile(board.dir + "/bus.vcd"), stdoutVcd);
    ASSERT_NE(stdoutVcd.find("$timescale 1ns $end"), std::string::npos);
    const std::vector<VcdChange> changes = vcdChanges(stdoutVcd);
    ASSERT_FALSE(changes.empty());
    // The start's SDA fall lies within the start's bit time, the first SCL pulse within the first
    // byte's first bit, and the second transaction's start within its own bit time.
    EXPECT_EQ(changes.front().id, '"');
    EXPECT_EQ(changes.front().level, 0);
    EXPECT_GE(changes.front().ns, 5000000u);
    EXPECT_LT(changes.front().ns, 5010000u);
    auto firstRise = std::find_if(changes.begin(), changes.end(), [](const VcdChange& c) {
        return c.id == '!' && c.level == 1 && c.ns >= 5010000u;
    });
    ASSERT_NE(firstRise, changes.end());
    EXPECT_LT(firstRise->ns, 5020000u);
    auto secondStart = std::find_if(changes.begin(), changes.end(), [](const VcdChange& c) {
        return c.id == '"' && c.level == 0 && c.ns >= 9000000u;
    });
    ASSERT_NE(secondStart, changes.end());
    EXPECT_GE(secondStart->ns, 10000000u);
    EXPECT_LT(secondStart->ns, 10010000u);
}

// ---- The trace as a picture -----------------------------------------------------------------

struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    bool is(int x, int y, uint8_t r, uint8_t g, uint8_t b) const {
        const size_t i = (static_cast<size_t>(y) * width + x) * 3;
        return rgb[i] == r && rgb[i + 1] == g && rgb[i + 2] == b;
    }
};

// A binary PPM (P6, maxval 255), as pngtopnm writes it.
Image readPpm(const std::string& data) {
    Image img;
    std::istringstream in(data);
    std::string magic;
    int maxval = 0;
    in >> magic >> img.width >> img.height >> maxval;
    in.get();
    if (magic != "P6" || maxval != 255) return Image{};
    img.rgb.resize(static_cast<size_t>(img.width) * img.height * 3);
    in.read(reinterpret_cast<char*>(img.rgb.data()), static_cast<std::streamsize>(img.rgb.size()));
    return img;
}

uint32_t bigEndian(const std::string& s, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[at])) << 24 | static_cast<uint8_t>(s[at + 1]) << 16 |
           static_cast<uint8_t>(s[at + 2]) << 8 | static_cast<uint8_t>(s[at + 3]);
}

// One line of the picture, read as a logic analyser user reads it: the picture is cut into rows,
// one under the other; in each row the line's colour takes a band of its own, whose topmost and
// bottommost pixel rows are where it is drawn high and low; a column holding the colour in just
// one of them shows that level. The rows' columns follow one another in time.
struct Wave {
    int high = -1, low = -1;  // of the first row
    int rows = 0;
    std::vector<int> level;  // per column of every row in turn: 1, 0, or -1 (an edge, or nothing drawn)
};

Wave readWave(const Image& img, uint8_t r, uint8_t g, uint8_t b) {
    std::vector<int> ys;
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x)
            if (img.is(x, y, r, g, b)) {
                ys.push_back(y);
                break;
            }
    // Bands: pixel rows of the colour with no wide gap between them.
    std::vector<std::pair<int, int>> bands;
    for (int y : ys) {
        if (bands.empty() || y - bands.back().second > 40)
            bands.push_back({y, y});
        else
            bands.back().second = y;
    }
    Wave w;
    w.rows = static_cast<int>(bands.size());
    if (!bands.empty()) {
        w.high = bands.front().first;
        w.low = bands.front().second;
    }
    for (const auto& [high, low] : bands)
        for (int x = 0; x < img.width; ++x) {
            const bool h = img.is(x, high, r, g, b), l = img.is(x, low, r, g, b);
            w.level.push_back(high == low ? (h ? 1 : -1) : h == l ? -1 : h ? 1 : 0);
        }
    return w;
}

// I2C decoded from the drawn lines alone: SDA falling while SCL is high is a start, rising a
// stop; SDA is sampled while SCL is high, eight data bits and the acknowledge.
std::vector<std::string> decodePicture(const Wave& scl, const Wave& sda) {
    std::vector<std::string> out;
    std::string current;
    int prevScl = -1, prevSda = -1, bits = 0, value = 0;
    bool clockRose = false;
    auto add = [&](const std::string& t) { current += (current.empty() ? "" : " ") + t; };
    for (size_t x = 0; x < scl.level.size(); ++x) {
        const int c = scl.level[x], d = sda.level[x];
        if (c < 0 || d < 0) continue;  // an edge column
        if (prevScl == 1 && c == 1 && prevSda != d) {
            // A start or stop; a clock pulse that led up to it carried no bit.
            add(d == 0 ? (current.empty() ? "S" : "Sr") : "P");
            if (d == 1) {
                out.push_back(current);
                current.clear();
            }
            bits = value = 0;
            clockRose = false;
        } else if (prevScl == 0 && c == 1) {
            clockRose = true;
        } else if (prevScl == 1 && c == 0 && clockRose) {
            // The clock pulse is over: SDA as it stood while SCL was high is the bit.
            clockRose = false;
            if (bits < 8) {
                value = value << 1 | prevSda;
                ++bits;
            } else {
                char byte[8];
                std::snprintf(byte, sizeof byte, "%02X %c", value, prevSda ? 'N' : 'A');
                add(byte);
                bits = value = 0;
            }
        }
        prevScl = c;
        prevSda = d;
    }
    return out;
}

TEST(TraceSvg, ARendererDrawsTheLinesThatDecodeToTheTracesBytes) {
    int status = 0;
    e2e::runShell("rsvg-convert --version 2>&1", &status);
    ASSERT_EQ(status, 0) << "rsvg-convert (librsvg2-bin) is part of the test set-up";
    e2e::runShell("pngtopnm --version 2>&1", &status);
    ASSERT_EQ(status, 0) << "pngtopnm (netpbm) is part of the test set-up";
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    std::ofstream(board.dir + "/trace.log") << kTrace;
    const std::string svgFile = board.dir + "/bus.svg", png = board.dir + "/bus.png";
    vboard(board, "trace svg " + svgFile, &status);
    ASSERT_EQ(status, 0);
    const std::string svg = readFile(svgFile);
    EXPECT_EQ(e2e::runShell(std::string(TAMBLIN_BIN_DIR) + "/vboard --board " + board.dir + " trace svg -",
                            &status),
              svg);

    // Above the lines: addresses with their direction, data bytes, acknowledges, conditions.
    for (const char* label : {">0x68 W<", ">0x68 R<", ">0x00<", ">0x55<", ">0x50 W<", ">ACK<", ">NAK<", ">S<",
                              ">Sr<", ">P<", ">+4."})
        EXPECT_NE(svg.find(label), std::string::npos) << label;

    e2e::runShell("rsvg-convert -o " + png + " " + svgFile + " 2>&1", &status);
    ASSERT_EQ(status, 0);
    const std::string pngData = readFile(png);
    ASSERT_GT(pngData.size(), 24u);
    ASSERT_EQ(pngData.substr(1, 3), "PNG");
    // The picture has the size the SVG declares; the 4.6 ms of idle bus between the transactions
    // are cut short (drawn to scale they alone would take 18400 px).
    const int width = static_cast<int>(bigEndian(pngData, 16)),
              height = static_cast<int>(bigEndian(pngData, 20));
    const size_t w = svg.find("width=\""), h = svg.find("height=\"");
    EXPECT_EQ(width, std::stoi(svg.substr(w + 7)));
    EXPECT_EQ(height, std::stoi(svg.substr(h + 8)));
    EXPECT_LT(width, 8000);

    const Image img = readPpm(e2e::runShell("pngtopnm " + png + " 2>/dev/null", &status));
    ASSERT_EQ(img.width, width);
    ASSERT_EQ(img.height, height);
    const Wave scl = readWave(img, 0x00, 0x80, 0x00), sda = readWave(img, 0x00, 0x00, 0xC8);
    ASSERT_GE(scl.high, 0);
    ASSERT_GE(sda.high, 0);
    EXPECT_GT(scl.low - scl.high, 10);
    EXPECT_GT(sda.low - sda.high, 10);
    EXPECT_GT(sda.high, scl.low) << "SDA is drawn below SCL";
    // Both lines idle high at the left edge of the drawing.
    int firstDrawn = 0;
    while (firstDrawn < width && scl.level[firstDrawn] < 0) ++firstDrawn;
    ASSERT_LT(firstDrawn, width);
    EXPECT_EQ(scl.level[firstDrawn], 1);
    EXPECT_EQ(sda.level[firstDrawn], 1);
    EXPECT_EQ(decodePicture(scl, sda), (std::vector<std::string>{"S D0 A 00 A Sr D1 A 55 N P", "S A0 N P"}));
}

// ---- What the wires did under faults on the lines --------------------------------------------

struct LineFaultCase {
    std::string fault;                // as `fault add` takes it (the case's name)
    sim::json faults;                 // as board.json holds it
    std::string note;                 // the FAULT note at the process start
    std::string held;                 // the line found held ("" none)
    std::vector<std::string> absent;  // what `trace show` must not claim
    bool vcdStartsLow;                // the VCD's held line starts low, with no edge into it
};

void PrintTo(const LineFaultCase& c, std::ostream* os) {
    e2e::printCase(c.fault, os);
}

const LineFaultCase kLineFaults[] = {
    {"i2cSclLowMs=forever",
     {{"i2cSclLowMs", "forever"}},
     "FAULT: i2cSclLowMs=forever: SCL is held low for good",
     "SCL",
     {"us  start", "us  stop", "us  byte"},
     true},
    {"gpioInputsLow=117",
     {{"gpioInputsLow", {117}}},
     "FAULT: gpioInputsLow=117: the board holds pad 117, the SCL line, low",
     "SCL",
     {"us  start", "us  stop", "us  byte"},
     true},
    {"i2cStuckSda=3",
     {{"i2cStuckSda", 3}},
     "FAULT: i2cStuckSda=3: a slave holds SDA low until it has seen 3 more clock pulses",
     "SDA",
     {"(5 kHz", "(32 kHz"},
     true},
    {"i2c:0=stayBusy",
     {{"i2c", {{{"byte", 0}, {"fault", "stayBusy"}}}}},
     "FAULT: stayBusy from the start: both I2C units read busy (UB, RWM) for good",
     "",
     {"us  start", "us  byte"},
     false},
    {"i2cClockStretchNs=20000", {{"i2cClockStretchNs", 20000}}, "", "", {"(5 kHz", "(32 kHz"}, false},
};

class LineFault : public ::testing::TestWithParam<LineFaultCase> {};

TEST_P(LineFault, TheTraceShowsTheLevelsTheLinesHadAndWhereTheFaultStruck) {
    const LineFaultCase& c = GetParam();
    sim::BoardConfig config = e2e::frozenConfig(1);
    config.faults = sim::faultsFromJson(c.faults);
    e2e::Board board(config, e2e::registryFor(1));
    int status = 0;
    board.runTamblin();
    const std::string shown = vboard(board, "trace show", &status);
    ASSERT_EQ(status, 0) << shown;
    if (!c.note.empty()) EXPECT_NE(shown.find(c.note), std::string::npos) << shown;
    for (const std::string& a : c.absent) EXPECT_EQ(shown.find(a), std::string::npos) << a << "\n" << shown;
    // Every condition on a bus with bytes says the speed it ran at, 100 kHz for this driver.
    for (const char* condition : {"  start (", "  repeated start (", "  stop ("})
        for (size_t at = shown.find(condition); at != std::string::npos; at = shown.find(condition, at + 1))
            EXPECT_EQ(shown.compare(at + std::strlen(condition), 12, "100 kHz bus)"), 0)
                << shown.substr(at, 60);
    if (c.held.empty()) return;
    const std::string edges = vboard(board, "trace show -e", &status);
    const std::string vcd = vboard(board, "trace vcd -", &status);
    EXPECT_NE(shown.find(c.held + " held low when the process looked at the bus"), std::string::npos)
        << shown;
    EXPECT_NE(edges.find(c.held + " held low"), std::string::npos) << edges;
    // The VCD begins with the held line low: a decoder sees no start where nothing happened.
    const char id = c.held == "SCL" ? '!' : '"';
    const std::string dump =
        vcd.substr(vcd.find("$dumpvars"), vcd.find("$end", vcd.find("$dumpvars")) - vcd.find("$dumpvars"));
    EXPECT_NE(dump.find(std::string(c.vcdStartsLow ? "0" : "1") + id), std::string::npos) << dump;
    const std::vector<VcdChange> changes = vcdChanges(vcd);
    auto first = std::find_if(changes.begin(), changes.end(), [&](const VcdChange& v) { return v.id == id; });
    if (first != changes.end()) EXPECT_EQ(first->level, 1) << "the held line's first change is its release";
    if (c.held == "SDA") {
        // The stuck slave lets go within the recovery's pulses, which the edges show.
        EXPECT_NE(edges.find("SDA released (high)"), std::string::npos) << edges;
        EXPECT_EQ(vboard(board, "trace show -t", &status).rfind("S D0 A 00 A Sr D1 A", 0), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Vboard, LineFault, ::testing::ValuesIn(kLineFaults), e2e::CaseNames());

// ---- Bus recovery, and bytes kept whole in the picture's rows -----------------------------------

struct RecoveryCase {
    std::string what;
    sim::json faults;
    std::vector<std::string> run;  // vboard's arguments; empty: a boot of the program
    std::string line;              // what `trace show` says of the recovery
};

void PrintTo(const RecoveryCase& c, std::ostream* os) {
    e2e::printCase(c.what, os);
}

const RecoveryCase kRecoveries[] = {
    {"the program's at its first opening",
     sim::json::object(),
     {},
     "bus recovery: 10 clock pulses on SCL, the last ending in a stop (at "},
    {"the program's freeing a stuck slave",
     {{"i2cStuckSda", 3}},
     {},
     "bus recovery: 10 clock pulses on SCL, the last ending in a stop (at "},
    {"scan --recover",
     {{"i2cStuckSda", 3}},
     {"scan", "--recover", "0x68", "0x68"},
     "bus recovery: 4 clock pulses on SCL, the last ending in a stop (at "},
};

class BusRecovery : public ::testing::TestWithParam<RecoveryCase> {};

// The pulses are said for what they are, in one line, and no stop stands alone before the first
// start.
TEST_P(BusRecovery, IsOneLineInTraceShow) {
    const RecoveryCase& c = GetParam();
    sim::BoardConfig config = e2e::frozenConfig(1);
    config.faults = sim::faultsFromJson(c.faults);
    e2e::Board board(config, e2e::registryFor(1));
    if (c.run.empty())
        board.runTamblin();
    else
        ASSERT_EQ(board.runVboard(c.run), 0);
    int status = 0;
    const std::string shown = vboard(board, "trace show", &status);
    const size_t recovery = shown.find(c.line), start = shown.find("  start (");
    ASSERT_NE(recovery, std::string::npos) << shown;
    ASSERT_NE(start, std::string::npos) << shown;
    EXPECT_LT(recovery, start) << shown;
    EXPECT_EQ(shown.substr(0, start).find("  stop"), std::string::npos) << shown;
    EXPECT_EQ(shown.find(c.line, recovery + 1), std::string::npos) << "one line: " << shown;
}

INSTANTIATE_TEST_SUITE_P(Vboard, BusRecovery, ::testing::ValuesIn(kRecoveries), e2e::CaseNames());

TEST(BusRecovery, PulsesWithoutAStopAreSaidSoAndLevelsFoundHeldAreNoPulse) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    // SCL found held low and let go (no pulse), then two pulses and a start.
    std::ofstream(board.dir + "/trace.log") << "0 H SCL 0\n2000 L SCL 1\n3000 L SCL 0\n5000 L SCL 1\n"
                                               "10000 L SCL 0\n15000 L SCL 1\n20000 L SDA 0\n25000 L SCL 0\n";
    int status = 0;
    const std::string shown = vboard(board, "trace show", &status);
    EXPECT_NE(
        shown.find("5.000 us  bus recovery: 2 clock pulses on SCL outside a transaction, no stop after them"),
        std::string::npos)
        << shown;
    EXPECT_NE(shown.find("20.000 us  start"), std::string::npos) << shown;
}

// Each byte's box and its acknowledge's stand in one row of the picture: a row ends before a byte
// that would run over its end, and shows nothing of the next row's bytes.
TEST(TraceSvg, EveryByteStandsWholeInOneRow) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    // A long read: 300 bytes back to back, 90 us each at 100 kHz, far more than a row holds.
    std::string trace = "1000000 S 10000\n";
    for (int i = 0; i < 300; ++i)
        trace += std::to_string(1'010'000 + i * 90'000) + " B 10000 " + (i ? "5A" : "D1") + " A\n";
    trace += std::to_string(1'010'000 + 300 * 90'000 + 5'000) + " P 10000\n";
    std::ofstream(board.dir + "/trace.log") << trace;
    int status = 0;
    const std::string svg = vboard(board, "trace svg -", &status);
    ASSERT_EQ(status, 0);
    size_t rows = 0, boxes = 0;
    for (size_t clip = svg.find("<clipPath id=\"row"); clip != std::string::npos;
         clip = svg.find("<clipPath id=\"row", clip + 1), ++rows) {
        const auto number = [&](size_t from, const char* attribute) {
            const size_t at = svg.find(attribute, from) + std::strlen(attribute);
            return std::stod(svg.substr(at));
        };
        const double from = number(clip, "<rect x=\""), to = from + number(clip, "width=\"");
        const size_t group = svg.find("<g ", clip), end = svg.find("</g>", group);
        for (size_t rect = svg.find("<rect x=\"", group); rect < end;
             rect = svg.find("<rect x=\"", rect + 1)) {
            const std::string fill = svg.substr(svg.find("fill=\"", rect) + 6, 7);
            if (fill != "#f0f0ff" && fill != "#fff4d0" && fill != "#d8f5d8" && fill != "#ffd8d8") continue;
            const double x0 = number(rect, "<rect x=\""), x1 = x0 + number(rect, "width=\"");
            if (x1 <= from || x0 >= to) continue;  // drawn, but outside the row's view
            ++boxes;
            EXPECT_GE(x0, from) << "row " << rows << ": a box cut at the row's start";
            EXPECT_LE(x1, to) << "row " << rows << ": a box cut at the row's end";
        }
    }
    EXPECT_GT(rows, 10u);
    EXPECT_EQ(boxes, 600u) << "every byte and every acknowledge shown once";
}

TEST(TraceVcd, SigrokDecodesAPipedSessionQuicklyWithIdleStretchesCompressed) {
    int status = 0;
    e2e::runShell("sigrok-cli --version 2>&1", &status);
    ASSERT_EQ(status, 0) << "sigrok-cli is part of the test set-up (make deps installs it)";
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    board.runTamblin();
    board.runTamblin({"AppRunAfterTimeChange"});
    // Seconds of idle bus between the programs, as a real session has them.
    std::string trace = board.file("trace.log");
    std::ofstream(board.dir + "/trace.log") << trace << [&] {
        std::string later;
        std::istringstream in(trace);
        for (std::string l; std::getline(in, l);)
            later += std::to_string(std::stoull(l) + 3'000'000'000ull) + l.substr(l.find(' ')) + "\n";
        return later;
    }();
    std::vector<std::string> expected;
    std::istringstream in(vboard(board, "trace show -t", &status));
    for (std::string l; std::getline(in, l);) expected.push_back(l);
    ASSERT_GE(expected.size(), 4u);
    const std::string decoded =
        e2e::runShell(std::string(TAMBLIN_BIN_DIR) + "/vboard --board " + board.dir +
                          " trace vcd - | sigrok-cli -I vcd:compress=10000 -i - " + e2e::kSigrokI2c + " 2>&1",
                      &status);
    ASSERT_EQ(status, 0) << decoded;
    EXPECT_EQ(e2e::sigrokTransactions(decoded), expected) << decoded;
}

// ---- The picture: markers on their edges, rows a renderer takes, windows -----------------------

// The x of every condition marker, and of every SDA edge drawn, as the SVG writes them (drawing
// coordinates of each row).
TEST(TraceSvg, EachConditionsMarkerStandsOnTheSdaEdgeThatMakesIt) {
    sim::BoardConfig config = e2e::frozenConfig(1);
    config.faults = sim::faultsFromJson(sim::json{
        {"i2c", {{{"byte", 1}, {"fault", "arbitrationLoss"}}, {{"byte", 4}, {"fault", "arbitrationLoss"}}}}});
    e2e::Board board(config, e2e::registryFor(1));
    board.runTamblin();
    int status = 0;
    const std::string svg = vboard(board, "trace svg -", &status);
    ASSERT_EQ(status, 0);
    std::set<std::string> sdaEdges;
    for (size_t at = svg.find("stroke=\"#0000c8\""); at != std::string::npos;
         at = svg.find("stroke=\"#0000c8\"", at + 1)) {
        const size_t d = svg.find("d=\"", at) + 3;
        std::istringstream path(svg.substr(d, svg.find('"', d) - d));
        for (std::string step; path >> step;)
            if (step[0] == 'H') sdaEdges.insert(step.substr(1));
    }
    int markers = 0;
    for (size_t at = svg.find("stroke-dasharray=\"3,3\""); at != std::string::npos;
         at = svg.find("stroke-dasharray=\"3,3\"", at + 1)) {
        const size_t line = svg.rfind("<line x1=\"", at) + 10;
        const std::string x = svg.substr(line, svg.find('"', line) - line);
        EXPECT_TRUE(sdaEdges.count(x)) << "a marker at x=" << x << " stands on no SDA edge";
        ++markers;
    }
    EXPECT_GE(markers, 6);
    EXPECT_NE(svg.find(">arbitration lost<"), std::string::npos);
}

// A long session of many short transactions, one program after the other: the picture comes in
// rows that a common renderer draws, and the rows read one after the other decode to the trace.
TEST(TraceSvg, ALongSessionComesInRowsARendererDrawsAndTheyDecodeToTheTrace) {
    int status = 0;
    e2e::runShell("rsvg-convert --version 2>&1 && pngtopnm --version 2>&1", &status);
    ASSERT_EQ(status, 0) << "rsvg-convert and pngtopnm are part of the test set-up";
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    std::string trace;
    for (int i = 0; i < 12; ++i) {
        const uint64_t t = 1'000'000 + static_cast<uint64_t>(i) * 4'000'000;
        char buf[160];
        std::snprintf(buf, sizeof buf, "%llu S 10000\n%llu B 10000 %02X %c\n%llu P 10000\n",
                      static_cast<unsigned long long>(t), static_cast<unsigned long long>(t + 10000),
                      (0x10 + i) << 1, i % 3 ? 'N' : 'A', static_cast<unsigned long long>(t + 100000));
        trace += buf;
    }
    std::ofstream(board.dir + "/trace.log") << trace;
    const std::string svgFile = board.dir + "/bus.svg", png = board.dir + "/bus.png";
    vboard(board, "trace svg " + svgFile, &status);
    ASSERT_EQ(status, 0);
    e2e::runShell("rsvg-convert -o " + png + " " + svgFile + " 2>&1", &status);
    ASSERT_EQ(status, 0) << "the renderer refused the picture";
    const Image img = readPpm(e2e::runShell("pngtopnm " + png + " 2>/dev/null", &status));
    EXPECT_LE(img.width, 32767);
    EXPECT_LE(img.height, 32767);
    const Wave scl = readWave(img, 0x00, 0x80, 0x00), sda = readWave(img, 0x00, 0x00, 0xC8);
    EXPECT_GT(scl.rows, 1);
    EXPECT_EQ(scl.rows, sda.rows);
    std::vector<std::string> expected;
    std::istringstream in(vboard(board, "trace show -t", &status));
    for (std::string l; std::getline(in, l);) expected.push_back(l);
    EXPECT_EQ(decodePicture(scl, sda), expected);

    // A thousand of them are drawn smaller, still within the renderers' limits, and say so.
    std::string longTrace;
    for (int i = 0; i < 1000; ++i) {
        const uint64_t t = 1'000'000 + static_cast<uint64_t>(i) * 4'000'000;
        longTrace += std::to_string(t) + " S 10000\n" + std::to_string(t + 10000) + " B 10000 A0 N\n" +
                     std::to_string(t + 100000) + " P 10000\n";
    }
    std::ofstream(board.dir + "/trace.log") << longTrace;
    const std::string big = vboard(board, "trace svg -", &status);
    ASSERT_EQ(status, 0);
    EXPECT_LE(std::stod(big.substr(big.find("width=\"") + 7)), 32767);
    EXPECT_LE(std::stod(big.substr(big.find("height=\"") + 8)), 32767);
    EXPECT_NE(big.find("scaled down to fit"), std::string::npos);
}

TEST(TraceWindow, FromToAndLastChooseTheStretchShown) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    board.runTamblin();
    int status = 0;
    const std::string boot = vboard(board, "trace show -t", &status);
    board.runTamblin({"AppRunAfterTimeChange"});
    const std::string all = vboard(board, "trace show -t", &status);
    const std::string last = vboard(board, "trace show -t --last", &status);
    ASSERT_EQ(status, 0) << last;
    EXPECT_EQ(boot + last, all);
    EXPECT_NE(vboard(board, "trace show --last", &status).find("--- tamblin AppRunAfterTimeChange (process "),
              std::string::npos);
    // The window of the boot alone, by the times trace show prints.
    const std::string shown = vboard(board, "trace show", &status);
    const std::string storeBegins = shown.substr(0, shown.find(" us  --- tamblin AppRunAfterTimeChange"));
    const double storeUs = std::stod(storeBegins.substr(storeBegins.rfind('\n') + 1));
    char to[32];
    std::snprintf(to, sizeof to, "%.3fus", storeUs - 0.001);
    EXPECT_EQ(vboard(board, std::string("trace show -t --to ") + to, &status), boot);
    EXPECT_EQ(
        vboard(board, std::string("trace show -t --from ") + std::to_string(storeUs / 1000) + "ms", &status),
        last);
    const std::string vcd = vboard(board, "trace vcd --last -", &status);
    EXPECT_GE(vcdChanges(vcd).front().ns, static_cast<uint64_t>(storeUs * 1000) - 1);
    const std::string svg = vboard(board, "trace svg --last -", &status);
    EXPECT_EQ(svg.find(">0x68 R<"), std::string::npos) << "the boot's read is outside the store's window";
    EXPECT_NE(svg.find(">0x68 W<"), std::string::npos);
    // Refused: a window both ways, a time without its form, an upside-down window.
    for (const char* bad :
         {"trace show --last --from 1ms", "trace show --from 1x", "trace svg - --from 2ms --to 1ms"}) {
        vboard(board, bad, &status);
        EXPECT_EQ(status, 2) << bad;
    }
}

}  // namespace vboard_views_test
