// vboard registry: show the board's registry or change one of its values.
#include <cstdio>
#include <cstdlib>

#include "../board/board.h"
#include "../ceapi/regfile.h"
#include "commands.h"

namespace vboard {

void addRegistryCommands(CLI::App& app) {
    CLI::App* cmd = app.add_subcommand("registry", "The board's registry (registry.reg)");
    cmd->require_subcommand(1);
    cmd->add_subcommand("show", "Print the registry as .reg text")->callback([] {
        openBoard();
        std::fputs(sim::reg::load(sim::Board::current().path("registry.reg")).toText().c_str(), stdout);
    });

    static std::string key;
    static std::string name;
    static std::string value;
    CLI::App* set = cmd->add_subcommand("set", "Set a value: dword:N (decimal or 0x...), or text");
    set->add_option("key", key, "Key under HKEY_LOCAL_MACHINE, e.g. SOFTWARE\\Vorlack\\Tamblin")->required();
    set->add_option("name", name, "Value name, e.g. Protocol")->required();
    set->add_option("value", value, "dword:3, or a string")->required();
    set->callback([] {
        openBoard();
        const std::string path = sim::Board::current().path("registry.reg");
        sim::reg::Registry r = sim::reg::load(path);
        const std::string full = "HKEY_LOCAL_MACHINE\\" + key;
        if (value.rfind("dword:", 0) == 0) {
            char* end = nullptr;
            unsigned long v = std::strtoul(value.c_str() + 6, &end, 0);
            if (value.size() == 6 || *end != '\0')
                throw sim::BoardError("registry set: not a number: " + value);
            r.setDword(full, name, static_cast<uint32_t>(v));
        } else {
            r.setString(full, name, value);
        }
        sim::reg::save(path, r);
    });
}

}  // namespace vboard
