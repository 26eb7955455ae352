#include "board.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "chips.h"
#include "format.h"
#include "simtime.h"

namespace sim {

namespace {

std::unique_ptr<Board> gBoard;
thread_local int gStateLockDepth = 0;

[[noreturn]] void fail(const std::string& file, const std::string& field, const std::string& why) {
    throw BoardError(file + ": " + field + ": " + why);
}

uint32_t parseU32(const json& v, const std::string& file, const std::string& field) {
    if (v.is_number_unsigned()) return v.get<uint32_t>();
    if (v.is_number_integer() && v.get<int64_t>() >= 0 && v.get<int64_t>() <= 0xFFFFFFFFLL)
        return static_cast<uint32_t>(v.get<int64_t>());
    if (v.is_string()) {
        const std::string s = v.get<std::string>();
        char* end = nullptr;
        errno = 0;
        unsigned long long n = std::strtoull(s.c_str(), &end, 0);
        if (!s.empty() && *end == '\0' && errno == 0 && n <= 0xFFFFFFFFull) return static_cast<uint32_t>(n);
    }
    fail(file, field, "expected an unsigned 32-bit number (decimal or \"0x...\"), got " + v.dump());
}

int32_t parseI32(const json& v, const std::string& file, const std::string& field) {
    if (v.is_number_integer()) {
        int64_t n = v.get<int64_t>();
        if (n >= INT32_MIN && n <= INT32_MAX) return static_cast<int32_t>(n);
    }
    fail(file, field, "expected a signed 32-bit integer, got " + v.dump());
}

std::string parseString(const json& v, const std::string& file, const std::string& field) {
    if (!v.is_string()) fail(file, field, "expected a string, got " + v.dump());
    return v.get<std::string>();
}

void checkKeys(const json& obj, std::initializer_list<const char*> known, const std::string& file,
               const std::string& where) {
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        bool ok = false;
        for (const char* k : known) ok = ok || it.key() == k;
        if (!ok) fail(file, where.empty() ? it.key() : where + "." + it.key(), "unknown field");
    }
}

SysTime parseSysTime(const json& v, const std::string& file, const std::string& field) {
    if (!v.is_object()) fail(file, field, "expected an object with year, month, dayOfWeek, day, hour, ...");
    checkKeys(v, {"year", "month", "dayOfWeek", "day", "hour", "minute", "second", "milliseconds"}, file,
              field);
    SysTime t;
    auto get = [&](const char* k, uint16_t& out) {
        if (!v.contains(k)) return;
        uint32_t n = parseU32(v[k], file, field + "." + k);
        if (n > 0xFFFF) fail(file, field + "." + k, "does not fit 16 bits");
        out = static_cast<uint16_t>(n);
    };
    get("year", t.year);
    get("month", t.month);
    get("dayOfWeek", t.dayOfWeek);
    get("day", t.day);
    get("hour", t.hour);
    get("minute", t.minute);
    get("second", t.second);
    get("milliseconds", t.milliseconds);
    return t;
}

json sysTimeToJson(const SysTime& t) {
    return json{
        {"year", t.year}, {"month", t.month},   {"dayOfWeek", t.dayOfWeek}, {"day", t.day},
        {"hour", t.hour}, {"minute", t.minute}, {"second", t.second},       {"milliseconds", t.milliseconds}};
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFileAtomically(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) throw BoardError(tmp + ": cannot write: " + std::strerror(errno));
        out << text;
        if (!out.flush()) throw BoardError(tmp + ": write failed: " + std::strerror(errno));
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0)
        throw BoardError(path + ": cannot replace: " + std::strerror(errno));
}

// Holds the board's state lock for one read or update.
class StateLock {
  public:
    StateLock(const std::string& dir, bool exclusive) {
        if (gStateLockDepth > 0)
            throw std::logic_error("board state lock taken twice in one thread (nested state update)");
        fd_ = ::open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) throw BoardError(dir + "/.lock: cannot open: " + std::strerror(errno));
        while (::flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) {
            if (errno != EINTR) throw BoardError(dir + "/.lock: cannot lock: " + std::strerror(errno));
        }
        ++gStateLockDepth;
    }
    ~StateLock() {
        --gStateLockDepth;
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

  private:
    int fd_ = -1;
};

