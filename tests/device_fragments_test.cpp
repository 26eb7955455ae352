// The two fragments for the OS image builder (device/tamblin.reg, device/tamblin.bib) as the image
// builder and the device read them: the .reg through the board's own reader, filled in as the
// fragment tells a person to.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sim/ceapi/regfile.h"
#include "tests/e2e_util.h"

namespace {

const std::string kRegPath = std::string(TAMBLIN_SOURCE_DIR) + "/device/tamblin.reg";
const std::string kBibPath = std::string(TAMBLIN_SOURCE_DIR) + "/device/tamblin.bib";
const std::string kProgramKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack\\Tamblin";

uint32_t dword(const sim::reg::Value* v) {
    return v->data[0] | (v->data[1] << 8) | (v->data[2] << 16) | (static_cast<uint32_t>(v->data[3]) << 24);
}

// The fragment with its commented value lines made live, as a person fills it in.
std::string filledIn(const std::string& text) {
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line)) {
        if (line.rfind(";   \"", 0) == 0) line = line.substr(4);
        out += line + "\n";
    }
    return out;
}

TEST(ImageFragments, RegistryFragmentStartsTheProgramAfterTheDeviceManager) {
    const std::string text = e2e::readFile(kRegPath);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.find('\n'), text.find("\r\n") + 1) << "line ends as the image builder's files have them";
    const sim::reg::Registry r = sim::reg::parse(text, kRegPath);
    EXPECT_TRUE(r.keyExists(kProgramKey));
    EXPECT_EQ(r.findValue(kProgramKey, "Protocol"), nullptr) << "left for the board's maintainer to fill in";

    // One launch value naming the program, and its dependency under the same number.
    const sim::reg::Key* init = nullptr;
    for (const sim::reg::Key& k : r.keys())
        if (sim::reg::sameName(k.path, "HKEY_LOCAL_MACHINE\\init")) init = &k;
    ASSERT_NE(init, nullptr);
    ASSERT_EQ(init->values.size(), 2u);
    const sim::reg::Value& launch = init->values[0];
    ASSERT_EQ(launch.name.rfind("Launch", 0), 0u);
    const std::string number = launch.name.substr(6);
    const int n = std::stoi(number);
    EXPECT_TRUE(n >= 21 && n <= 99) << "after the device manager's 20, within the two-digit launch numbers";
    EXPECT_EQ(launch.type, sim::reg::kSz);
    EXPECT_EQ(launch.data, sim::reg::stringData("Tamblin.exe"));
    const sim::reg::Value* depend = r.findValue("HKEY_LOCAL_MACHINE\\init", "Depend" + number);
    ASSERT_NE(depend, nullptr);
    EXPECT_EQ(depend->type, sim::reg::kBinary);
    // Launch numbers waited for, two bytes each, little-endian: the device manager's 20.
    EXPECT_EQ(depend->data, (std::vector<uint8_t>{0x14, 0x00}));
}

TEST(ImageFragments, RegistryFragmentIsLeftOutOfAnImageThatSetsBspNoTamblin) {
    const std::string text = e2e::readFile(kRegPath);
    // As the image builder reads the file with BSP_NOTAMBLIN set: its IF is then not taken.
    std::string switchedOff = text;
    const size_t at = switchedOff.find("IF BSP_NOTAMBLIN !");
    ASSERT_NE(at, std::string::npos);
    switchedOff.replace(at, std::string("IF BSP_NOTAMBLIN !").size(), "IF BSP_NOTAMBLIN");
    const sim::reg::Registry r = sim::reg::parse(switchedOff, kRegPath);
    EXPECT_TRUE(r.keys().empty());
}

TEST(ImageFragments, RegistryFragmentFilledInSelectsTheChip) {
    const sim::reg::Registry r = sim::reg::parse(filledIn(e2e::readFile(kRegPath)), kRegPath);
    const sim::reg::Value* protocol = r.findValue(kProgramKey, "Protocol");
    const sim::reg::Value* address = r.findValue(kProgramKey, "SlaveAddr");
    ASSERT_NE(protocol, nullptr);
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(protocol->type, sim::reg::kDword);
    EXPECT_EQ(address->type, sim::reg::kDword);
    EXPECT_EQ(dword(protocol), 1u);
    EXPECT_EQ(dword(address), 0x68u);
    // The standard unit, as without the value.
    const sim::reg::Value* bus = r.findValue(kProgramKey, "I2CBus");
    ASSERT_NE(bus, nullptr);
    EXPECT_EQ(bus->type, sim::reg::kDword);
    EXPECT_EQ(dword(bus), 0u);
}

