// vboard fault: the faults that board.json injects ("faults"), added, listed and cleared. Each
// fault is written KEY=VALUE, the key as board.json names it (any letter case), one byte fault as
// i2c:N=FAULT; `fault list` prints them in the form `fault add` takes. Everything a command is
// given is checked against the board's own reader before board.json changes, and board.json
// changes once, with all of it or nothing.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <sstream>

#include "../board/board.h"
#include "../board/config.h"
#include "../board/format.h"
#include "commands.h"

namespace vboard {

namespace {

enum class Kind {
    Word,    // one value only: "kernelBridge" or "kernelBridge=absent"
    Choice,  // one of a few words
    List,    // numbers, each a fault of its own
    Bytes,   // i2c:N=FAULT
    Count,   // a number or "forever"
    Number,
};

struct FaultKey {
    const char* key;
    Kind kind;
    const char* value;  // Word: the one value; Choice: the words, separated by |
};

const FaultKey kKeys[] = {
    {"kernelBridge", Kind::Word, "absent"},   {"bridgeHandler", Kind::Word, "plain"},
    {"programTrust", Kind::Word, "run"},      {"bridgeProbe", Kind::Choice, "zero|fail"},
    {"requestSysIntr", Kind::Word, "refuse"}, {"duplicateHandle", Kind::Word, "fail"},
    {"virtualAlloc", Kind::Word, "fail"},     {"virtualCopy", Kind::Word, "fail"},
    {"moduleFileName", Kind::Word, "fail"},   {"localAllocFail", Kind::List, ""},
    {"clockStuckBits", Kind::List, ""},       {"clockStuckOnBits", Kind::List, ""},
    {"gpioInputsLow", Kind::List, ""},        {"i2c", Kind::Bytes, ""},
    {"i2cStuckSda", Kind::Count, ""},         {"i2cSclLowMs", Kind::Count, ""},
    {"i2cClockStretchNs", Kind::Number, ""},
};

// What a fault does, for `fault list` and `show`.
std::string effect(const std::string& key, const sim::json& v) {
    const std::string n = v.is_number() ? std::to_string(v.get<uint64_t>()) : "";
    const std::string s = v.is_string() ? v.get<std::string>() : "";
    if (key == "kernelBridge") return "the HAL does not know the kernel-call bridge";
    if (key == "bridgeHandler")
        return "the kernel-call bridge has no restrictions and no routines of its own beyond the interrupt "
               "ones";
    if (key == "programTrust") return "the image trusts the program to run only, not fully";
    if (key == "bridgeProbe")
        return s == "zero" ? "the kernel-call bridge's probe answers zero"
                           : "the kernel-call bridge's probe fails";
    if (key == "requestSysIntr") return "the HAL refuses to give the I2C interrupt a system interrupt";
    if (key == "duplicateHandle") return "DuplicateHandle fails";
    if (key == "virtualAlloc") return "VirtualAlloc fails";
    if (key == "virtualCopy") return "VirtualCopy fails";
    if (key == "moduleFileName") return "GetModuleFileName fails";
    if (key == "localAllocFail") return "LocalAlloc number " + n + " of each process fails";
    if (key == "clockStuckBits") return "clock-enable bit " + n + " never reads back as set";
    if (key == "clockStuckOnBits") return "clock-enable bit " + n + " never reads back as clear";
    if (key == "gpioInputsLow") return "the board holds pad " + n + " low";
    if (key == "i2cStuckSda")
        return s == "forever" ? "at each process start a slave holds SDA low for good"
                              : "at each process start a slave holds SDA low until it has seen " + n +
                                    " more clock pulses";
    if (key == "i2cSclLowMs")
        return s == "forever" ? "SCL is held low for good"
                              : "SCL is held low for the first " + n + " ms of each process";
    if (key == "i2cClockStretchNs") return "every chip holds SCL low " + n + " ns after each byte";
    return "";
}

std::string byteEffect(const std::string& fault, uint32_t byte) {
    const std::string b = "byte " + std::to_string(byte);
    if (fault == "nak") return "the chip does not acknowledge " + b;
    if (fault == "arbitrationLoss") return "another master wins the bus during " + b;
    if (fault == "busError") return "a bus error while " + b + " is received";
    if (fault == "stop") return b + " completes with a stop condition reported";
    if (fault == "slaveAddress") return b + " completes with the unit addressed as a slave";
    if (fault == "generalCall") return b + " completes with a general call reported";
    if (fault == "stayBusy")
        return (byte ? "from " + b + " on" : "from the start") + std::string(" the unit stays busy");
    if (fault == "noInterrupt") return b + " completes, its interrupt never comes";
    if (fault == "interruptWithoutStatus") return "instead of " + b + " an interrupt with no status bit";
    return "";
}

std::string line(const std::string& entry, const std::string& what) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "%-26s %s", entry.c_str(), what.c_str());
    return buf;
}

