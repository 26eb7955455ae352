// The two fragments for the OS image builder (device/tamblin.reg, device/tamblin.bib) as the image
// builder and the device read them: the .reg through the board's own reader, filled in as the
// fragment tells a person to.
#include <gtest/gtest.h>

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

TEST(ImageFragments, ModulesLinePutsTheFileUncompressedIntoTheKernelRegion) {
    std::istringstream in(e2e::readFile(kBibPath));
    std::string line;
    bool inModules = false;
    std::vector<std::vector<std::string>> entries;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == ';') continue;
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;) f.push_back(w);
        if (f.size() == 1) {
            inModules = f[0] == "MODULES";
            continue;
        }
        if (inModules) entries.push_back(f);
    }
    ASSERT_EQ(entries.size(), 1u);
    const std::vector<std::string>& e = entries[0];
    ASSERT_EQ(e.size(), 4u) << "Name Path Memory-block Type";
    EXPECT_EQ(e[0], "Tamblin.exe");
    EXPECT_EQ(e[1], "$(_FLATRELEASEDIR)\\Tamblin.exe");
    EXPECT_EQ(e[2], "NK");
    EXPECT_NE(e[3].find('S'), std::string::npos) << "a system file";
    EXPECT_EQ(e[3].find('C'), std::string::npos) << "uncompressed";
}

}  // namespace
