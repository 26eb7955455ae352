#include "config.h"

#include <iterator>

#include "calendar.h"
#include "format.h"
#include "rtc_chip.h"
#include "state_json.h"

namespace sim {

namespace {

constexpr std::pair<ByteFault, const char*> kByteFaultNames[] = {
    {ByteFault::Nak, "nak"},
    {ByteFault::ArbitrationLoss, "arbitrationLoss"},
    {ByteFault::BusError, "busError"},
    {ByteFault::Stop, "stop"},
    {ByteFault::SlaveAddress, "slaveAddress"},
    {ByteFault::GeneralCall, "generalCall"},
    {ByteFault::StayBusy, "stayBusy"},
    {ByteFault::NoInterrupt, "noInterrupt"},
    {ByteFault::InterruptWithoutStatus, "interruptWithoutStatus"},
};

// A fault key whose only value names the misbehaviour ("virtualAlloc": "fail").
bool oneWord(const Field& f, const char* word) {
    if (f.string() != word) f.fail(std::string("expected \"") + word + "\", got \"" + f.string() + "\"");
    return true;
}

// A count from 1 to `max`, or "forever" (-1).
int64_t countOrForever(const Field& f, int64_t max) {
    if (!f.isString()) return f.integer(1, max);
    oneWord(f, "forever");
    return -1;
}

// A list of faults, refused beyond the size a board takes (a list of a hundred thousand kept every
// program busy for minutes).
std::vector<Field> faultList(const Field& f) {
    if (f.value().is_array() && f.value().size() > kMaxFaultEntries)
        f.fail(std::to_string(f.value().size()) + " entries; a board takes at most " +
               std::to_string(kMaxFaultEntries) + " in one list");
    return f.items();
}

std::vector<uint32_t> numbers(const Field& f, uint32_t max) {
    std::vector<uint32_t> out;
    for (const Field& n : faultList(f)) out.push_back(static_cast<uint32_t>(n.integer(0, max)));
    return out;
}

// A change of a time-zone record, as the platform takes one: the month 0 (no change), or a month
// with, in the day-in-month form (year 0), a weekday and its week of the month (5: the last), or a
// fixed date; and a time of day.
void checkZoneChange(const Field& f, const SysTime& t) {
    if (t.month == 0) return;
    if (t.month > 12)
        f["month"].fail("month " + std::to_string(t.month) + " does not exist (1..12, 0: no change)");
    if (t.year == 0) {
        if (t.day < 1 || t.day > 5)
            f["day"].fail("week of the month " + std::to_string(t.day) + " is outside 1..5 (5: the last)");
        if (t.dayOfWeek > 6)
            f["dayOfWeek"].fail("weekday " + std::to_string(t.dayOfWeek) + " is outside 0..6 (0: Sunday)");
    } else if (t.year < 1601 || t.year > 30827 || !validDate(t.year, t.month, t.day)) {
        f["day"].fail("no such date: " + std::to_string(t.year) + "-" + std::to_string(t.month) + "-" +
                      std::to_string(t.day));
    }
    if (t.hour > 23) f["hour"].fail("hour " + std::to_string(t.hour) + " is outside 0..23");
    if (t.minute > 59) f["minute"].fail("minute " + std::to_string(t.minute) + " is outside 0..59");
    if (t.second > 59) f["second"].fail("second " + std::to_string(t.second) + " is outside 0..59");
    if (t.milliseconds > 999) f["milliseconds"].fail(std::to_string(t.milliseconds) + " is outside 0..999");
}

json chipJson(const ChipConfig& c) {
    json j{{"protocol", c.protocol}, {"address", hex(c.address, 2)}};
    if (c.bus == I2cBusId::PowerManager) j["bus"] = busName(c.bus);
    if (c.frozen) j["frozen"] = true;
    if (!c.present) j["present"] = false;
    if (c.ppm != 0) j["ppm"] = c.ppm;
    return j;
}

}  // namespace

const char* byteFaultName(ByteFault f) {
    for (const auto& [fault, name] : kByteFaultNames)
        if (fault == f) return name;
    return "?";
}

std::vector<std::string> byteFaultNames() {
    std::vector<std::string> names;
    for (const auto& [fault, name] : kByteFaultNames) names.push_back(name);
    return names;
}

std::optional<ByteFault> byteFaultByName(const std::string& name) {
    for (const auto& [fault, n] : kByteFaultNames)
        if (name == n) return fault;
    return std::nullopt;
}

bool FaultConfig::any() const {
    return kernelBridgeAbsent || bridgeHandlerPlain || programTrustRun || !bridgeProbe.empty() ||
           requestSysIntrRefused || duplicateHandleFails || virtualAllocFails || virtualCopyFails ||
           moduleFileNameFails || !localAllocFail.empty() || !clockStuckBits.empty() ||
           !clockStuckOnBits.empty() || !gpioInputsLow.empty() || !i2cBytes.empty() || i2cStuckSda ||
           i2cSclLowMs || i2cClockStretchNs != 0;
}

const ChipConfig* BoardConfig::chipAt(uint8_t address, I2cBusId bus) const {
    for (const ChipConfig& c : chips)
        if (c.address == address && c.bus == bus) return &c;
    return nullptr;
}

const char* busName(I2cBusId bus) {
    return bus == I2cBusId::PowerManager ? "pwr" : "std";
}

std::string chipLabel(uint8_t address, I2cBusId bus) {
    return (bus == I2cBusId::PowerManager ? "pwr:" : "") + hex(address, 2);
}

std::string knownProcessorsText(uint32_t markedId, const std::string& mark) {
    std::string text;
    const size_t n = std::size(kKnownProcessors);
    for (size_t i = 0; i < n; ++i) {
        const uint32_t id = kKnownProcessors[i].id;
        text += (i == 0       ? ""
                 : i + 1 == n ? " or "
                              : ", ") +
                (id > 0xFFFF ? hex(id, 8) : std::to_string(id)) + (id == markedId ? mark : "");
    }
    return text;
}

uint32_t mainIdForProcessor(uint32_t processorId) {
    for (const KnownProcessor& p : kKnownProcessors)
        if (p.id == processorId) return p.mainId;
    // Not a known processor: an ARMv5 main ID with that product number when it fits, else the
    // value itself with a zero revision nibble.
    return processorId < 0x40 ? (0x69050000u | (processorId << 4)) : (processorId << 4);
}

uint32_t processorIdForMainId(uint32_t mainId) {
    const uint32_t v = mainId >> 4;                  // without the revision
    if ((v & 0xF000u) == 0x5000u) return v & 0x3Fu;  // ARMv5: the product number
    return v;
}

FaultConfig parseFaults(const Field& f) {
    f.onlyKeys({"kernelBridge", "bridgeHandler", "programTrust", "bridgeProbe", "requestSysIntr",
                "duplicateHandle", "virtualAlloc", "virtualCopy", "moduleFileName", "localAllocFail",
                "clockStuckBits", "clockStuckOnBits", "gpioInputsLow", "i2c", "i2cStuckSda", "i2cSclLowMs",
                "i2cClockStretchNs", "i2cChipTimeNs"});
    FaultConfig c;
    if (f.has("kernelBridge")) c.kernelBridgeAbsent = oneWord(f["kernelBridge"], "absent");
    if (f.has("bridgeHandler")) c.bridgeHandlerPlain = oneWord(f["bridgeHandler"], "plain");
    if (f.has("programTrust")) c.programTrustRun = oneWord(f["programTrust"], "run");
    if (f.has("bridgeProbe")) {
        c.bridgeProbe = f["bridgeProbe"].string();
        if (c.bridgeProbe != "zero" && c.bridgeProbe != "fail")
            f["bridgeProbe"].fail("expected \"zero\" or \"fail\", got \"" + c.bridgeProbe + "\"");
    }
    if (f.has("requestSysIntr")) c.requestSysIntrRefused = oneWord(f["requestSysIntr"], "refuse");
    if (f.has("duplicateHandle")) c.duplicateHandleFails = oneWord(f["duplicateHandle"], "fail");
    if (f.has("virtualAlloc")) c.virtualAllocFails = oneWord(f["virtualAlloc"], "fail");
    if (f.has("virtualCopy")) c.virtualCopyFails = oneWord(f["virtualCopy"], "fail");
    if (f.has("moduleFileName")) c.moduleFileNameFails = oneWord(f["moduleFileName"], "fail");
    if (f.has("localAllocFail")) c.localAllocFail = numbers(f["localAllocFail"], 0xFFFFFFFFu);
    if (f.has("clockStuckBits")) c.clockStuckBits = numbers(f["clockStuckBits"], 63);
    if (f.has("clockStuckOnBits")) c.clockStuckOnBits = numbers(f["clockStuckOnBits"], 63);
    if (f.has("gpioInputsLow")) c.gpioInputsLow = numbers(f["gpioInputsLow"], 221);
    if (f.has("i2c")) {
        for (const Field& e : faultList(f["i2c"])) {
            e.onlyKeys({"byte", "fault"});
            const uint32_t byte = e["byte"].u32();
            const std::string name = e["fault"].string();
            const std::optional<ByteFault> fault = byteFaultByName(name);
            if (!fault) {
                std::string known;
                for (const auto& [k, n] : kByteFaultNames)
                    known += std::string(known.empty() ? "" : ", ") + n;
                e["fault"].fail("unknown fault \"" + name + "\" (known: " + known + ")");
            }
            if (byte == 0 && *fault != ByteFault::StayBusy)
                e["byte"].fail("bytes count from 1 (0 means \"from the start\", for stayBusy only)");
            if (c.i2cBytes.count(byte)) e["byte"].fail("byte " + std::to_string(byte) + " has two faults");
            c.i2cBytes[byte] = *fault;
        }
    }
    if (f.has("i2cStuckSda")) c.i2cStuckSda = static_cast<int>(countOrForever(f["i2cStuckSda"], 9));
    if (f.has("i2cSclLowMs")) c.i2cSclLowMs = countOrForever(f["i2cSclLowMs"], 3600 * 1000);
    // Earlier boards called the chips' clock stretching the time every byte takes longer.
    if (f.has("i2cClockStretchNs") && f.has("i2cChipTimeNs"))
        f["i2cChipTimeNs"].fail("give i2cClockStretchNs only (i2cChipTimeNs is its older name)");
    if (f.has("i2cClockStretchNs"))
        c.i2cClockStretchNs = static_cast<uint64_t>(f["i2cClockStretchNs"].integer(0, 10'000'000'000LL));
    if (f.has("i2cChipTimeNs"))
        c.i2cClockStretchNs = static_cast<uint64_t>(f["i2cChipTimeNs"].integer(0, 10'000'000'000LL));
    return c;
}

FaultConfig faultsFromJson(const json& j) {
    return parseFaults(Field(j, "board.json", "faults"));
}

json faultsToJson(const FaultConfig& c) {
    json j = json::object();
    if (c.kernelBridgeAbsent) j["kernelBridge"] = "absent";
    if (c.bridgeHandlerPlain) j["bridgeHandler"] = "plain";
    if (c.programTrustRun) j["programTrust"] = "run";
    if (!c.bridgeProbe.empty()) j["bridgeProbe"] = c.bridgeProbe;
    if (c.requestSysIntrRefused) j["requestSysIntr"] = "refuse";
    if (c.duplicateHandleFails) j["duplicateHandle"] = "fail";
    if (c.virtualAllocFails) j["virtualAlloc"] = "fail";
    if (c.virtualCopyFails) j["virtualCopy"] = "fail";
    if (c.moduleFileNameFails) j["moduleFileName"] = "fail";
    if (!c.localAllocFail.empty()) j["localAllocFail"] = c.localAllocFail;
    if (!c.clockStuckBits.empty()) j["clockStuckBits"] = c.clockStuckBits;
    if (!c.clockStuckOnBits.empty()) j["clockStuckOnBits"] = c.clockStuckOnBits;
    if (!c.gpioInputsLow.empty()) j["gpioInputsLow"] = c.gpioInputsLow;
    if (!c.i2cBytes.empty()) {
        json list = json::array();
        for (const auto& [byte, fault] : c.i2cBytes)
            list.push_back(json{{"byte", byte}, {"fault", byteFaultName(fault)}});
        j["i2c"] = list;
    }
    if (c.i2cStuckSda) j["i2cStuckSda"] = *c.i2cStuckSda < 0 ? json("forever") : json(*c.i2cStuckSda);
    if (c.i2cSclLowMs) j["i2cSclLowMs"] = *c.i2cSclLowMs < 0 ? json("forever") : json(*c.i2cSclLowMs);
    if (c.i2cClockStretchNs) j["i2cClockStretchNs"] = c.i2cClockStretchNs;
    return j;
}

TimeZoneConfig timeZoneFrom(const Field& z) {
    z.onlyKeys({"name", "bias", "standardName", "standardDate", "standardBias", "daylightName",
                "daylightDate", "daylightBias"});
    TimeZoneConfig t;
    if (z.has("name")) t.name = z["name"].string();
    auto bias = [&](const char* key, int32_t& out) {
        if (z.has(key)) out = static_cast<int32_t>(z[key].integer(-kMaxBiasMinutes, kMaxBiasMinutes));
    };
    bias("bias", t.bias);
    bias("standardBias", t.standardBias);
    bias("daylightBias", t.daylightBias);
    auto name = [&](const char* key, std::string& out) {
        if (!z.has(key)) return;
        out = z[key].string();
        if (out.size() > 31) z[key].fail("longer than 31 characters");
    };
    name("standardName", t.standardName);
    name("daylightName", t.daylightName);
    if (z.has("standardDate")) {
        t.standardDate = sysTimeFrom(z["standardDate"]);
        checkZoneChange(z["standardDate"], t.standardDate);
    }
    if (z.has("daylightDate")) {
        t.daylightDate = sysTimeFrom(z["daylightDate"]);
        checkZoneChange(z["daylightDate"], t.daylightDate);
    }
    return t;
}

json timeZoneToJson(const TimeZoneConfig& t) {
    json j{{"bias", t.bias},
           {"standardName", t.standardName},
           {"standardDate", sysTimeToJson(t.standardDate)},
           {"standardBias", t.standardBias},
           {"daylightName", t.daylightName},
           {"daylightDate", sysTimeToJson(t.daylightDate)},
           {"daylightBias", t.daylightBias}};
    if (!t.name.empty()) j["name"] = t.name;
    return j;
}

BoardConfig parseBoardConfig(const json& j, const std::string& file) {
    const Field top(j, file, "");
    if (!j.is_object()) top.fail("expected a JSON object");
    top.onlyKeys({"processor", "program", "apps", "clock", "timeZone", "apiReady", "chips", "faults",
                  "timing", "i2cController", "comment"});
    BoardConfig c;
    if (top.has("comment")) c.comment = top["comment"].string();
    if (top.has("processor")) {
        const Field p = top["processor"];
        p.onlyKeys({"id", "mainId", "mode"});
        if (p.has("id") && p.has("mainId")) p.fail("give either id or mainId, not both");
        if (p.has("id")) c.mainId = mainIdForProcessor(p["id"].u32(true));
        if (p.has("mainId")) c.mainId = p["mainId"].u32(true);
        if (p.has("mode")) {
            const std::string m = p["mode"].string();
            if (m != "user" && m != "privileged")
                p["mode"].fail("expected \"user\" or \"privileged\", got \"" + m + "\"");
            c.privileged = m == "privileged";
        }
    }
    if (top.has("program")) {
        c.programPath = top["program"].string();
        if (c.programPath.empty()) top["program"].fail("the program's device path is empty");
    }
    if (top.has("apps"))
        for (const auto& [path, exe] : top["apps"].members()) c.apps[path] = exe.string();
    if (top.has("clock")) {
        const std::string m = top["clock"].string();
        if (m != "real" && m != "frozen" && m != "virtual")
            top["clock"].fail("expected \"real\", \"frozen\" or \"virtual\", got \"" + m + "\"");
        // Virtual clocks run on the same virtual process time as a frozen board's.
        c.frozen = m != "real";
        c.virtualClocks = m == "virtual";
    }
    if (top.has("timeZone")) c.timeZone = timeZoneFrom(top["timeZone"]);
    if (top.has("apiReady")) {
        const Field a = top["apiReady"];
        if (a.isString() && a.string() == "start") {
            c.apiReady = ApiReady::AtStart;
        } else if (a.isString() && a.string() == "never") {
            c.apiReady = ApiReady::Never;
        } else if (a.isObject() && a.value().size() == 1 && a.has("afterMs")) {
            c.apiReady = ApiReady::AfterMs;
            c.apiReadyAfterMs = a["afterMs"].u32(true);
        } else {
            a.fail("expected \"start\", \"never\" or {\"afterMs\": N}, got " + a.value().dump());
        }
    }
    if (top.has("chips")) {
        for (const Field& e : top["chips"].items()) {
            e.onlyKeys({"protocol", "address", "frozen", "present", "ppm", "bus"});
            ChipConfig chip;
            chip.protocol = static_cast<int>(e["protocol"].integer(1, 4, true));
            chip.address = e.has("address") ? static_cast<uint8_t>(e["address"].integer(0, 0x7F, true))
                                            : chipModel(chip.protocol).defaultAddress;
            if (e.has("frozen")) chip.frozen = e["frozen"].boolean();
            if (e.has("present")) chip.present = e["present"].boolean();
            if (e.has("ppm")) chip.ppm = e["ppm"].number(-kMaxCrystalPpm, kMaxCrystalPpm);
            if (e.has("bus")) {
                const std::string bus = e["bus"].string();
                if (bus != "std" && bus != "pwr")
                    e["bus"].fail(
                        "expected \"std\" (the standard unit's bus) or \"pwr\" (the power-manager "
                        "unit's), got \"" +
                        bus + "\"");
                chip.bus = bus == "pwr" ? I2cBusId::PowerManager : I2cBusId::Standard;
                if (chip.bus == I2cBusId::PowerManager && processorIdForMainId(c.mainId) != 17)
                    e["bus"].fail("only processor ID 17 has the power-manager I2C unit and its bus");
            }
            if (c.chipAt(chip.address, chip.bus)) e["address"].fail("two chips answer at " + chipLabel(chip));
            c.chips.push_back(chip);
        }
    }
    if (top.has("faults")) c.faults = parseFaults(top["faults"]);
    if (top.has("timing")) {
        const Field t = top["timing"];
        t.onlyKeys({"interruptLatencyNs", "threadWakeNs"});
        if (t.has("interruptLatencyNs"))
            c.timing.interruptLatencyNs =
                static_cast<uint64_t>(t["interruptLatencyNs"].integer(0, 1'000'000'000));
        if (t.has("threadWakeNs"))
            c.timing.threadWakeNs = static_cast<uint64_t>(t["threadWakeNs"].integer(0, 1'000'000'000));
    }
    if (top.has("i2cController")) {
        const Field u = top["i2cController"];
        u.onlyKeys({"rwmClears"});
        if (u.has("rwmClears")) {
            const std::string m = u["rwmClears"].string();
            if (m != "stop" && m != "nextWriteAddress")
                u["rwmClears"].fail("expected \"stop\" or \"nextWriteAddress\", got \"" + m + "\"");
            c.rwmClears = m == "stop" ? RwmClears::AtStop : RwmClears::AtNextWriteAddress;
        }
    }
    return c;
}

json boardConfigToJson(const BoardConfig& c) {
    json j = json::object();
    if (!c.comment.empty()) j["comment"] = c.comment;
    j["processor"] = json{{"mainId", hex(c.mainId, 8)}, {"mode", c.privileged ? "privileged" : "user"}};
    j["program"] = c.programPath;
    j["apps"] = json::object();
    for (const auto& [k, v] : c.apps) j["apps"][k] = v;
    j["clock"] = c.virtualClocks ? "virtual" : c.frozen ? "frozen" : "real";
    j["timeZone"] = timeZoneToJson(c.timeZone);
    if (c.apiReady == ApiReady::AtStart)
        j["apiReady"] = "start";
    else if (c.apiReady == ApiReady::Never)
        j["apiReady"] = "never";
    else
        j["apiReady"] = json{{"afterMs", c.apiReadyAfterMs}};
    json chips = json::array();
    for (const ChipConfig& chip : c.chips) chips.push_back(chipJson(chip));
    j["chips"] = chips;
    j["faults"] = faultsToJson(c.faults);
    const TimingConfig defaults;
    if (c.timing.interruptLatencyNs != defaults.interruptLatencyNs ||
        c.timing.threadWakeNs != defaults.threadWakeNs)
        j["timing"] = json{{"interruptLatencyNs", c.timing.interruptLatencyNs},
                           {"threadWakeNs", c.timing.threadWakeNs}};
    if (c.rwmClears != RwmClears::AtStop) j["i2cController"] = json{{"rwmClears", "nextWriteAddress"}};
    return j;
}

}  // namespace sim