std::string valueText(const sim::json& v) {
    return v.is_string() ? v.get<std::string>() : v.dump();
}

// A fault as the command line names it.
struct FaultEntry {
    const FaultKey* key = nullptr;
    std::optional<uint32_t> byte;  // i2c:N
    std::optional<std::string> value;
    std::string text;
};

// The fault as `fault list` writes it: the key in board.json's spelling.
std::string canonical(const FaultEntry& s) {
    std::string text = s.key->key;
    if (s.byte) text += ":" + std::to_string(*s.byte);
    const bool numeric =
        s.key->kind == Kind::List || s.key->kind == Kind::Count || s.key->kind == Kind::Number;
    if (s.value && numeric && *s.value != "forever")
        return text + "=" + std::to_string(parseNumber(*s.value, text));
    if (s.value) return text + "=" + *s.value;
    return s.key->kind == Kind::Word ? text + "=" + s.key->value : text;
}

FaultEntry parseEntry(const std::string& text, const std::string& command) {
    FaultEntry s;
    s.text = text;
    const size_t eq = text.find('=');
    std::string name = text.substr(0, eq);
    if (eq != std::string::npos) s.value = text.substr(eq + 1);
    const size_t colon = name.find(':');
    std::string index;
    if (colon != std::string::npos) {
        index = name.substr(colon + 1);
        name = name.substr(0, colon);
    }
    std::vector<std::string> known;
    for (const FaultKey& k : kKeys) {
        known.push_back(k.key);
        if (lowerCase(name) == lowerCase(k.key)) s.key = &k;
    }
    if (!s.key) {
        const std::string best = closest(name, known);
        std::string list;
        for (const std::string& k : known) list += (list.empty() ? "" : ", ") + k;
        throw UsageError(command + ": unknown fault \"" + name + "\"" +
                         (best.empty() ? "" : " (did you mean '" + best + "'?)") + "; known: " + list);
    }
    if (s.key->kind == Kind::Bytes) {
        if (colon == std::string::npos)
            throw UsageError(command + " \"" + text + "\": an I2C byte fault is written i2c:N=FAULT");
        s.byte = parseNumber(index, command + " \"" + text + "\": byte number");
    } else if (colon != std::string::npos) {
        throw UsageError(command + " \"" + text + "\": only i2c takes a byte number (i2c:N=FAULT)");
    }
    // The words a fault takes, in any letter case, as board.json spells them; a slip is refused
    // with the word it was likely meant to be.
    std::vector<std::string> words;
    if (s.key->kind == Kind::Word || s.key->kind == Kind::Choice) {
        std::istringstream in(s.key->value);
        for (std::string w; std::getline(in, w, '|');) words.push_back(w);
    } else if (s.key->kind == Kind::Bytes) {
        words = sim::byteFaultNames();
    } else if (s.key->kind == Kind::Count) {
        if (s.value && lowerCase(*s.value) == "forever") s.value = "forever";
    }
    if (s.value && !s.value->empty() && !words.empty()) {
        std::vector<std::string> lowered;
        for (const std::string& w : words) lowered.push_back(lowerCase(w));
        const auto at = std::find(lowered.begin(), lowered.end(), lowerCase(*s.value));
        if (at == lowered.end()) {
            const std::string best = closest(lowerCase(*s.value), lowered);
            std::string list;
            for (const std::string& w : words) list += (list.empty() ? "" : ", ") + w;
            throw UsageError(
                command + " \"" + text + "\": unknown value \"" + *s.value + "\"" +
                (best.empty()
                     ? ""
                     : " (did you mean '" +
                           words[std::find(lowered.begin(), lowered.end(), best) - lowered.begin()] + "'?)") +
                "; " + s.key->key + " takes " + list);
        }
        s.value = words[at - lowered.begin()];
    }
    return s;
}