TEST(ImageFragments, ModulesLinePutsTheFileUncompressedIntoTheImagesMemoryBlock) {
    std::istringstream in(e2e::readFile(kBibPath));
    std::string line;
    bool inModules = false;
    std::vector<std::string> guard;  // the IF/ENDIF lines around the entry
    std::vector<std::vector<std::string>> entries;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == ';') continue;
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;) f.push_back(w);
        if (f[0] == "IF" || f[0] == "ENDIF") {
            guard.push_back(line);
            continue;
        }
        if (f.size() == 1) {
            inModules = f[0] == "MODULES";
            continue;
        }
        if (inModules) entries.push_back(f);
    }
    // Switched off as the platform's own entries are, by a BSP variable.
    EXPECT_EQ(guard, (std::vector<std::string>{"IF BSP_NOTAMBLIN !", "ENDIF BSP_NOTAMBLIN !"}));
    ASSERT_EQ(entries.size(), 1u);
    const std::vector<std::string>& e = entries[0];
    ASSERT_EQ(e.size(), 4u) << "Name Path Memory-block Type";
    EXPECT_EQ(e[0], "Tamblin.exe");
    EXPECT_EQ(e[1], "$(_FLATRELEASEDIR)\\Tamblin.exe");
    EXPECT_EQ(e[2], "NK");
    EXPECT_NE(e[3].find('S'), std::string::npos) << "a system file";
    EXPECT_EQ(e[3].find('C'), std::string::npos) << "uncompressed";
}

// The platform's own build of the program (device/sources, device/makefile): the macros the
// platform's build pages give a program, and every product source, no more, no fewer.
TEST(PlatformBuild, SourcesNameEveryProductSourceAndTheProgramsMacros) {
    const std::string top = TAMBLIN_SOURCE_DIR;
    std::istringstream in(e2e::readFile(top + "/device/sources"));
    std::map<std::string, std::vector<std::string>> macros;
    std::string line, current;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const bool continues = !line.empty() && line.back() == '\\';
        if (continues) line.pop_back();
        std::istringstream words(line);
        std::string w;
        if (current.empty()) {
            const size_t eq = line.find('=');
            ASSERT_NE(eq, std::string::npos) << line;
            current = line.substr(0, eq);
            words.str(line.substr(eq + 1));
        }
        while (words >> w) macros[current].push_back(w);
        if (!continues) current.clear();
    }
    EXPECT_EQ(macros["TARGETNAME"], std::vector<std::string>{"Tamblin"});
    EXPECT_EQ(macros["TARGETTYPE"], std::vector<std::string>{"PROGRAM"});
    EXPECT_EQ(macros["RELEASETYPE"], std::vector<std::string>{"PLATFORM"});
    EXPECT_EQ(macros["EXEENTRY"], std::vector<std::string>{"WinMainCRTStartup"});
    EXPECT_EQ(macros["TARGETLIBS"],
              (std::vector<std::string>{"$(_COMMONSDKROOT)\\lib\\$(_CPUINDPATH)\\coredll.lib",
                                        "$(_COMMONOAKROOT)\\lib\\$(_CPUINDPATH)\\corelibc.lib"}));
    std::set<std::string> product;
    for (const char* dir : {"app", "rtc", "i2c", "gpiolib", "platform"})
        for (const auto& f : std::filesystem::directory_iterator(top + "/" + dir))
            if (f.path().extension() == ".cpp")
                product.insert(std::string("..\\") + dir + "\\" + f.path().filename().string());
    EXPECT_EQ(std::set<std::string>(macros["SOURCES"].begin(), macros["SOURCES"].end()), product);
    EXPECT_EQ(macros["SOURCES"].size(), product.size()) << "a source named twice";
    EXPECT_EQ(macros["ARM_SOURCES"], std::vector<std::string>{"hwaccess.s"});
    EXPECT_FALSE(e2e::readFile(top + "/device/hwaccess.s").empty());
    // The makefile is the platform's one line, as every component's is.
    const std::string makefile = e2e::readFile(top + "/device/makefile");
    EXPECT_TRUE(makefile.find("!INCLUDE $(_MAKEENVROOT)\\makefile.def") != std::string::npos) << makefile;
}

}  // namespace
