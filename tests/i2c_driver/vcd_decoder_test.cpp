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

        const std::string decoded =
            e2e::runShell("sigrok-cli -I vcd -i " + dir + "/bus.vcd " + e2e::kSigrokI2c + " 2>&1", &status);
        ASSERT_EQ(status, 0) << decoded;
        EXPECT_EQ(e2e::sigrokTransactions(decoded), expected) << decoded;
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
}

}  // namespace
