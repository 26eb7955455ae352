// The board's own files read strictly: a board.json or state.json of the wrong shape is refused
// with the file and the field named, never taken as a default and never written over; boards
// made by earlier builds still load.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>

#include "e2e_util.h"
#include "sim/board/board.h"
#include "sim/board/json_fields.h"

namespace {

// The board tool run on `board`: its exit code, and what it said on either stream.
int vboard(const e2e::Board& board, const std::vector<std::string>& args, std::string* said) {
    std::vector<std::string> argv{std::string(TAMBLIN_BIN_DIR) + "/vboard", "--board", board.dir};
    argv.insert(argv.end(), args.begin(), args.end());
    const e2e::Output o = e2e::runProgram(argv, "");
    *said = o.out + o.err;
    return o.code;
}

void writeAll(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Changes a board file as a person with an editor might.
void edit(const std::string& path, const std::function<void(sim::json&)>& change) {
    sim::json j = sim::json::parse(e2e::readFile(path));
    change(j);
    writeAll(path, j.dump(2));
}

struct BadFile {
    const char* what;
    const char* file;  // board.json or state.json
    std::function<void(sim::json&)> change;
    const char* says;  // the refusal names this
};

const BadFile kBadFiles[] = {
    {"a notification list that is an object", "state.json",
     [](sim::json& j) { j["notifications"]["list"] = sim::json::object(); },
     "state.json: notifications.list: expected an array"},
    {"notifications that are a string", "state.json", [](sim::json& j) { j["notifications"] = "x"; },
     "state.json: notifications: expected an object"},
    {"no next handle", "state.json", [](sim::json& j) { j["notifications"].erase("nextHandle"); },
     "state.json: notifications.nextHandle: missing"},
    {"a system clock of the wrong type", "state.json",
     [](sim::json& j) { j["systemClock"]["local"] = "soon"; },
     "state.json: systemClock.local: expected a whole number"},
    {"a chip's registers of the wrong count", "state.json",
     [](sim::json& j) { j["chips"]["0x68"]["regs"].push_back(0); },
     "state.json: chips.0x68.regs: a protocol 1 chip has 8 registers, not 9"},
    {"a register value beyond a byte", "state.json",
     [](sim::json& j) { j["chips"]["0x68"]["regs"][0] = 256; },
     "state.json: chips.0x68.regs[0]: expected a whole number from 0 to 255"},
    {"an unknown key in state.json", "state.json", [](sim::json& j) { j["daylite"] = true; },
     "state.json: daylite: unknown field"},
    {"an unknown fault key", "board.json", [](sim::json& j) { j["faults"]["i2cChipTimeNS"] = 5; },
     "board.json: faults.i2cChipTimeNS: unknown field"},
    {"a fault of the wrong type", "board.json", [](sim::json& j) { j["faults"]["i2cStuckSda"] = true; },
     "board.json: faults.i2cStuckSda: expected"},
    {"an unknown byte fault", "board.json",
     [](sim::json& j) {
         j["faults"]["i2c"] = sim::json::array({{{"byte", 1}, {"fault", "gremlins"}}});
     },
     "board.json: faults.i2c[0].fault: unknown fault \"gremlins\""},
    {"a bias beyond a day", "board.json", [](sim::json& j) { j["timeZone"]["bias"] = -2147483648LL; },
     "board.json: timeZone.bias: expected a whole number from -1440 to 1440"},
    {"a chip address of eight bits", "board.json", [](sim::json& j) { j["chips"][0]["address"] = "0x168"; },
     "board.json: chips[0].address: expected a whole number from 0 to 127"},
};

TEST(BoardFiles, FilesOfTheWrongShapeAreRefusedWithTheFieldNamedAndKeptAsTheyAre) {
    for (const BadFile& c : kBadFiles) {
        SCOPED_TRACE(c.what);
        e2e::Board board(e2e::frozenConfig(1));
        const std::string path = board.dir + "/" + c.file;
        edit(path, c.change);
        const std::string before = e2e::readFile(path);
        std::string out;
        EXPECT_EQ(vboard(board, {"show"}, &out), 1);
        EXPECT_NE(out.find(c.says), std::string::npos) << out;
        EXPECT_EQ(vboard(board, {"set-time", "2012-01-01 00:00:00"}, &out), 1) << out;
        EXPECT_EQ(board.runTamblin(), 2) << "the program cannot open the board";
        EXPECT_EQ(e2e::readFile(path), before) << "never written over";
    }
}

TEST(BoardFiles, ADeeplyNestedFileIsRefusedNotAStackOverflow) {
    for (const char* file : {"board.json", "state.json"}) {
        SCOPED_TRACE(file);
        e2e::Board board(e2e::frozenConfig(1));
        writeAll(board.dir + "/" + file, std::string(10000, '[') + std::string(10000, ']'));
        std::string out;
        EXPECT_EQ(vboard(board, {"show"}, &out), 1);
        EXPECT_NE(out.find(std::string(file) + ": nested deeper than"), std::string::npos) << out;
        EXPECT_EQ(board.runTamblin(), 2);
    }
}

// Files as a crash, a full disk, a slip in an editor or a runaway script leave them. `text` replaces
// the file (nullopt: the file is removed); `sparse`, when non-zero, makes it a file of that many
// bytes without writing them.
struct HostileFile {
    const char* what;
    const char* file;
    std::function<std::optional<std::string>(const std::string& original)> text;
    off_t sparse;
    bool boot;  // the program is tried too (its reader is the tool's: once per kind of refusal is enough)
    const char* says;
};

std::string faultList(size_t n) {
    std::string text = R"({"faults": {"i2c": [)";
    for (size_t i = 1; i <= n; ++i)
        text +=
            (i > 1 ? ", " : "") + std::string(R"({"byte": )") + std::to_string(i) + R"(, "fault": "nak"})";
    return text + "]}}";
}

const HostileFile kHostileFiles[] = {
    {"an empty state", "state.json", [](const std::string&) { return ""; }, 0, true, "state.json: empty"},
    {"a state of blank lines", "state.json", [](const std::string&) { return "\n\n"; }, 0, false,
     "state.json: empty"},
    {"no state", "state.json", [](const std::string&) { return std::nullopt; }, 0, true,
     "state.json: missing"},
    {"a state cut short", "state.json", [](const std::string& s) { return s.substr(0, s.size() / 2); }, 0,
     true, "(the file ends early: cut short?)"},
    {"an empty configuration", "board.json", [](const std::string&) { return ""; }, 0, true,
     "board.json: empty"},
    {"a number beyond a double", "board.json",
     [](const std::string&) { return R"({"chips": [{"protocol": 1, "ppm": 1e400}]})"; }, 0, false,
     "board.json: not valid JSON: number overflow"},
    {"a clock beyond 64 bits", "state.json",
     [](const std::string& s) {
         return std::regex_replace(s, std::regex(R"("local": [0-9]+)"),
                                   R"("local": 123456789012345678901234567890)");
     },
     0, false, "state.json: systemClock.local: expected a whole number"},
    {"a key given twice", "board.json",
     [](const std::string&) { return R"({"clock": "real", "clock": "frozen"})"; }, 0, false,
     "board.json: clock: given twice in one object"},
    {"a chip's field given twice", "state.json",
     [](const std::string& s) {
         return std::regex_replace(s, std::regex(R"("pointer": 0)"), R"("pointer": 0, "pointer": 1)");
     },
     0, false, "state.json: chips.0x68.pointer: given twice"},
    {"a fault list of 100,000 entries", "board.json", [](const std::string&) { return faultList(100000); }, 0,
     false, "more than the 1 MiB such a board file may hold (not read)"},
    {"a configuration of 1 MiB and a byte", "board.json",
     [](const std::string& s) { return s + std::string((1u << 20) + 1 - s.size(), ' '); }, 0, true,
     "board.json: 1048577 bytes, more than the 1 MiB"},
    {"a state of 40 MiB", "state.json", [](const std::string& s) { return s; }, 40 << 20, true,
     "state.json: 41943040 bytes, more than the 32 MiB"},
};

TEST(BoardFiles, HostileFilesAreRefusedWithTheFileAndWhatIsWrongNamed) {
    for (const HostileFile& c : kHostileFiles) {
        SCOPED_TRACE(c.what);
        e2e::Board board(e2e::frozenConfig(1));
        const std::string path = board.dir + "/" + c.file;
        const std::optional<std::string> text = c.text(e2e::readFile(path));
        std::remove(path.c_str());
        if (text) writeAll(path, *text);
        if (c.sparse) ASSERT_EQ(::truncate(path.c_str(), c.sparse), 0);
        std::string out;
        EXPECT_EQ(vboard(board, {"show"}, &out), 1);
        EXPECT_NE(out.find(c.says), std::string::npos) << out;
        if (c.boot) {
            const e2e::Output run = e2e::runProgram({std::string(TAMBLIN_BIN_DIR) + "/tamblin"}, board.dir);
            EXPECT_EQ(run.code, 2) << run.err;
            EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
            EXPECT_EQ(run.err.find("replaced or powered down"), std::string::npos) << run.err;
        }
        if (c.sparse == 0) EXPECT_EQ(e2e::readFile(path), text.value_or("")) << "never written over";
    }
}

TEST(BoardFiles, AnOversizeRegistryIsNamedAndTheRestOfTheBoardStillShows) {
    e2e::Board board(e2e::frozenConfig(1));
    ASSERT_EQ(::truncate((board.dir + "/registry.reg").c_str(), (16 << 20) + 1), 0);
    std::string out;
    EXPECT_EQ(vboard(board, {"registry", "show"}, &out), 1);
    EXPECT_NE(out.find("registry.reg: 16777217 bytes, more than the 16 MiB"), std::string::npos) << out;
    EXPECT_EQ(vboard(board, {"registry", "set", "SOFTWARE\\X", "A", "dword:1"}, &out), 1) << out;
    EXPECT_EQ(vboard(board, {"show"}, &out), 0) << out;
    EXPECT_NE(out.find("(not shown: " + board.dir + "/registry.reg: 16777217 bytes"), std::string::npos)
        << out;
}

// Brackets inside strings are text, not nesting.
TEST(BoardFiles, BracketsInsideAStringAreNoNesting) {
    e2e::Board board(e2e::frozenConfig(1));
    edit(board.dir + "/board.json", [](sim::json& j) { j["comment"] = std::string(500, '[') + "\"{"; });
    std::string out;
    EXPECT_EQ(vboard(board, {"show"}, &out), 0) << out;
}

TEST(BoardFiles, HandlesComeFromTheNextHandleAndAreNeverHandedOutTwice) {
    e2e::Board board(e2e::frozenConfig(1));
    // A next handle that would hand out one in use is refused.
    board.changeState([](sim::BoardState& s) {
        sim::NotificationRecord r;
        r.type = 1;
        r.event = 1;
        r.application = "\\Windows\\Other.exe";
        r.handle = 5;
        s.notifications.list.push_back(r);
        s.notifications.nextHandle = 6;
    });
    edit(board.dir + "/state.json", [](sim::json& j) { j["notifications"]["nextHandle"] = 5; });
    std::string out;
    EXPECT_EQ(vboard(board, {"notify", "list"}, &out), 1);
    EXPECT_NE(out.find("state.json: notifications.nextHandle: is 5, but handle 5 is in use already"),
              std::string::npos)
        << out;
}

TEST(BoardFiles, StateOfAnEarlierBuildStillLoads) {
    // Written by the build before the state became a typed record: no power record, no launches,
    // no bus state of the chips.
    e2e::Board board(e2e::frozenConfig(1));
    writeAll(board.dir + "/state.json", R"({
  "chips": {"0x68": {"clockAt": 130000000000000000, "pointer": 0, "protocol": 1,
                     "regs": [85, 89, 20, 3, 41, 17, 17, 0]}},
  "daylight": false,
  "notifications": {"list": [{"application": "\\WINDOWS\\TAMBLIN.EXE", "arguments": "AppRunAfterTimeChange",
      "end": {"day": 0, "dayOfWeek": 0, "hour": 0, "milliseconds": 0, "minute": 0, "month": 0, "second": 0, "year": 0},
      "event": 1, "handle": 1,
      "start": {"day": 0, "dayOfWeek": 0, "hour": 0, "milliseconds": 0, "minute": 0, "month": 0, "second": 0, "year": 0},
      "status": 0, "type": 1, "user": null}], "nextHandle": 2},
  "powerOnHost": 130000000000000000,
  "systemClock": {"atHost": 130000000000000000, "fileTime": 130000000000000000},
  "uptimeNs": 0
}
)");
    EXPECT_EQ(board.runTamblin(), 1);
    EXPECT_EQ(board.debugLog(), "RTC Time restored (29.11.2011 14:59:55)\r\n");
    EXPECT_EQ(board.state().notifications.list.size(), 2u);  // a time change's and a zone change's
    EXPECT_EQ(board.state().notifications.nextHandle, 4u);
}

}  // namespace
