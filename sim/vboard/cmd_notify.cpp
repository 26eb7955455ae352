// vboard notify: the board's notification database as the notification service keeps it.
#include <cstdio>

#include "../ceapi/tools_api.h"
#include "commands.h"

namespace vboard {

namespace {

const char* typeName(uint32_t type) {
    switch (type) {
        case 1:
            return "event";
        case 2:
            return "time";
        case 3:
            return "period";
        case 4:
            return "classic time";
    }
    return "?";
}

}  // namespace

void printNotifications() {
    std::vector<sim::NotificationRecord> all = sim::listNotifications();
    if (all.empty()) std::printf("No notifications registered.\n");
    for (const sim::NotificationRecord& n : all) {
        std::printf("%-6u %-6s", n.handle, typeName(n.type));
        if (n.type == 1) std::printf(" event %-3u", n.event);
        std::printf(" %s", n.application.c_str());
        if (n.arguments) std::printf(" \"%s\"", n.arguments->c_str());
        if (n.type != 1)
            std::printf(" at %04u-%02u-%02u %02u:%02u:%02u", n.start.year, n.start.month, n.start.day,
                        n.start.hour, n.start.minute, n.start.second);
        std::printf("\n");
    }
}

namespace {

void list() {
    openBoard();
    printNotifications();
}

}  // namespace

void addNotificationCommands(CLI::App& app) {
    CLI::App* cmd = app.add_subcommand("notify", "The notification database");
    cmd->require_subcommand(1);
    cmd->add_subcommand("list", "List every registration")->callback(list);

    static std::string application;
    static std::string arguments;
    static bool noArguments = false;
    static std::string event = "1";
    CLI::App* add = cmd->add_subcommand("add", "Register a program for a system event (as a program would)");
    add->add_option("application", application, "Device path, e.g. \\Windows\\Other.exe")->required();
    add->add_option("arguments", arguments, "Command line it is started with");
    add->add_flag("--no-arguments", noArguments, "Register without arguments (null)");
    add->add_option("--event", event, "System event number (1 = time change)");
    add->callback([] {
        sim::NotificationRecord r;
        r.type = 1;
        r.event = parseNumber(event, "notify add --event");
        const auto lock = openBoardForChange();
        r.application = application;
        if (!noArguments) r.arguments = arguments;
        std::printf("Registered as %u\n", sim::addNotification(r));
    });

    static std::string handle;
    CLI::App* clear = cmd->add_subcommand("clear", "Remove one registration");
    clear->add_option("handle", handle, "Its handle, as `notify list` shows it")->required();
    clear->callback([] {
        const uint32_t h = parseNumber(handle, "notify clear");
        const auto lock = openBoardForChange();
        if (!sim::clearNotification(h)) throw sim::BoardError("no notification has handle " + handle);
    });
}

}  // namespace vboard
