// vboard: creates, shows and changes virtual boards.
#include <windows.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "../board/board.h"
#include "../board/format.h"
#include "../board/simtime.h"
#include "../ceapi/tools_api.h"
#include "commands.h"

namespace vboard {

namespace {

constexpr const char* kVersion = "vboard 1.1 (Tamblin virtual board tool)";

std::string commandPath(const CLI::App* app) {
    std::string path;
    for (; app && app->get_parent(); app = app->get_parent())
        path = app->get_name() + (path.empty() ? "" : " ") + path;
    return path;
}

std::vector<std::string> subcommandNames(const CLI::App* app) {
    std::vector<std::string> names;
    for (const CLI::App* sub : app->get_subcommands([](const CLI::App*) { return true; }))
        names.push_back(sub->get_name());
    return names;
}

std::vector<std::string> optionNames(const CLI::App* app) {
    std::vector<std::string> names;
    for (; app; app = app->get_parent())
        for (const CLI::Option* o : app->get_options()) {
            for (const std::string& l : o->get_lnames()) names.push_back("--" + l);
            for (const std::string& s : o->get_snames()) names.push_back("-" + s);
        }
    return names;
}

std::string didYouMean(const std::string& word, const std::vector<std::string>& candidates,
                       const std::string& prefix = "") {
    const std::string best = closest(word, candidates);
    return best.empty() ? "" : " (did you mean '" + prefix + best + "'?)";
}

// The subcommand that `words` name below `app`; a UsageError names the first unknown word.
CLI::App* findCommand(CLI::App& app, const std::vector<std::string>& words) {
    CLI::App* cur = &app;
    for (const std::string& w : words) {
        CLI::App* next = nullptr;
        for (CLI::App* sub : cur->get_subcommands([](const CLI::App*) { return true; }))
            if (sub->get_name() == w) next = sub;
        if (!next) {
            const std::string path = commandPath(cur);
            const std::string prefix = path.empty() ? "" : path + " ";
            throw UsageError("unknown command '" + prefix + w + "'" +
                             didYouMean(w, subcommandNames(cur), prefix));
        }
        cur = next;
    }
    return cur;
}

// What a parse error means to the person who typed the line.
std::string explain(CLI::App& app, const CLI::ParseError& e) {
    CLI::App* cur = &app;
    for (;;) {
        const std::vector<CLI::App*> parsed = cur->get_subcommands();
        if (parsed.empty()) break;
        cur = parsed.front();
    }
    const std::string path = commandPath(cur);
    const std::string where = path.empty() ? "vboard" : "vboard " + path;
    const std::string help = " (see 'vboard help" + (path.empty() ? "" : " " + path) + "')";
    const std::vector<std::string> rest = app.remaining(true);
    if (!rest.empty()) {
        const std::string& word = rest.front();
        if (word.size() > 1 && word[0] == '-') {
            const std::string name = word.substr(0, word.find('='));
            return "unknown option '" + name + "' for '" + where + "'" + didYouMean(name, optionNames(cur)) +
                   help;
        }
        if (!subcommandNames(cur).empty() && cur->get_subcommands().empty()) {
            const std::string prefix = path.empty() ? "" : path + " ";
            return "unknown command '" + prefix + word + "'" +
                   didYouMean(word, subcommandNames(cur), prefix) + help;
        }
        return "unexpected argument '" + word + "' for '" + where + "'" + help;
    }
    if (!subcommandNames(cur).empty() && cur->get_subcommands().empty()) {
        std::string list;
        for (const std::string& n : subcommandNames(cur)) list += (list.empty() ? "" : ", ") + n;
        return "'" + where + "' needs a command: " + list + help;
    }
    // The caller puts "vboard: " before the message: the command's path alone here.
    return (path.empty() ? "" : path + ": ") + e.what() + help;
}

// A message on one line: what the user typed may hold line breaks and other control characters.
std::string oneLine(const std::string& message) {
    std::string out;
    for (unsigned char c : message) {
        char buf[8];
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c < 0x20 || c == 0x7F) {
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

}  // namespace

}  // namespace vboard

int main(int argc, char** argv) {
    CLI::App app{
        "vboard: the virtual board that Tamblin runs on.\n"
        "A board is a directory (board.json, registry.reg, state.json, debug.log, trace.log).\n"
        "Exit codes: 0 done, 1 the board refused or failed (nothing changed), 2 usage error.",
        "vboard"};
    // Options of vboard itself (--board) may stand anywhere on the line.
    app.fallthrough();
    app.require_subcommand(1);
    app.set_version_flag("-V,--version", vboard::kVersion, "Print the version and exit");
    app.add_option("-b,--board", vboard::boardDirOption(),
                   "Board directory (default: $TAMBLIN_BOARD, else ./board); accepted anywhere on the line");
    vboard::addBoardCommands(app);
    vboard::addChipCommands(app);
    vboard::addNotificationCommands(app);
    vboard::addRegistryCommands(app);
    vboard::addTraceCommands(app);
    vboard::addZoneCommands(app);
    vboard::addPowerCommands(app);
    vboard::addBusCommands(app);
    vboard::addFaultCommands(app);

    CLI::App* help = app.add_subcommand("help", "Describe vboard or one of its commands: help [COMMAND...]");
    // Every word after help names a command, also words that are commands of vboard itself.
    help->prefix_command();
    help->allow_extras();
    help->fallthrough(false);
    help->callback([&app, help] {
        std::vector<std::string> words = help->remaining();
        words.erase(std::remove(words.begin(), words.end(), "--"), words.end());
        CLI::App* cmd = vboard::findCommand(app, words);
        const std::string path = vboard::commandPath(cmd);
        std::fputs(
            cmd->get_formatter()
                ->make_help(cmd, path.empty() ? "vboard" : "vboard " + path, CLI::AppFormatMode::Normal)
                .c_str(),
            stdout);
    });

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "vboard: %s\n", vboard::oneLine(vboard::explain(app, e)).c_str());
        return 2;
    } catch (const vboard::UsageError& e) {
        std::fprintf(stderr, "vboard: %s\n", vboard::oneLine(e.what()).c_str());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vboard: %s\n", vboard::oneLine(e.what()).c_str());
        return 1;
    }
    sim::timeEndProcess();
    sim::releaseProcessObjects();
    return 0;
}
