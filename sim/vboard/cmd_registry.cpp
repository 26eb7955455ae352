// vboard registry: show the board's registry, set one of its values, delete values and keys, or
// import .reg files as the image builder merges them.
//
// Every write is checked by reading the new text back with the registry's own reader: a value
// that the .reg format cannot carry (a line break in a name, bytes that are not UTF-8) is refused
// rather than written into a file the program could not read.
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "../board/board.h"
#include "../board/format.h"
#include "../ceapi/tools_api.h"
#include "commands.h"

namespace vboard {

namespace {

const char* const kValueForms = "dword:N (decimal or 0x...), sz:TEXT or hex:BYTES (e.g. hex:01,ff)";

// One line of the .reg format holds each name and string: no line breaks, and text the platform
// can turn into UTF-16 and back unchanged.
void checkText(const std::string& text, const std::string& what, const std::string& where) {
    if (text.find_first_of("\r\n") != std::string::npos)
        throw UsageError(where + ": the " + what + " contains a line break, which registry.reg cannot hold");
    if (sim::toUtf8(sim::fromUtf8(text)) != text)
        throw UsageError(where + ": the " + what + " is not valid UTF-8");
}

// KEY with or without its root; HKEY_LOCAL_MACHINE when no root is named.
std::string fullKeyPath(const std::string& key, const std::string& where) {
    checkText(key, "key", where);
    if (key.empty()) throw UsageError(where + ": the key is empty");
    if (key.find(']') != std::string::npos)
        throw UsageError(where + ": the key \"" + key +
                         "\" contains ], which ends a [key] line of registry.reg");
    size_t start = 0;
    for (;;) {
        const size_t bs = key.find('\\', start);
        if ((bs == std::string::npos ? key.size() : bs) == start)
            throw UsageError(where + ": the key \"" + key + "\" has an empty name between backslashes");
        if (bs == std::string::npos) break;
        start = bs + 1;
    }
    // The roots as regedit and reg.exe users abbreviate them.
    static const std::pair<const char*, const char*> kAbbreviations[] = {{"hklm", "HKEY_LOCAL_MACHINE"},
                                                                         {"hkcu", "HKEY_CURRENT_USER"},
                                                                         {"hkcr", "HKEY_CLASSES_ROOT"},
                                                                         {"hku", "HKEY_USERS"}};
    const std::vector<std::string> parts = sim::reg::splitPath(key);
    const std::string first = parts.front();
    for (const auto& [abbreviation, root] : kAbbreviations)
        if (lowerCase(first) == abbreviation) return root + key.substr(first.size());
    if (!sim::reg::isRootName(first)) return "HKEY_LOCAL_MACHINE\\" + key;
    std::string root = first;
    for (char& c : root) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return root + key.substr(root.size());
}

sim::reg::Value parseValue(const std::string& name, const std::string& text, const std::string& where) {
    sim::reg::Value v;
    v.name = name;
    if (text.rfind("dword:", 0) == 0) {
        v.type = sim::reg::kDword;
        const uint32_t n = parseNumber(text.substr(6), where + ": dword");
        for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<uint8_t>(n >> (8 * i)));
    } else if (text.rfind("sz:", 0) == 0) {
        checkText(text.substr(3), "string", where);
        v.type = sim::reg::kSz;
        v.data = sim::reg::stringData(text.substr(3));
    } else if (text.rfind("hex:", 0) == 0) {
        v.type = sim::reg::kBinary;
        const std::string bytes = text.substr(4);
        size_t pos = 0;
        while (pos < bytes.size()) {
            const size_t comma = bytes.find(',', pos);
            const std::string b =
                bytes.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
            if (b.empty() || b.size() > 2 ||
                b.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                throw UsageError(where +
                                 ": hex: takes bytes of one or two hex digits separated by commas, got \"" +
                                 text + "\"");
            v.data.push_back(static_cast<uint8_t>(std::strtoul(b.c_str(), nullptr, 16)));
            if (comma == std::string::npos) break;
            pos = comma + 1;
            if (pos == bytes.size()) throw UsageError(where + ": hex: ends with a comma in \"" + text + "\"");
        }
    } else {
        throw UsageError(where + ": expected a value " + kValueForms + ", got \"" + text + "\"");
    }
    return v;
}

bool sameValues(const sim::reg::Registry& a, const sim::reg::Registry& b) {
    if (a.keys().size() != b.keys().size()) return false;
    for (size_t i = 0; i < a.keys().size(); ++i) {
        const sim::reg::Key& x = a.keys()[i];
        const sim::reg::Key& y = b.keys()[i];
        if (x.path != y.path || x.values.size() != y.values.size()) return false;
        for (size_t j = 0; j < x.values.size(); ++j)
            if (x.values[j].name != y.values[j].name || x.values[j].type != y.values[j].type ||
                x.values[j].data != y.values[j].data)
                return false;
    }
    return true;
}

std::string textOf(const sim::reg::Registry& r, const std::string& original, const std::string& file) {
    const std::string text = sim::reg::leadingComments(original) + r.toText();
    if (!sameValues(sim::reg::parse(text, file), r))
        throw UsageError(file + ": the change cannot be written so that it reads back the same");
    return text;
}

std::string registryFile() {
    return sim::Board::current().path("registry.reg");
}

}  // namespace

std::string unflushedText() {
    const std::string ram = sim::Board::current().readState().registryNotFlushed;
    if (ram.empty()) return "";
    return "\r\n; Set by programs and not flushed yet: in the registry's RAM, lost at a power-down\r\n" + ram;
}

std::string registryWithValue(const std::string& regText, const std::string& key, const std::string& name,
                              const std::string& value, const std::string& where) {
    const std::string path = fullKeyPath(key, where);
    checkText(name, "value name", where);
    sim::reg::Value v = parseValue(name, value, where);
    // The program's SlaveAddr is a 7-bit address, as --address takes it; kept as given (a board may
    // be meant to show what the program does with it), with the hint --address gives.
    if (lowerCase(path) == "hkey_local_machine\\software\\vorlack\\tamblin" &&
        lowerCase(name) == "slaveaddr" && v.type == sim::reg::kDword) {
        const uint32_t a =
            v.data[0] | v.data[1] << 8 | v.data[2] << 16 | static_cast<uint32_t>(v.data[3]) << 24;
        if (a > 0x7F)
            std::fprintf(
                stderr,
                "vboard: %s: note: SlaveAddr %s is no 7-bit address, so the program sends nothing%s\n",
                where.c_str(), sim::hex(a, 2).c_str(),
                a <= 0xFF ? (" (" + sim::hex(a, 2) + " looks like an 8-bit address: the 7-bit address is " +
                             sim::hex(a >> 1, 2) + ")")
                                .c_str()
                          : "");
    }
    sim::reg::Registry r = sim::reg::parse(regText, "registry.reg");
    r.set(path, v);
    return textOf(r, regText, where);
}

void addRegistryCommands(CLI::App& app) {
    CLI::App* cmd = app.add_subcommand("registry", "The board's registry (registry.reg)");
    cmd->require_subcommand(1);
    cmd->add_subcommand("show", "Print the registry as .reg text")->callback([] {
        openBoard();
        std::fputs(sim::reg::load(registryFile()).toText().c_str(), stdout);
        std::fputs(unflushedText().c_str(), stdout);
    });

    static std::string key;
    static std::string name;
    static std::string value;
    CLI::App* set = cmd->add_subcommand("set", std::string("Set a value: ") + kValueForms);
    set->add_option("key", key, "Key, with or without HKEY_LOCAL_MACHINE\\, e.g. SOFTWARE\\Vorlack\\Tamblin")
        ->required();
    set->add_option("name", name, "Value name, e.g. Protocol (\"\" for the key's default value)")->required();
    set->add_option("value", value, std::string("The value: ") + kValueForms)->required();
    set->callback([] {
        const std::string path = fullKeyPath(key, "registry set");
        checkText(name, "value name", "registry set");
        parseValue(name, value, "registry set");
        const auto lock = openBoardForChange();
        // The file is edited as the programs see the registry: what they left in RAM goes with it.
        sim::flushRegistry();
        const std::string file = registryFile();
        const std::string before = sim::reg::readText(file);
        const std::string after = registryWithValue(before, key, name, value, "registry set");
        sim::writeFileAtomically(file, after);
        const sim::reg::Registry written = sim::reg::parse(after, file);
        const sim::reg::Value* stored = written.findValue(path, name);
        std::printf("[%s]\n%s\n", path.c_str(), stored ? sim::reg::formatValue(*stored).c_str() : "?");
    });

    static std::vector<std::string> importFiles;
    CLI::App* import = cmd->add_subcommand(
        "import",
        "Lay .reg files over the registry, each value replacing one of its name, as the image builder merges "
        "them (IF/ENDIF blocks read as for an image that sets no BSP variable)");
    import->add_option("files", importFiles, "The .reg files, merged in this order")->required();
    import->callback([] {
        // Every file is read whole first: one that cannot be read changes nothing.
        std::vector<sim::reg::Registry> parts;
    for (const std::string& f : importFiles) {
        if (!std::ifstream(f)) throw sim::BoardError("registry import: cannot read " + f);
        try {
            parts.push_back(sim::reg::parse(sim::reg::readText(f), f));
        } catch (const sim::reg::ParseError& e) {
            throw sim::BoardError(std::string("registry import: ") + e.what());
        }
    }
    const auto lock = openBoardForChange();
    sim::flushRegistry();
    const std::string file = registryFile();
    const std::string before = sim::reg::readText(file);
    sim::reg::Registry r = sim::reg::parse(before, file);
    for (size_t i = 0; i < parts.size(); ++i) {
        size_t values = 0;
        for (const sim::reg::Key& k : parts[i].keys()) {
            r.addKey(k.path);
            for (const sim::reg::Value& v : k.values) {
                r.set(k.path, v);
                ++values;
            }
        }
        std::printf("%s: %zu value%s in %zu key%s\n", importFiles[i].c_str(), values, values == 1 ? "" : "s",
                    parts[i].keys().size(), parts[i].keys().size() == 1 ? "" : "s");
    }
    sim::writeFileAtomically(file, textOf(r, before, file));
});

static std::string deleteKey;
static std::vector<std::string> deleteName;
CLI::App* del = cmd->add_subcommand("delete", "Delete a value, or a key with everything below it");
del->add_option("key", deleteKey, "Key, with or without HKEY_LOCAL_MACHINE\\")->required();
del->add_option("name", deleteName, "The value to delete (without: the whole key)")->expected(0, 1);
del->callback([] {
    const std::string path = fullKeyPath(deleteKey, "registry delete");
    if (sim::reg::splitPath(path).size() < 2)
        throw UsageError("registry delete: " + path + " is a root key, which cannot be deleted");
    const auto lock = openBoardForChange();
    sim::flushRegistry();
    const std::string file = registryFile();
    const std::string before = sim::reg::readText(file);
    sim::reg::Registry r = sim::reg::parse(before, file);
    if (!deleteName.empty()) {
        if (!r.removeValue(path, deleteName.front()))
            throw sim::BoardError("registry delete: " + path + " has no value \"" + deleteName.front() +
                                  "\"");
        sim::writeFileAtomically(file, textOf(r, before, file));
        std::printf("Deleted \"%s\" from [%s]\n", deleteName.front().c_str(), path.c_str());
        return;
    }
    const size_t removed = r.removeKey(path);
    if (removed == 0) throw sim::BoardError("registry delete: no key " + path);
    sim::writeFileAtomically(file, textOf(r, before, file));
    std::printf("Deleted [%s] (%zu key%s)\n", path.c_str(), removed, removed == 1 ? "" : "s");
});
}  // namespace vboard

}  // namespace vboard
