// GPIOLib's tables checked by what they make the library do: every pin's register, each pin
// group's controls and the groups without one, and the telling rows of the Cortex-A9-class board.
#include <windows.h>

#include <bit>
#include <map>
#include <set>

#include "gpiolib_test_util.h"

namespace {

using namespace gpiolib_test;

struct RegisterRun {
    DWORD firstPin, lastPin, first;  // first index (ID 2) or byte offset (IDs 8, 9)
};

// ID 2: runs of consecutive pin-function registers, as word indices from 0x40E10124.
const RegisterRun kId2Runs[] = {{0, 4, 0},      {5, 9, 90},      {10, 10, 205},  {11, 26, 95},
                                {27, 48, 183},  {49, 62, 206},   {63, 73, 228},  {74, 98, 243},
                                {99, 133, 311}, {134, 141, 220}, {142, 145, 239}};
// IDs 8, 9: runs of byte offsets within the page 0x40E10000.
const RegisterRun kId89Runs[] = {{0, 2, 0xB4},     {3, 26, 0x27C},    {27, 98, 0x400},
                                 {99, 129, 0x600}, {130, 134, 0x2DC}, {135, 138, 0x52C}};

uint32_t pinFunctionRegister(uint32_t id, DWORD pin) {
    if (id == 2) {
        for (const RegisterRun& r : kId2Runs)
            if (pin >= r.firstPin && pin <= r.lastPin) return 0x40E10124u + 4u * (r.first + pin - r.firstPin);
    } else {
        const uint32_t shift = (id == 9 && pin >= 30 && pin <= 98) ? 12 : 0;
        for (const RegisterRun& r : kId89Runs)
            if (pin >= r.firstPin && pin <= r.lastPin)
                return 0x40E10000u + r.first + 4u * (pin - r.firstPin) + shift;
    }
    ADD_FAILURE() << "pin " << pin << " is in no run";
    return 0;
}

class GpioTables : public GpioLibTest {};

// Every pin's function goes to its own register on the simulated part, and only there.
TEST_F(GpioTables, EveryPinFunctionWriteLandsOnThePinsRegister) {
    // The runs, against the registers the hardware lists for some of their ends.
    struct Listed {
        uint32_t id;
        DWORD pin;
        uint32_t phys;
    };
    const Listed listed[] = {
        {2, 10, 0x40E10458},  {2, 98, 0x40E10550},  {2, 133, 0x40E10688},
        {2, 145, 0x40E104EC}, {8, 0, 0x40E100B4},   {8, 26, 0x40E102D8},
        {8, 98, 0x40E1051C},  {8, 134, 0x40E102EC}, {9, 138, 0x40E10538},
    };
    for (const Listed& l : listed)
        EXPECT_EQ(pinFunctionRegister(l.id, l.pin), l.phys) << l.id << " pin " << l.pin;
    for (auto [id, pins] : {std::pair{2u, 146u}, std::pair{8u, 135u}, std::pair{9u, 139u}}) {
        boardWith(id);
        for (DWORD pin = 0; pin < pins; ++pin) {
            clearLog();
            GPIOSetAltFn(pin, 7, 0);  // 7 is no pin's GPIO function: the direction stays alone
            const auto w = asWrites(accesses());
            ASSERT_EQ(w.size(), 1u) << id << " pin " << pin;
            EXPECT_EQ(w[0].phys, pinFunctionRegister(id, pin)) << id << " pin " << pin;
            EXPECT_EQ(w[0].value & 7u, 7u);
        }
    }
}

TEST_F(GpioTables, GpioFunctionOfEachPin) {
    struct Case {
        uint32_t id;
        DWORD pins;
    };
    for (Case c : {Case{17, 121}, Case{2, 146}, Case{8, 135}, Case{9, 139}, Case{kA9, 222}}) {
        boardWith(c.id);
        for (DWORD p = 0; p < c.pins; ++p) {
            int expected = 0;
            if (c.id == kA9) expected = 255;
            if (c.id == 2 && (p == 56 || (p >= 59 && p <= 62))) expected = -1;
            if (c.id == 8 || c.id == 9) {
                if (p == 46) expected = 1;
                if (p == 49 || p == 51 || p == 52) expected = 3;
                if (p == 50) expected = 2;
            }
            EXPECT_EQ(GPIOGetDefaultAltFn(p), expected) << std::hex << c.id << std::dec << " pin " << p;
        }
    }
}

// The pins whose GPIO function is not the processor's usual one end at pin 62 on ID 2 and at pin 52
// on IDs 8 and 9; ID 17 and the Cortex-A9-class part have none. The pin just beyond the last
// exception is an ordinary GPIO again, taken as one by GPIOSetAltFn too, and looking up a pin
// that is no exception reads the whole exception table and nothing past it (sanitizer stage).
TEST_F(GpioTables, PinJustBeyondTheLastExceptionIsAnOrdinaryGpio) {
    struct Case {
        uint32_t id;
        DWORD pin;
        int function;
    };
    const Case cases[] = {
        {2, 62, -1}, {2, 63, 0}, {8, 52, 3},   {8, 53, 0},    {9, 52, 3},
        {9, 53, 0},  {17, 0, 0}, {17, 120, 0}, {kA9, 0, 255}, {kA9, 221, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.id << std::dec << " pin " << c.pin);
        boardWith(c.id);
        EXPECT_EQ(GPIOGetDefaultAltFn(c.pin), c.function);
        if (c.id != 2 && c.id != 8 && c.id != 9) continue;
        clearLog();
        GPIOSetAltFn(c.pin, -1, 1);
        if (c.function < 0) {
            EXPECT_TRUE(accesses().empty());
            continue;
        }
        // The function goes to the pin's register, and the direction is applied: it is the
        // pin's GPIO function.
        const std::vector<Write> w = asWrites(accesses());
        ASSERT_EQ(w.size(), 2u);
        EXPECT_EQ(w[0].phys, pinFunctionRegister(c.id, c.pin));
        EXPECT_EQ(w[0].value & 7u, static_cast<uint32_t>(c.function));
        EXPECT_EQ(w[1].phys, 0x40E00400u + 4u * (c.pin >> 5)) << "set direction";
        EXPECT_EQ(w[1].value, 1u << (c.pin & 31));
    }
}

// The carrier board's pad groups: going up the pins, and leaving out the pins of the telling rows
// (which sit in groups of their own choosing), the pins fill the groups in ascending order from
// group 2, three pins to a group up to group 25 and two from group 26 on, passing over the groups
// of the telling rows and the groups without a pin.
TEST_F(GpioTables, A9PinGroupsFollowTheCarrierBoardsLayoutPinByPin) {
    const std::map<DWORD, int> telling = {{0, 12}, {1, 17},   {20, 1},  {21, 1},
                                          {48, 3}, {100, 99}, {192, 7}, {221, 12}};
    std::set<int> passedOver = {19, 24, 97, 104, 105, 106};
    for (const auto& [pin, group] : telling) passedOver.insert(group);
    int group = 2, inGroup = 0;
    for (DWORD p = 0; p < A9_PIN_COUNT; ++p) {
        auto row = telling.find(p);
        if (row != telling.end()) {
            EXPECT_EQ(g_A9PinGroup[p], row->second) << "pin " << p;
            continue;
        }
        while (passedOver.count(group)) ++group;
        EXPECT_EQ(g_A9PinGroup[p], group) << "pin " << p;
        if (++inGroup == (group <= 25 ? 3 : 2)) {
            ++group;
            inGroup = 0;
        }
    }
    EXPECT_EQ(group, 111) << "the last group filled is 110";
}

// Each pin group's controls on the simulated pin-mux block: a function field of its own (two bits
// at an even place of the registers from 0x70000080) and a tristate bit of its own (the registers
// from 0x70000014). Group 0 has neither, groups 104..106 and 111..114 no tristate bit: asked for
// one, they refuse and touch nothing. No pin sits in such a group.
TEST_F(GpioTables, A9EachGroupHasControlsOfItsOwnAndGroupsWithoutOneRefuseIt) {
    const std::set<DWORD> noTristate = {0, 104, 105, 106, 111, 112, 113, 114};
    std::set<std::pair<uint32_t, int>> muxFields, tristateBits;
    boardWith(kA9);
    GPIOInit();
    for (DWORD g = 0; g < A9_GROUP_COUNT; ++g) {
        SCOPED_TRACE(::testing::Message() << "group " << g);
        for (uint32_t r = 0; r < 8; ++r) preset(0x70000080 + 4 * r, 0);
        for (uint32_t r = 0; r < 4; ++r) preset(0x70000014 + 4 * r, 0);
        const int mux = A9SetGroupPinMux(g, 3);
        std::vector<Write> w = asWrites(accesses());
        if (g == 0) {
            EXPECT_EQ(mux, 0);
            EXPECT_TRUE(accesses().empty());
        } else {
            EXPECT_EQ(mux, 1);
            ASSERT_EQ(w.size(), 1u);
            EXPECT_TRUE(w[0].phys >= 0x70000080 && w[0].phys <= 0x7000009C) << std::hex << w[0].phys;
            const int shift = std::countr_zero(w[0].value);
            EXPECT_EQ(w[0].value, 3u << shift);
            EXPECT_EQ(shift % 2, 0);
            EXPECT_TRUE(muxFields.insert({w[0].phys, shift}).second) << "a field of another group";
        }
        clearLog();
        const int tristate = A9SetGroupTristate(g, 1);
        w = asWrites(accesses());
        if (noTristate.count(g)) {
            EXPECT_EQ(tristate, 0);
            EXPECT_TRUE(accesses().empty());
        } else {
            EXPECT_EQ(tristate, 1);
            ASSERT_EQ(w.size(), 1u);
            EXPECT_TRUE(w[0].phys >= 0x70000014 && w[0].phys <= 0x70000020) << std::hex << w[0].phys;
            EXPECT_EQ(std::popcount(w[0].value), 1);
            EXPECT_TRUE(tristateBits.insert({w[0].phys, std::countr_zero(w[0].value)}).second)
                << "a bit of another group";
        }
    }
    for (DWORD p = 0; p < A9_PIN_COUNT; ++p) {
        EXPECT_EQ(GPIOSetPinMux(p, 1), 1) << "pin " << p;
        EXPECT_EQ(GPIOSetTristate(p, 1), 1) << "pin " << p;
    }
}

// The telling rows, on the simulated pin-mux block: function field and tristate bit of each pin.
TEST_F(GpioTables, A9TellingRows) {
    struct Row {
        DWORD pin;
        int group;
        uint32_t muxReg;
        unsigned shift;
        uint32_t triReg;
        unsigned bit;
    };
    const Row rows[] = {
        {0, 12, 0x70000084, 30, 0x70000014, 15}, {1, 17, 0x70000084, 18, 0x70000018, 23},
        {20, 1, 0x70000080, 14, 0x70000014, 25}, {21, 1, 0x70000080, 14, 0x70000014, 25},
        {48, 3, 0x70000080, 22, 0x70000014, 2},  {100, 99, 0x70000098, 8, 0x7000001C, 22},
        {192, 7, 0x70000080, 8, 0x70000020, 13}, {221, 12, 0x70000084, 30, 0x70000014, 15},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(g_A9PinGroup[r.pin], r.group) << "pin " << r.pin;
        boardWith(kA9);
        preset(r.muxReg, 0x55555555);  // every field 01
        EXPECT_EQ(GPIOSetPinMux(r.pin, 2), 1);
        EXPECT_EQ(asWrites(accesses()),
                  (std::vector<Write>{{r.muxReg, (0x55555555u & ~(3u << r.shift)) | (2u << r.shift)}}))
            << "pin " << r.pin;
        clearLog();
        EXPECT_EQ(GPIOSetTristate(r.pin, 0), 1);
        EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{r.triReg, ~(1u << r.bit)}})) << "pin " << r.pin;
        clearLog();
        EXPECT_EQ(GPIOSetTristate(r.pin, 0), 1);  // already clear: read only
        EXPECT_TRUE(writes().empty());
        EXPECT_EQ(GPIOSetTristate(r.pin, 1), 1);
        EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{r.triReg, 0xFFFFFFFFu}})) << "pin " << r.pin;
    }
}

}  // namespace