json loadState(const std::string& dir) {
    const std::string file = dir + "/state.json";
    const std::string text = readFile(file);
    if (text.empty()) return json::object();
    try {
        json j = json::parse(text);
        if (!j.is_object()) throw BoardError(file + ": expected a JSON object");
        return j;
    } catch (const json::parse_error& e) {
        throw BoardError(file + ": " + e.what());
    }
}

}  // namespace

uint32_t mainIdForProcessor(uint32_t processorId) {
    switch (processorId) {
        case 2:
            return 0x69052020;  // ARMv5, product number 2
        case 8:
            return 0x69052080;
        case 9:
            return 0x69052090;
        case 17:
            return 0x69054117;  // ARMv5, product number 0x11
        case 0x0411FC09:
            return 0x411FC090;  // Cortex-A9 class, revision 0
        default:
            // Not a known processor: an ARMv5 main ID with that product number when it fits,
            // else the value itself with a zero revision nibble.
            return processorId < 0x40 ? (0x69050000u | (processorId << 4)) : (processorId << 4);
    }
}

BoardConfig parseBoardConfig(const json& j, const std::string& file) {
    BoardConfig c;
    if (!j.is_object()) fail(file, "(top level)", "expected a JSON object");
    checkKeys(j,
              {"processor", "program", "apps", "clock", "timeZone", "apiReady", "chips", "faults", "comment"},
              file, "");
    c.raw = j;
    if (j.contains("processor")) {
        const json& p = j["processor"];
        if (!p.is_object()) fail(file, "processor", "expected an object {\"mainId\": ..., \"mode\": ...}");
        checkKeys(p, {"id", "mainId", "mode"}, file, "processor");
        if (p.contains("id") && p.contains("mainId"))
            fail(file, "processor", "give either id or mainId, not both");
        if (p.contains("id")) c.mainId = mainIdForProcessor(parseU32(p["id"], file, "processor.id"));
        if (p.contains("mainId")) c.mainId = parseU32(p["mainId"], file, "processor.mainId");
        if (p.contains("mode")) {
            std::string m = parseString(p["mode"], file, "processor.mode");
            if (m == "user")
                c.privileged = false;
            else if (m == "privileged")
                c.privileged = true;
            else
                fail(file, "processor.mode", "expected \"user\" or \"privileged\", got \"" + m + "\"");
        }
    }
    if (j.contains("program")) {
        c.programPath = parseString(j["program"], file, "program");
        if (c.programPath.empty()) fail(file, "program", "the program's device path is empty");
    }
    if (j.contains("apps")) {
        if (!j["apps"].is_object())
            fail(file, "apps", "expected an object mapping device paths to executables");
        for (auto it = j["apps"].begin(); it != j["apps"].end(); ++it)
            c.apps[it.key()] = parseString(it.value(), file, "apps." + it.key());
    }
    if (j.contains("clock")) {
        std::string m = parseString(j["clock"], file, "clock");
        if (m == "real")
            c.frozen = false;
        else if (m == "frozen")
            c.frozen = true;
        else
            fail(file, "clock", "expected \"real\" or \"frozen\", got \"" + m + "\"");
    }
    if (j.contains("timeZone")) {
        const json& z = j["timeZone"];
        if (!z.is_object()) fail(file, "timeZone", "expected an object");
        checkKeys(z,
                  {"bias", "standardName", "standardDate", "standardBias", "daylightName", "daylightDate",
                   "daylightBias"},
                  file, "timeZone");
        TimeZoneConfig& t = c.timeZone;
        if (z.contains("bias")) t.bias = parseI32(z["bias"], file, "timeZone.bias");
        if (z.contains("standardName"))
            t.standardName = parseString(z["standardName"], file, "timeZone.standardName");
        if (z.contains("standardDate"))
            t.standardDate = parseSysTime(z["standardDate"], file, "timeZone.standardDate");
        if (z.contains("standardBias"))
            t.standardBias = parseI32(z["standardBias"], file, "timeZone.standardBias");
        if (z.contains("daylightName"))
            t.daylightName = parseString(z["daylightName"], file, "timeZone.daylightName");
        if (z.contains("daylightDate"))
            t.daylightDate = parseSysTime(z["daylightDate"], file, "timeZone.daylightDate");
        if (z.contains("daylightBias"))
            t.daylightBias = parseI32(z["daylightBias"], file, "timeZone.daylightBias");
        if (t.standardName.size() > 31) fail(file, "timeZone.standardName", "longer than 31 characters");
        if (t.daylightName.size() > 31) fail(file, "timeZone.daylightName", "longer than 31 characters");
    }
    if (j.contains("apiReady")) {
        const json& a = j["apiReady"];
        if (a.is_string() && a.get<std::string>() == "start") {
            c.apiReady = ApiReady::AtStart;
        } else if (a.is_string() && a.get<std::string>() == "never") {
            c.apiReady = ApiReady::Never;
        } else if (a.is_object() && a.size() == 1 && a.contains("afterMs")) {
            c.apiReady = ApiReady::AfterMs;
            c.apiReadyAfterMs = parseU32(a["afterMs"], file, "apiReady.afterMs");
        } else {
            fail(file, "apiReady", "expected \"start\", \"never\" or {\"afterMs\": N}, got " + a.dump());
        }
    }
    if (j.contains("chips")) {
        const json& list = j["chips"];
        if (!list.is_array()) fail(file, "chips", "expected an array");
        for (size_t i = 0; i < list.size(); ++i) {
            const std::string where = "chips[" + std::to_string(i) + "]";
            const json& e = list[i];
            if (!e.is_object())
                fail(file, where, "expected an object {\"protocol\": N, \"address\": \"0x68\"}");
            ChipConfig chip;
            for (auto it = e.begin(); it != e.end(); ++it) {
                if (it.key() == "protocol") {
                    uint32_t p = parseU32(it.value(), file, where + ".protocol");
                    if (p < 1 || p > 4)
                        fail(file, where + ".protocol", "expected 1..4, got " + std::to_string(p));
                    chip.protocol = static_cast<int>(p);
                } else if (it.key() == "address") {
                    uint32_t a = parseU32(it.value(), file, where + ".address");
                    if (a > 0x7F) fail(file, where + ".address", "a 7-bit address is 0x00..0x7F");
                    chip.address = static_cast<uint8_t>(a);
                } else if (!chipConfigKeyKnown(it.key())) {
                    fail(file, where + "." + it.key(), "unknown field");
                }
            }
            if (!e.contains("protocol")) fail(file, where + ".protocol", "missing");
            if (!e.contains("address")) chip.address = defaultChipAddress(chip.protocol);
            for (const ChipConfig& other : c.chips)
                if (other.address == chip.address)
                    fail(file, where + ".address", "two chips answer at " + hex(chip.address, 2));
            c.chips.push_back(chip);
        }
    }
    if (j.contains("faults")) {
        if (!j["faults"].is_object()) fail(file, "faults", "expected an object");
        c.faults = j["faults"];
    }
    return c;
}

