// The VCD file that vboard writes from the bus trace, read back by sigrok's I2C protocol decoder:
// an independent decoder must find the same transactions as the trace records.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "driver_test_util.h"
#include "tests/e2e_util.h"

namespace {

// sigrok's annotations ("Start", "Address write: 68", "Data read: 43", "ACK", "NACK", "Stop") in
// the trace's transaction notation.
std::vector<std::string> decoderTransactions(const std::string& annotations) {
    std::vector<std::string> out;
    std::string current;
    std::istringstream in(annotations);
    std::string line;
    auto add = [&](const std::string& token) { current += (current.empty() ? "" : " ") + token; };
    while (std::getline(in, line)) {
        const std::string prefix = "i2c-1: ";
        if (line.rfind(prefix, 0) != 0) continue;
        const std::string a = line.substr(prefix.size());
        auto hexAfter = [&](const char* label) { return a.substr(std::string(label).size()); };
        if (a == "Start") {
            add("S");
        } else if (a == "Start repeat") {
            add("Sr");
        } else if (a == "Stop") {
            add("P");
            out.push_back(current);
            current.clear();
        } else if (a == "ACK") {
            add("A");
        } else if (a == "NACK") {
            add("N");
        } else if (a.rfind("Address write: ", 0) == 0) {
            const unsigned v = std::stoul(hexAfter("Address write: "), nullptr, 16) << 1;
            char b[12];
            std::snprintf(b, sizeof b, "%02X", v);
            add(b);
        } else if (a.rfind("Address read: ", 0) == 0) {
            const unsigned v = (std::stoul(hexAfter("Address read: "), nullptr, 16) << 1) | 1;
            char b[12];
            std::snprintf(b, sizeof b, "%02X", v);
            add(b);
        } else if (a.rfind("Data read: ", 0) == 0 || a.rfind("Data write: ", 0) == 0) {
            add(a.substr(a.find(": ") + 2));
        }
    }
    if (!current.empty()) out.push_back(current);
    return out;
}

TEST(BusTraceVcd, SigrokDecodesTheSameTransactionsAsTheTrace) {
    int status = 0;
    e2e::runShell("sigrok-cli --version 2>&1", &status);
    ASSERT_EQ(status, 0) << "sigrok-cli is part of the test set-up (make deps installs it)";
    for (int protocol : {2, 3}) {
        SCOPED_TRACE(protocol);
        char tmpl[] = "/tmp/tamblin-vcd-XXXXXX";
        const std::string dir = mkdtemp(tmpl);
        sim::BoardConfig config = i2c_test::boardFor(17, protocol);
        config.apps[config.programPath] = std::string(TAMBLIN_BIN_DIR) + "/tamblin";
        char reg[160];
        std::snprintf(reg, sizeof reg,
                      "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack\\Tamblin]\r\n\"Protocol\"=dword:%08x\r\n",
                      protocol);
        sim::createBoard(dir, config, sim::defaultRegistryText() + reg);
        const std::string env = "TAMBLIN_BOARD=" + dir + " ";
        const std::string bin = std::string(TAMBLIN_BIN_DIR) + "/";
        // A boot, then a stored time: reads with repeated starts and writes with stops, at the
        // opening also the recovery's pulses on the lines.
        e2e::runShell(env + bin + "tamblin >/dev/null 2>&1", &status);
        ASSERT_EQ(status, 1);
        e2e::runShell(env + bin + "tamblin AppRunAfterTimeChange >/dev/null 2>&1", &status);
        ASSERT_EQ(status, 1);
        e2e::runShell(bin + "vboard --board " + dir + " trace vcd " + dir + "/bus.vcd", &status);
        ASSERT_EQ(status, 0);
        const std::string ours = e2e::runShell(bin + "vboard --board " + dir + " trace show -t", &status);
        std::vector<std::string> expected;
        std::istringstream in(ours);
        for (std::string l; std::getline(in, l);) expected.push_back(l);
        ASSERT_GE(expected.size(), 2u);

        const std::string decoded = e2e::runShell(
            "sigrok-cli -I vcd -i " + dir + "/bus.vcd -P i2c:scl=SCL:sda=SDA -A " +
                "i2c=start:repeat-start:stop:ack:nack:address-read:address-write:data-read:data-write 2>&1",
            &status);
        ASSERT_EQ(status, 0) << decoded;
        EXPECT_EQ(decoderTransactions(decoded), expected) << decoded;
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
}

}  // namespace
