// The program's registry configuration: protocol number and chip address, with their defaults.
#include <gtest/gtest.h>
#include <windows.h>

#include "app/config.h"
#include "testboard.h"

namespace {

const std::string kKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack\\Tamblin]\r\n";

struct ConfigCase {
    const char* what;
    std::string values;  // lines under the program's key; null key when empty
    DWORD protocol;
    DWORD slaveAddr;
    const char* log;  // the debug output expected
};

TEST(RtcConfig, ProtocolAndAddressFromTheRegistry) {
    const ConfigCase cases[] = {
        {"no key", "", 1, 0x68, ""},
        {"key without values", " ", 1, 0x68, ""},
        {"protocol 1", "\"Protocol\"=dword:00000001\r\n", 1, 0x68, ""},
        {"protocol 2", "\"Protocol\"=dword:00000002\r\n", 2, 0x68, ""},
        {"protocol 3 takes its own address", "\"Protocol\"=dword:00000003\r\n", 3, 0x51, ""},
        {"protocol 4 with an address", "\"Protocol\"=dword:00000004\r\n\"SlaveAddr\"=dword:0000006F\r\n", 4,
         0x6F, ""},
        {"address alone", "\"SlaveAddr\"=dword:00000032\r\n", 1, 0x32, ""},
        {"protocol 7", "\"Protocol\"=dword:00000007\r\n", 7, 0, "Invalid RTC Protocol in Registry: 7"},
        {"protocol 5", "\"Protocol\"=dword:00000005\r\n", 5, 0, "Invalid RTC Protocol in Registry: 5"},
        {"protocol 7 with an address", "\"Protocol\"=dword:7\r\n\"SlaveAddr\"=dword:6f\r\n", 7, 0x6F,
         "Invalid RTC Protocol in Registry: 7"},
        {"protocol with the top bit set compares unsigned", "\"Protocol\"=dword:FFFFFFFF\r\n", 0xFFFFFFFF, 0,
         "Invalid RTC Protocol in Registry: -1"},
        {"names in another letter case", "\"protocol\"=dword:3\r\n\"SLAVEADDR\"=dword:52\r\n", 3, 0x52, ""},
        // The registry copies the stored bytes whatever their type, as long as they fit in 4 bytes.
        {"protocol as one-character text", "\"Protocol\"=\"3\"\r\n", 0x33, 0,
         "Invalid RTC Protocol in Registry: 51"},
        {"protocol as longer text does not fit", "\"Protocol\"=\"3 \"\r\n", 1, 0x68, ""},
        {"protocol as 4 binary bytes", "\"Protocol\"=hex:04,00,00,00\r\n", 4, 0x68, ""},
        {"protocol as 2 binary bytes replaces the low half only", "\"Protocol\"=hex:03,00\r\n", 3, 0x51, ""},
        {"2 bytes over the default 1", "\"Protocol\"=hex:02,01\r\n", 0x0102, 0,
         "Invalid RTC Protocol in Registry: 258"},
        {"protocol as 8 binary bytes does not fit", "\"Protocol\"=hex:03,00,00,00,00,00,00,00\r\n", 1, 0x68,
         ""},
        {"address as one byte over the default", "\"Protocol\"=dword:3\r\n\"SlaveAddr\"=hex:6f\r\n", 3, 0x6F,
         ""},
        {"address as text", "\"SlaveAddr\"=\"A\"\r\n", 1, 0x41, ""},
        {"address as 8 bytes keeps the default",
         "\"Protocol\"=dword:3\r\n\"SlaveAddr\"=hex:1,2,3,4,5,6,7,8\r\n", 3, 0x51, ""},
    };
    for (const ConfigCase& c : cases) {
        TestBoard board(testing_board::frozenDefaults(),
                        sim::defaultRegistryText() + (c.values.empty() ? "" : kKey + c.values));
        DWORD protocol = 0xDEAD, slave = 0xBEEF;
        ReadRtcConfig(&protocol, &slave);
        EXPECT_EQ(protocol, c.protocol) << c.what;
        EXPECT_EQ(slave, c.slaveAddr) << c.what;
        EXPECT_EQ(board.debugLog(), c.log) << c.what;
    }
}

TEST(RtcConfig, MalformedRegistryLeavesTheDefaultsAndIsReported) {
    TestBoard board(testing_board::frozenDefaults(),
                    kKey + "\"Protocol\"=dword:3\r\n\"SlaveAddr\"=dword:0x51\r\n");
    DWORD protocol = 0, slave = 0;
    ReadRtcConfig(&protocol, &slave);
    EXPECT_EQ(protocol, 1u);
    EXPECT_EQ(slave, 0x68u);
    EXPECT_EQ(board.debugLog().rfind(board.path("registry.reg") + ":3: ", 0), 0u) << board.debugLog();
}

}  // namespace