json boardConfigToJson(const BoardConfig& c) {
    json j = c.raw.is_object() ? c.raw : json::object();
    j["processor"] = json{{"mainId", hex(c.mainId, 8)}, {"mode", c.privileged ? "privileged" : "user"}};
    j["program"] = c.programPath;
    j["apps"] = json::object();
    for (const auto& [k, v] : c.apps) j["apps"][k] = v;
    j["clock"] = c.frozen ? "frozen" : "real";
    const TimeZoneConfig& t = c.timeZone;
    j["timeZone"] = json{{"bias", t.bias},
                         {"standardName", t.standardName},
                         {"standardDate", sysTimeToJson(t.standardDate)},
                         {"standardBias", t.standardBias},
                         {"daylightName", t.daylightName},
                         {"daylightDate", sysTimeToJson(t.daylightDate)},
                         {"daylightBias", t.daylightBias}};
    if (c.apiReady == ApiReady::AtStart)
        j["apiReady"] = "start";
    else if (c.apiReady == ApiReady::Never)
        j["apiReady"] = "never";
    else
        j["apiReady"] = json{{"afterMs", c.apiReadyAfterMs}};
    json chips = json::array();
    for (size_t i = 0; i < c.chips.size(); ++i) {
        json e = (c.raw.contains("chips") && i < c.raw["chips"].size()) ? c.raw["chips"][i] : json::object();
        e["protocol"] = c.chips[i].protocol;
        e["address"] = hex(c.chips[i].address, 2);
        chips.push_back(e);
    }
    j["chips"] = chips;
    j["faults"] = c.faults;
    return j;
}