sim::json numberOrWord(const std::string& text, const std::string& what) {
    if (text == "forever") return text;
    return parseNumber(text, what);
}

// Adds a fault to the "faults" object `j`; returns what it replaced ("" when nothing).
std::string addTo(sim::json& j, const FaultEntry& s) {
    const std::string key = s.key->key;
    const std::string what = "fault add \"" + s.text + "\"";
    if (s.key->kind != Kind::Word && (!s.value || s.value->empty()))
        throw UsageError(what + ": a value is needed (" + key + "=VALUE)");
    std::string replaced;
    switch (s.key->kind) {
        case Kind::Word:
        case Kind::Choice:
            if (j.contains(key)) replaced = key + "=" + valueText(j[key]);
            j[key] = s.value ? *s.value : std::string(s.key->value);
            break;
        case Kind::List: {
            if (!j.contains(key)) j[key] = sim::json::array();
            const sim::json n = parseNumber(*s.value, what);
            for (const sim::json& e : j[key])
                if (e == n)
                    throw sim::BoardError(what + ": " + key + "=" + *s.value + " is in force already");
            j[key].push_back(n);
            break;
        }
        case Kind::Bytes: {
            if (!j.contains("i2c")) j["i2c"] = sim::json::array();
            sim::json& list = j["i2c"];
            for (size_t i = 0; i < list.size(); ++i)
                if (list[i]["byte"] == *s.byte) {
                    replaced = "i2c:" + std::to_string(*s.byte) + "=" + valueText(list[i]["fault"]);
                    list.erase(i);
                    break;
                }
            list.push_back(sim::json{{"byte", *s.byte}, {"fault", *s.value}});
            break;
        }
        case Kind::Count:
        case Kind::Number:
            if (j.contains(key)) replaced = key + "=" + valueText(j[key]);
            j[key] = s.key->kind == Kind::Count ? numberOrWord(*s.value, what)
                                                : sim::json(parseNumber(*s.value, what));
            break;
    }
    // The board's own reader judges the value, so that what is added is what a program will read.
    try {
        sim::faultsFromJson(j);
    } catch (const sim::BoardError& e) {
        throw UsageError(what + ": " + e.what());
    }
    return replaced;
}

void removeFrom(sim::json& j, const FaultEntry& s) {
    const std::string key = s.key->key;
    const std::string what = "fault clear \"" + s.text + "\"";
    auto notInForce = [&] {
        return sim::BoardError(what + ": no such fault in force (see 'vboard fault list')");
    };
    if (!j.contains(key)) throw notInForce();
    if (s.key->kind == Kind::Bytes) {
        sim::json& list = j["i2c"];
        size_t before = list.size();
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i]["byte"] == *s.byte && (!s.value || list[i]["fault"] == *s.value)) {
                list.erase(i);
                break;
            }
        if (list.size() == before) throw notInForce();
        if (list.empty()) j.erase(key);
        return;
    }
    if (s.key->kind == Kind::List && s.value) {
        const sim::json n = parseNumber(*s.value, what);
        sim::json& list = j[key];
        const size_t before = list.size();
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i] == n) {
                list.erase(i);
                break;
            }
        if (list.size() == before) throw notInForce();
        if (list.empty()) j.erase(key);
        return;
    }
    if (s.value && valueText(j[key]) != *s.value) throw notInForce();
    j.erase(key);
}

void writeFaults(const sim::json& j) {
    replaceBoardJsonEntry("faults", j.empty() ? std::nullopt : std::optional<sim::json>(j));
}

}  // namespace

