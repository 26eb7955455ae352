// vboard and the image's start-up: .reg files merged into the board's registry as the image
// builder merges them, and the zone set as the Control Panel sets it.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace {

bool contains(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

std::string write(const e2e::Board& board, const std::string& name, const std::string& text) {
    const std::string path = board.dir + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

TEST(RegistryImport, LaysTheFilesOverTheRegistryInOrderTheLaterWinning) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    const std::string a =
        write(board, "a.reg",
              "[HKEY_LOCAL_MACHINE\\init]\r\n\"Launch20\"=\"device.exe\"\r\n"
              "\"Launch25\"=\"Old.exe\"\r\nIF BSP_NOA !\r\n\"Launch30\"=\"gwes.exe\"\r\nENDIF\r\n");
    const std::string b =
        write(board, "b.reg", "[HKEY_LOCAL_MACHINE\\init]\r\n\"Launch25\"=\"Tamblin.exe\"\r\n");
    std::string out;
    ASSERT_EQ(board.runVboard({"registry", "import", a, b}, &out), 0) << board.file(".stderr");
    EXPECT_EQ(out, a + ": 3 values in 1 key\n" + b + ": 1 value in 1 key\n");
    const std::string reg = board.file("registry.reg");
    EXPECT_TRUE(contains(reg, "\"Launch25\"=\"Tamblin.exe\"")) << reg;
    EXPECT_FALSE(contains(reg, "Old.exe")) << reg;
    EXPECT_TRUE(contains(reg, "\"Launch30\"=\"gwes.exe\"")) << reg;
    EXPECT_TRUE(contains(reg, "\"Protocol\"=dword:00000001")) << "what was there stays\n" << reg;
}

TEST(RegistryImport, AFileThatCannotBeReadChangesNothing) {
    struct Case {
        const char* what;
        std::string text;  // "" : no such file
        std::string says;
    };
    const Case cases[] = {
        {"no such file", "", "registry import: cannot read "},
        {"a malformed file", "[HKEY_LOCAL_MACHINE\\init]\r\n\"Launch25\"=dword:zz\r\n", "registry import: "},
        {"an IF without its ENDIF", "IF BSP_X !\r\n[HKEY_LOCAL_MACHINE\\A]\r\n", "1: IF without its ENDIF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
        const std::string good = write(board, "good.reg", "[HKEY_LOCAL_MACHINE\\B]\r\n\"V\"=dword:1\r\n");
        const std::string bad = c.text.empty() ? board.dir + "/missing.reg" : write(board, "bad.reg", c.text);
        const std::string before = board.file("registry.reg");
        EXPECT_EQ(board.runVboard({"registry", "import", good, bad}), 1);
        EXPECT_TRUE(contains(board.file(".stderr"), c.says)) << board.file(".stderr");
        EXPECT_EQ(board.file("registry.reg"), before);
    }
}

// As the Control Panel: the local time stays, and the daylight flag is what the boot would decide
// for the new zone, so that the next boot restores the same local time.
TEST(ZoneSetCommand, KeepsTheLocalTimeAndDecidesTheDaylightFlagAsTheBootWould) {
    struct Case {
        const char* zone;
        int64_t utc;  // the system time before
        bool autoDst;
        bool daylight;
    };
    const int64_t july = e2e::fileTimeOf(2026, 7, 1, 12, 0, 0);
    const int64_t january = e2e::fileTimeOf(2026, 1, 15, 12, 0, 0);
    const Case cases[] = {
        {"us-eastern", july, true, true}, {"us-eastern", january, true, false},
        {"sydney", july, true, false},    {"sydney", january, true, true},
        {"utc", july, true, false},       {"us-eastern", july, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + (c.utc == july ? " in July" : " in January") +
                     (c.autoDst ? "" : ", AutoDST off"));
        const std::string autoDstOff =
            "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Clock]\r\n\"AutoDST\"=dword:00000000\r\n";
        e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1) + (c.autoDst ? "" : autoDstOff));
        board.setSystemClock(c.utc, board.state().systemClock.atHost);
        const int64_t local = board.state().systemClock.local;
        std::string out;
        ASSERT_EQ(board.runVboard({"zone", "set", c.zone}, &out), 0) << board.file(".stderr");
        EXPECT_EQ(board.state().systemClock.local, local);
        EXPECT_EQ(board.state().daylight, c.daylight);
        EXPECT_TRUE(contains(out, "Local time kept: ")) << out;
        // Written through: a power-down keeps it.
        EXPECT_FALSE(board.state().timeZoneNotFlushed);
        EXPECT_EQ(sim::loadBoardConfig(board.dir + "/board.json").timeZone.name, c.zone);
    }
}

TEST(ZoneSetCommand, OnABoardThatIsOffChangesTheRecordForTheNextBootAlone) {
    e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
    ASSERT_EQ(board.runVboard({"power", "down"}), 0);
    const std::string state = board.file("state.json");
    std::string out;
    ASSERT_EQ(board.runVboard({"zone", "set", "us-eastern"}, &out), 0) << board.file(".stderr");
    EXPECT_TRUE(contains(out, "The board is off: board.json's zone record changed")) << out;
    EXPECT_EQ(board.file("state.json"), state);
    EXPECT_EQ(sim::loadBoardConfig(board.dir + "/board.json").timeZone.bias, 300);
}

TEST(ZoneSetCommand, WaitsForTheStoreItStartsAndFailsWhenTheStoreFails) {
    for (const bool chip : {true, false}) {
        SCOPED_TRACE(chip ? "a chip" : "no chip");
        e2e::Board board(e2e::frozenConfig(1), e2e::registryFor(1));
        ASSERT_EQ(board.runTamblin(), 1);  // registered
        if (!chip) ASSERT_EQ(board.runVboard({"chip", "remove"}), 0);
        std::string out;
        EXPECT_EQ(board.runVboard({"zone", "set", "us-eastern"}, &out), chip ? 0 : 1) << out;
        EXPECT_TRUE(contains(out, "Notification service started \\WINDOWS\\TAMBLIN.EXE AppRunAfterTzChange"))
            << out;
        if (chip)
            EXPECT_TRUE(contains(out, "exited with 1: RTC Time set (")) << out;
        else
            EXPECT_TRUE(
                contains(board.file(".stderr"),
                         "zone set: the zone is set, but the program started for the change failed: "))
                << board.file(".stderr");
        // The zone is set either way.
        EXPECT_EQ(sim::loadBoardConfig(board.dir + "/board.json").timeZone.bias, 300);
    }
}

}  // namespace