std::string selfExeDir() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = '\0';
    std::string p(buf);
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

BoardConfig defaultBoardConfig() {
    BoardConfig c;
    c.mainId = 0x69054117;
    c.privileged = false;
    c.programPath = "\\Windows\\Tamblin.exe";
    c.apps[c.programPath] = selfExeDir() + "/tamblin";
    c.frozen = false;
    // Central European time: daylight from the last Sunday of March 02:00 to the last Sunday of
    // October 03:00.
    c.timeZone.bias = -60;
    c.timeZone.standardName = "W. Europe Standard Time";
    c.timeZone.standardDate = SysTime{0, 10, 0, 5, 3, 0, 0, 0};
    c.timeZone.standardBias = 0;
    c.timeZone.daylightName = "W. Europe Daylight Time";
    c.timeZone.daylightDate = SysTime{0, 3, 0, 5, 2, 0, 0, 0};
    c.timeZone.daylightBias = -60;
    c.apiReady = ApiReady::AtStart;
    c.chips.push_back(ChipConfig{1, 0x68});
    c.raw = json::object();
    return c;
}

std::string defaultRegistryText() {
    return "; Registry of the virtual board, in the platform image's .reg format.\r\n"
           "\r\n"
           "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Clock]\r\n"
           "\"AutoDST\"=dword:00000001\r\n";
}

void createBoard(const std::string& dir, const BoardConfig& config, const std::string& registryText) {
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        throw BoardError(dir + ": cannot create the board directory: " + std::strerror(errno));
    ::mkdir((dir + "/objects").c_str(), 0755);
    writeFileAtomically(dir + "/board.json", boardConfigToJson(config).dump(2) + "\n");
    writeFileAtomically(dir + "/registry.reg", registryText);
    const int64_t now = hostFileTimeNow();
    json state = json::object();
    state["systemClock"] = json{{"fileTime", now}, {"atHost", now}};
    state["daylight"] = false;
    state["powerOnHost"] = now;
    state["uptimeNs"] = 0;
    state["notifications"] = json{{"nextHandle", 1}, {"list", json::array()}};
    json chips = json::object();
    for (const ChipConfig& chip : config.chips) chips[hex(chip.address, 2)] = initialChipState(chip, now);
    state["chips"] = chips;
    writeFileAtomically(dir + "/state.json", state.dump(2) + "\n");
    std::ofstream(dir + "/debug.log", std::ios::app);
}

Board::Board(std::string dir) : dir_(std::move(dir)) {
    const std::string file = dir_ + "/board.json";
    const std::string text = readFile(file);
    if (text.empty()) throw BoardError(file + ": missing or empty (is " + dir_ + " a board directory?)");
    json j;
    try {
        j = json::parse(text);
    } catch (const json::parse_error& e) {
        throw BoardError(file + ": not valid JSON: " + e.what());
    }
    config_ = parseBoardConfig(j, file);
    ::mkdir((dir_ + "/objects").c_str(), 0755);
}

Board& Board::current() {
    if (!gBoard) {
        const char* env = std::getenv("TAMBLIN_BOARD");
        std::string dir = (env && *env) ? env : "board";
        struct stat st;
        if (::stat(dir.c_str(), &st) != 0) createBoard(dir, defaultBoardConfig(), defaultRegistryText());
        gBoard.reset(new Board(dir));
    }
    return *gBoard;
}

void Board::use(const std::string& dir) {
    gBoard.reset(new Board(dir));
}

bool Board::isOpen() {
    return gBoard != nullptr;
}

json Board::readState() const {
    StateLock lock(dir_, false);
    return loadState(dir_);
}

void Board::updateState(const std::function<void(json&)>& change) const {
    StateLock lock(dir_, true);
    json state = loadState(dir_);
    change(state);
    writeFileAtomically(dir_ + "/state.json", state.dump(2) + "\n");
}

void Board::appendDebugLog(const std::string& utf8) const {
    int fd = ::open((dir_ + "/debug.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    size_t off = 0;
    while (off < utf8.size()) {
        ssize_t n = ::write(fd, utf8.data() + off, utf8.size() - off);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    ::close(fd);
}

}  // namespace sim
