// state.json <-> BoardState. The file stays the readable JSON that earlier builds wrote (the
// same keys, chips keyed by "0x68"); what they left out is optional here. Anything of the wrong
// shape is refused with the file and the field named, and such a file is never written over.
#include "state_json.h"

#include <unordered_set>

#include "config.h"
#include "format.h"
#include "rtc_chip.h"

namespace sim {

namespace {

json sysTimeJson(const SysTime& t) {
    return json{
        {"year", t.year}, {"month", t.month},   {"dayOfWeek", t.dayOfWeek}, {"day", t.day},
        {"hour", t.hour}, {"minute", t.minute}, {"second", t.second},       {"milliseconds", t.milliseconds}};
}

json optString(const std::optional<std::string>& s) {
    return s ? json(*s) : json(nullptr);
}

std::optional<std::string> optStringFrom(const Field& f, const char* key) {
    if (!f.has(key) || f[key].isNull()) return std::nullopt;
    return f[key].string();
}

json recordJson(const NotificationRecord& r) {
    json j{{"handle", r.handle},
           {"type", r.type},
           {"event", r.event},
           {"application", r.application},
           {"arguments", optString(r.arguments)},
           {"start", sysTimeJson(r.start)},
           {"end", sysTimeJson(r.end)},
           {"status", r.status},
           {"user", nullptr}};
    if (r.user) {
        const UserNotificationRecord& u = *r.user;
        j["user"] = json{{"actionFlags", u.actionFlags},
                         {"dialogTitle", optString(u.dialogTitle)},
                         {"dialogText", optString(u.dialogText)},
                         {"sound", optString(u.sound)},
                         {"maxSound", u.maxSound},
                         {"reserved", u.reserved}};
    }
    return j;
}

NotificationRecord recordFrom(const Field& f) {
    f.onlyKeys({"handle", "type", "event", "application", "arguments", "start", "end", "status", "user"});
    NotificationRecord r;
    r.handle = f["handle"].u32();
    if (r.handle == 0) f["handle"].fail("0 is not a notification handle");
    r.type = f["type"].u32();
    if (f.has("event")) r.event = f["event"].u32();
    r.application = f["application"].string();
    r.arguments = optStringFrom(f, "arguments");
    if (f.has("start")) r.start = sysTimeFrom(f["start"]);
    if (f.has("end")) r.end = sysTimeFrom(f["end"]);
    if (f.has("status")) r.status = f["status"].u32();
    if (f.has("user") && !f["user"].isNull()) {
        const Field u = f["user"];
        u.onlyKeys({"actionFlags", "dialogTitle", "dialogText", "sound", "maxSound", "reserved"});
        UserNotificationRecord user;
        if (u.has("actionFlags")) user.actionFlags = u["actionFlags"].u32();
        user.dialogTitle = optStringFrom(u, "dialogTitle");
        user.dialogText = optStringFrom(u, "dialogText");
        user.sound = optStringFrom(u, "sound");
        if (u.has("maxSound")) user.maxSound = u["maxSound"].u32();
        if (u.has("reserved")) user.reserved = u["reserved"].u32();
        r.user = user;
    }
    return r;
}

const char* phaseName(SlavePhase p) {
    switch (p) {
        case SlavePhase::Idle:
            return "idle";
        case SlavePhase::Address:
            return "address";
        case SlavePhase::Receive:
            return "receive";
        case SlavePhase::Transmit:
            return "transmit";
        case SlavePhase::Ignore:
            return "ignore";
    }
    return "idle";
}

SlavePhase phaseFrom(const Field& f) {
    const std::string s = f.string();
    for (SlavePhase p : {SlavePhase::Idle, SlavePhase::Address, SlavePhase::Receive, SlavePhase::Transmit,
                         SlavePhase::Ignore})
        if (s == phaseName(p)) return p;
    f.fail("expected idle, address, receive, transmit or ignore, got \"" + s + "\"");
}

json chipJson(const ChipState& c) {
    json j{{"protocol", c.protocol}, {"regs", c.regs}, {"pointer", c.pointer}, {"clockAt", c.clockAt}};
    if (c.phase) j["phase"] = c.phase;
    if (c.ticks) j["ticks"] = c.ticks;
    if (c.restartAtStop) j["restartAtStop"] = true;
    if (c.latch) j["latch"] = *c.latch;
    if (c.halt) j["halt"] = *c.halt;
    if (c.nakNext) j["nakNext"] = c.nakNext;
    if (c.bus.phase != SlavePhase::Idle || c.bus.sdaLow) {
        j["bus"] = json{{"phase", phaseName(c.bus.phase)},
                        {"reading", c.bus.reading},
                        {"addressed", c.bus.addressed},
                        {"bit", c.bus.bit},
                        {"shift", c.bus.shift},
                        {"sdaLow", c.bus.sdaLow},
                        {"gotPointer", c.bus.gotPointer}};
    }
    return j;
}

ChipState chipFrom(const Field& f, size_t registerCount) {
    f.onlyKeys({"protocol", "regs", "pointer", "clockAt", "phase", "ticks", "restartAtStop", "latch", "halt",
                "nakNext", "bus"});
    ChipState c;
    c.protocol = static_cast<int>(f["protocol"].integer(1, 4));
    c.regs = f["regs"].bytes();
    auto checkCount = [&](const Field& where, size_t n) {
        if (registerCount != 0 && n != registerCount)
            where.fail("a protocol " + std::to_string(c.protocol) + " chip has " +
                       std::to_string(registerCount) + " registers, not " + std::to_string(n));
    };
    checkCount(f["regs"], c.regs.size());
    c.pointer =
        static_cast<uint8_t>(f["pointer"].integer(0, c.regs.empty() ? 0 : int64_t(c.regs.size()) - 1));
    if (f.has("clockAt")) c.clockAt = f["clockAt"].i64();
    if (f.has("phase")) c.phase = f["phase"].integer(0, kFileTimeUnitsPerSecond - 1);
    if (f.has("ticks")) c.ticks = f["ticks"].integer(0, INT64_MAX);
    if (f.has("restartAtStop")) c.restartAtStop = f["restartAtStop"].boolean();
    if (f.has("latch")) {
        c.latch = f["latch"].bytes();
        checkCount(f["latch"], c.latch->size());
    }
    if (f.has("halt")) {
        c.halt = f["halt"].bytes();
        if (c.halt->size() > c.regs.size()) f["halt"].fail("more registers than the chip has");
    }
    if (f.has("nakNext")) c.nakNext = f["nakNext"].u32();
    if (f.has("bus")) {
        const Field b = f["bus"];
        b.onlyKeys({"phase", "reading", "addressed", "bit", "shift", "sdaLow", "gotPointer"});
        c.bus.phase = phaseFrom(b["phase"]);
        c.bus.reading = b["reading"].boolean();
        c.bus.addressed = b["addressed"].boolean();
        c.bus.bit = static_cast<unsigned>(b["bit"].integer(0, 9));
        c.bus.shift = static_cast<uint8_t>(b["shift"].integer(0, 0xFF));
        c.bus.sdaLow = b["sdaLow"].boolean();
        if (b.has("gotPointer")) c.bus.gotPointer = b["gotPointer"].boolean();
    }
    return c;
}

}  // namespace

SysTime sysTimeFrom(const Field& f) {
    f.onlyKeys({"year", "month", "dayOfWeek", "day", "hour", "minute", "second", "milliseconds"});
    SysTime t;
    auto get = [&](const char* k, uint16_t& out) {
        if (f.has(k)) out = static_cast<uint16_t>(f[k].integer(0, 0xFFFF, true));
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
    return sysTimeJson(t);
}

int32_t zoneBiasMinutes(const TimeZoneConfig& zone, bool daylight) {
    return zone.bias + (daylight ? zone.daylightBias : zone.standardBias);
}

BoardState stateFromJson(const json& j, const std::string& file,
                         const std::function<TimeZoneConfig()>& zoneOfAnOlderClock) {
    const Field top(j, file, "");
    top.onlyKeys({"systemClock", "daylight", "timeZoneNotFlushed", "power", "powerOnHost", "uptimeNs",
                  "notifications", "chips", "launches", "signalledStarted", "registryNotFlushed"});
    BoardState s;
    if (top.has("daylight")) s.daylight = top["daylight"].boolean();
    const Field clock = top["systemClock"];
    clock.onlyKeys({"local", "fileTime", "atHost"});
    if (clock.has("local") == clock.has("fileTime"))
        clock.fail("expected the kernel's clock as \"local\" (or, from an older build, \"fileTime\" in UTC)");
    s.systemClock.atHost = clock["atHost"].i64();
    if (clock.has("local")) {
        s.systemClock.local = clock["local"].i64();
    } else {
        // Written by a build that kept the clock in UTC: the same moment in the local time the
        // kernel keeps, by the zone and the daylight flag that were in force.
        const int64_t bias = zoneBiasMinutes(zoneOfAnOlderClock(), s.daylight.value_or(false));
        s.systemClock.local = clock["fileTime"].i64() - bias * kFileTimeUnitsPerMinute;
    }
    if (top.has("timeZoneNotFlushed")) s.timeZoneNotFlushed = timeZoneFrom(top["timeZoneNotFlushed"]);
    if (top.has("power")) {
        const Field p = top["power"];
        p.onlyKeys({"on", "changedAt"});
        s.power.on = p["on"].boolean();
        if (p.has("changedAt")) s.power.changedAt = p["changedAt"].i64();
    }
    s.powerOnHost = top["powerOnHost"].i64();
    if (top.has("uptimeNs")) s.uptimeNs = top["uptimeNs"].u64();

    const Field db = top["notifications"];
    db.onlyKeys({"nextHandle", "list"});
    s.notifications.nextHandle = static_cast<uint32_t>(db["nextHandle"].integer(1, 0xFFFFFFFFLL));
    std::unordered_set<uint32_t> handles;
    for (const Field& e : db["list"].items()) {
        NotificationRecord r = recordFrom(e);
        if (!handles.insert(r.handle).second)
            e["handle"].fail("handle " + std::to_string(r.handle) + " is used twice");
        if (r.handle >= s.notifications.nextHandle)
            db["nextHandle"].fail("is " + std::to_string(s.notifications.nextHandle) + ", but handle " +
                                  std::to_string(r.handle) + " is in use already");
        s.notifications.list.push_back(std::move(r));
    }

    if (top.has("chips")) {
        for (const auto& [key, chip] : top["chips"].members()) {
            // "0x68" on the standard unit's bus, "pwr:0x68" on the power-manager unit's.
            const bool pwr = key.compare(0, 4, "pwr:") == 0;
            const std::string text = pwr ? key.substr(4) : key;
            char* end = nullptr;
            const unsigned long address = std::strtoul(text.c_str(), &end, 16);
            if (text.size() != 4 || text.compare(0, 2, "0x") != 0 || *end != '\0' || address > 0x7F)
                chip.fail(
                    "a chip's key is its 7-bit address as \"0x68\", or \"pwr:0x68\" on the power-manager "
                    "bus");
            const int protocol = static_cast<int>(chip["protocol"].integer(1, 4));
            s.chips[static_cast<uint8_t>(address | (pwr ? kPowerManagerBusKey : 0))] =
                chipFrom(chip, chipRegisterCount(protocol));
        }
    }
    if (top.has("launches")) {
        for (const Field& e : top["launches"].items()) {
            e.onlyKeys({"app", "args", "exe", "pid"});
            LaunchRecord l;
            l.app = e["app"].string();
            l.args = optStringFrom(e, "args");
            l.exe = e["exe"].string();
            l.pid = static_cast<int>(e["pid"].integer(0, INT32_MAX));
            s.launches.push_back(std::move(l));
        }
    }
    if (top.has("signalledStarted"))
        for (const Field& e : top["signalledStarted"].items()) s.signalledStarted.push_back(e.u32());
    if (top.has("registryNotFlushed")) s.registryNotFlushed = top["registryNotFlushed"].string();
    return s;
}

json stateToJson(const BoardState& s) {
    json j;
    j["systemClock"] = json{{"local", s.systemClock.local}, {"atHost", s.systemClock.atHost}};
    if (s.daylight) j["daylight"] = *s.daylight;
    if (s.timeZoneNotFlushed) j["timeZoneNotFlushed"] = timeZoneToJson(*s.timeZoneNotFlushed);
    j["power"] = json{{"on", s.power.on}, {"changedAt", s.power.changedAt}};
    j["powerOnHost"] = s.powerOnHost;
    j["uptimeNs"] = s.uptimeNs;
    json list = json::array();
    for (const NotificationRecord& r : s.notifications.list) list.push_back(recordJson(r));
    j["notifications"] = json{{"nextHandle", s.notifications.nextHandle}, {"list", list}};
    json chips = json::object();
    for (const auto& [key, chip] : s.chips)
        chips[((key & kPowerManagerBusKey) ? "pwr:" : "") + hex(key & 0x7F, 2)] = chipJson(chip);
    j["chips"] = chips;
    json launches = json::array();
    for (const LaunchRecord& l : s.launches)
        launches.push_back(json{{"app", l.app}, {"args", optString(l.args)}, {"exe", l.exe}, {"pid", l.pid}});
    j["launches"] = launches;
    if (!s.signalledStarted.empty()) j["signalledStarted"] = s.signalledStarted;
    if (!s.registryNotFlushed.empty()) j["registryNotFlushed"] = s.registryNotFlushed;
    return j;
}

}  // namespace sim