std::vector<std::string> faultLines(const sim::FaultConfig& faults) {
    const sim::json j = sim::faultsToJson(faults);
    std::vector<std::string> out;
    for (const FaultKey& k : kKeys) {
        if (!j.contains(k.key)) continue;
        const sim::json& v = j[k.key];
        if (k.kind == Kind::Bytes) {
            for (const sim::json& e : v) {
                const uint32_t byte = e["byte"].get<uint32_t>();
                const std::string fault = e["fault"].get<std::string>();
                out.push_back(line("i2c:" + std::to_string(byte) + "=" + fault, byteEffect(fault, byte)));
            }
        } else if (k.kind == Kind::List) {
            for (const sim::json& e : v)
                out.push_back(line(std::string(k.key) + "=" + e.dump(), effect(k.key, e)));
        } else {
            out.push_back(line(std::string(k.key) + "=" + valueText(v), effect(k.key, v)));
        }
    }
    return out;
}

void addFaultCommands(CLI::App& app) {
    CLI::App* cmd = app.add_subcommand("fault", "Faults the board injects (board.json \"faults\")");
    cmd->require_subcommand(1);

    static std::vector<std::string> added;
    CLI::App* add = cmd->add_subcommand("add", "Inject faults: KEY=VALUE, or i2c:N=FAULT for byte N");
    add->add_option(
           "faults", added,
           "e.g. i2c:3=nak, i2c:0=stayBusy, i2cStuckSda=5, i2cSclLowMs=forever, "
           "i2cClockStretchNs=20000, localAllocFail=2, kernelBridge (keys and values as the README's "
           "fault tables list them)")
        ->required();
    add->callback([] {
        std::vector<FaultEntry> entries;
        for (const std::string& t : added) entries.push_back(parseEntry(t, "fault add"));
        const auto lock = openBoardForChange();
        sim::json j = sim::faultsToJson(sim::Board::current().config().faults);
        std::vector<std::string> replaced;
        for (const FaultEntry& s : entries) replaced.push_back(addTo(j, s));
        writeFaults(j);
        for (size_t i = 0; i < entries.size(); ++i)
            std::printf("Fault added: %s%s\n", canonical(entries[i]).c_str(),
                        replaced[i].empty() ? "" : (" (replaces " + replaced[i] + ")").c_str());
    });

    cmd->add_subcommand("list", "The faults in force, as 'fault add' takes them, and what they do")
        ->callback([] {
            openBoard();
            const sim::Board& board = sim::Board::current();
            std::vector<std::string> lines = faultLines(board.config().faults);
            for (const auto& [address, chip] : board.readState().chips)
                if (chip.nakNext)
                    lines.push_back(line(
                        "(chip nak)", "the chip at " +
                                          sim::chipLabel(address & 0x7F, (address & sim::kPowerManagerBusKey)
                                                                             ? sim::I2cBusId::PowerManager
                                                                             : sim::I2cBusId::Standard) +
                                          " refuses its next " + std::to_string(chip.nakNext) +
                                          " address phases ('vboard chip nak 0' ends it)"));
            if (lines.empty()) std::printf("No faults in force.\n");
            for (const std::string& l : lines) std::printf("%s\n", l.c_str());
        });

    static std::vector<std::string> cleared;
    CLI::App* clear = cmd->add_subcommand(
        "clear",
        "Remove faults: KEY (all of it), KEY=VALUE (one list entry), i2c:N; none given: every fault");
    clear->add_option("faults", cleared, "The faults to remove, as 'fault list' prints them");
    clear->callback([] {
        std::vector<FaultEntry> entries;
        for (const std::string& t : cleared) entries.push_back(parseEntry(t, "fault clear"));
        const auto lock = openBoardForChange();
        sim::json j = sim::faultsToJson(sim::Board::current().config().faults);
        const size_t before = faultLines(sim::Board::current().config().faults).size();
        if (entries.empty()) {
            j = sim::json::object();
        } else {
            for (const FaultEntry& s : entries) removeFrom(j, s);
        }
        writeFaults(j);
        const size_t after = faultLines(sim::faultsFromJson(j)).size();
        std::printf("Cleared %zu fault%s; %zu in force\n", before - after, before - after == 1 ? "" : "s",
                    after);
    });
}

}  // namespace vboard
