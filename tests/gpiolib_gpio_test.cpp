// GPIO pin control against the simulated GPIO, pin-function and pin-mux registers.
#include <windows.h>

#include "gpiolib_test_util.h"
#include "sim/board/gpio_pins.h"

namespace {

using namespace gpiolib_test;

class GpioPins : public GpioLibTest {};

TEST_F(GpioPins, Id17DrivesBank3ThroughItsSetAndClearRegisters) {
    boardWith(17);
    GPIOSetLevel(117, 1);
    EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{0x40E00118, 1u << 21}}));
    EXPECT_EQ(accesses().size(), 1u);  // a write only, no read
    clearLog();
    GPIOSetLevel(117, 0);
    EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{0x40E00124, 1u << 21}}));
    EXPECT_EQ(accesses().size(), 1u);
}

TEST_F(GpioPins, Id17DirectionIsAReadModifyWriteOfOneBit) {
    boardWith(17);
    preset(0x40E0010C, 0x01FFFFFF);  // pins 96..120 all outputs
    GPIOSetDir(117, 0);
    EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{0x40E0010C, 0x01FFFFFFu & ~(1u << 21)}}));
    EXPECT_EQ(peek(0x40E0010C), 0x01DFFFFFu);
}

TEST_F(GpioPins, Id8DirectionGoesThroughSetAndClearDirection) {
    boardWith(8);
    GPIOSetDir(21, 1);
    GPIOSetDir(21, 0);
    GPIOSetDir(100, 1);  // bank 3 follows bank 2 without a gap
    EXPECT_EQ(asWrites(accesses()),
              (std::vector<Write>{{0x40E00400, 1u << 21}, {0x40E00420, 1u << 21}, {0x40E0040C, 1u << 4}}));
}

TEST_F(GpioPins, Id2DefaultFunctionOfPin32MakesItAGpioInput) {
    boardWith(2);
    preset(0x40E10414, 0xA8C5);  // function 5 plus pad settings
    GPIOSetAltFn(32, -1, 0);
    EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{0x40E10414, 0xA8C0}, {0x40E00424, 1u << 0}}));
}

TEST_F(GpioPins, Id2PinWithoutGpioFunctionOnlyWarns) {
    boardWith(2);
    GPIOSetAltFn(56, -1, 0);
    EXPECT_TRUE(accesses().empty());
    EXPECT_EQ(debugLog(), "WARNING: GPIOLib gpio 56 does not have an GPIOFunction on AltFn-1");
    // An explicit function is written; the direction stays alone (no GPIO function to match).
    // Pin 56: index 206 + 7 = 213 -> 0x40E10124 + 4 * 213.
    GPIOSetAltFn(56, 2, 1);
    EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{0x40E10478, 0x0842}}));
}

TEST_F(GpioPins, Id8And9ApplyDirectionOnlyWithTheGpioFunction) {
    for (uint32_t id : {8u, 9u}) {
        boardWith(id);
        // Pin 46: offset 0x400 + 4 * 19 (+12 on ID 9).
        const uint32_t reg = id == 8 ? 0x40E1044C : 0x40E10458;
        GPIOSetAltFn(46, 1, 1);
        EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{reg, 0x0841}, {0x40E00404, 1u << 14}})) << id;
        clearLog();
        GPIOSetAltFn(46, 0, 1);
        EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{reg, 0x0840}})) << id;
    }
}

TEST_F(GpioPins, Id9ShiftsPin30ThreeRegistersOn) {
    for (auto [id, reg] : {std::pair{8u, 0x40E1040Cu}, std::pair{9u, 0x40E10418u}}) {
        boardWith(id);
        GPIOSetAltFn(30, 4, 0);
        EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{reg, 0x0844}})) << id;
    }
}

TEST_F(GpioPins, Id2Pin130HasItsOwnFunctionRegisterButGpioBit2OfBank0) {
    boardWith(2);
    GPIOSetAltFn(130, 3, 0);
    GPIOSetLevel(130, 1);
    GPIOSetDir(130, 1);
    EXPECT_EQ(asWrites(accesses()),
              (std::vector<Write>{{0x40E1067C, 0x0843}, {0x40E00018, 1u << 2}, {0x40E00400, 1u << 2}}));
    clearLog();
    EXPECT_EQ(GPIOGetLevel(130), 1u);  // an output with its latch high
    ASSERT_EQ(accesses().size(), 1u);
    EXPECT_EQ(accesses()[0].phys, 0x40E00000u);
    GPIOSetLevel(130, 0);
    EXPECT_EQ(GPIOGetLevel(130), 0u);
}

TEST_F(GpioPins, Id17AlternateFunctionFieldThenDirection) {
    boardWith(17);
    preset(0x40E00070, 0x00022005);  // pin 118's field 10, neighbours set
    preset(0x40E0010C, 0);
    GPIOSetAltFn(118, 1, 1);
    EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{0x40E00070, 0x00021005}, {0x40E0010C, 1u << 22}}));
}

TEST_F(GpioPins, A9MaskedWrites) {
    boardWith(kA9);
    GPIOSetLevel(13, 1);
    EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{0x6000D824, 0x2020}}));
    clearLog();
    // Pin 200: bank 6, port 1, bit 0.
    GPIOSetDir(200, 1);
    GPIOSetLevel(200, 0);
    EXPECT_EQ(asWrites(accesses()), (std::vector<Write>{{0x6000DB14, 0x0101}, {0x6000DB24, 0x0100}}));
}

TEST_F(GpioPins, A9GpioFunctionSetsConfigurationDirectionAndDrivesThePad) {
    boardWith(kA9);
    // Pin 48: bank 1, port 2, bit 0; group 3: tristate bit 2 of 0x70000014.
    GPIOSetAltFn(48, 255, 1);
    EXPECT_EQ(asWrites(accesses()),
              (std::vector<Write>{{0x6000D888, 0x0101}, {0x6000D898, 0x0101}, {0x70000014, 0xFFFFFFFBu}}));
    GPIOSetLevel(48, 0);
    EXPECT_EQ(GPIOGetLevel(48), 0u);
    GPIOSetLevel(48, 1);
    EXPECT_EQ(GPIOGetLevel(48), 1u);
}

TEST_F(GpioPins, A9SpecialFunctionSelectsTheGroupFieldAndLeavesDirection) {
    boardWith(kA9);
    preset(0x70000080, 0xFFFFFFFF);
    // Group 3: field bits 23..22 of 0x70000080.
    GPIOSetAltFn(48, 2, 1);
    EXPECT_EQ(
        asWrites(accesses()),
        (std::vector<Write>{{0x70000080, 0xFFBFFFFFu}, {0x6000D888, 0x0100}, {0x70000014, 0xFFFFFFFBu}}));
}

TEST_F(GpioPins, A9PinMuxRefusesFunctionsAbove3) {
    boardWith(kA9);
    EXPECT_EQ(GPIOSetPinMux(48, 4), 0);
    EXPECT_TRUE(accesses().empty());
    EXPECT_EQ(GPIOSetPinMux(48, 3), 1);
}

TEST_F(GpioPins, PinMuxAndTristateBelongToTheCortexA9Only) {
    for (uint32_t id : {2u, 17u}) {
        boardWith(id);
        EXPECT_EQ(GPIOSetPinMux(20, 1), 0);
        EXPECT_EQ(GPIOSetTristate(20, 1), 0);
        EXPECT_TRUE(accesses().empty()) << id;
    }
}

struct PinCase {
    uint32_t id;
    DWORD pinCount;
};

TEST_F(GpioPins, RefusesThePinEqualToThePinCount) {
    for (PinCase c :
         {PinCase{2, 146}, PinCase{8, 135}, PinCase{9, 139}, PinCase{17, 121}, PinCase{kA9, 222}}) {
        boardWith(c.id);
        const DWORD pin = c.pinCount;
        GPIOSetLevel(pin, 1);
        GPIOSetDir(pin, 1);
        EXPECT_EQ(GPIOGetLevel(pin), 0u);
        EXPECT_EQ(GPIOGetDefaultAltFn(pin), -1);
        GPIOSetAltFn(pin, 1, 1);
        GPIOSetAltFn(pin, -1, 1);
        EXPECT_EQ(GPIOSetPinMux(pin, 1), 0);
        EXPECT_EQ(GPIOSetTristate(pin, 1), 0);
        EXPECT_TRUE(accesses().empty()) << std::hex << c.id;
        EXPECT_EQ(debugLog(), "") << std::hex << c.id;
        // The last pin is served.
        GPIOSetLevel(pin - 1, 1);
        EXPECT_EQ(accesses().size(), 1u) << std::hex << c.id;
    }
}

// Every public call initialises the library itself: made as the first call of a fresh process it
// does exactly what it does after GPIOInit, and a pin beyond the processor's last is refused
// without a register access or a table read past its end.
TEST_F(GpioPins, EveryCallWorksAsTheFirstOfAProcessAndRefusesPinsBeyondTheLast) {
    enum Acts { Reads, Writes, WritesOnA9 };
    struct Call {
        const char* name;
        int (*run)(DWORD pin);
        int refused;  // the result for a pin beyond the last
        Acts acts;
    };
    const Call calls[] = {
        {"GPIOSetLevel", [](DWORD p) { return GPIOSetLevel(p, 1), 0; }, 0, Writes},
        {"GPIOSetDir", [](DWORD p) { return GPIOSetDir(p, 1), 0; }, 0, Writes},
        {"GPIOGetLevel", [](DWORD p) { return static_cast<int>(GPIOGetLevel(p)); }, 0, Reads},
        {"GPIOGetDefaultAltFn", [](DWORD p) { return GPIOGetDefaultAltFn(p); }, -1, Reads},
        {"GPIOSetAltFn to the GPIO function", [](DWORD p) { return GPIOSetAltFn(p, -1, 1), 0; }, 0, Writes},
        {"GPIOSetAltFn to function 1", [](DWORD p) { return GPIOSetAltFn(p, 1, 0), 0; }, 0, Writes},
        {"GPIOSetPinMux", [](DWORD p) { return GPIOSetPinMux(p, 2); }, 0, WritesOnA9},
        {"GPIOSetTristate", [](DWORD p) { return GPIOSetTristate(p, 1); }, 0, WritesOnA9},
    };
    struct Part {
        uint32_t id;
        DWORD pin, pinCount;
    };
    // Pin 20 of the Cortex-A9-class part: group 1, tristate bit 25 of 0x70000014, clear here.
    for (Part part :
         {Part{2, 32, 146}, Part{8, 21, 135}, Part{9, 21, 139}, Part{17, 117, 121}, Part{kA9, 20, 222}}) {
        for (const Call& call : calls) {
            SCOPED_TRACE(::testing::Message() << std::hex << part.id << std::dec << ", " << call.name);
            boardWith(part.id);
            if (part.id == kA9) preset(0x70000014, 0);
            GPIOInit();
            clearLog();
            const int after = call.run(part.pin);
            const std::vector<Write> written = asWrites(accesses());

            boardWith(part.id);
            if (part.id == kA9) preset(0x70000014, 0);
            EXPECT_EQ(call.run(part.pin), after);
            EXPECT_EQ(asWrites(accesses()), written);
            EXPECT_TRUE(g_GpioState.initialised);
            if (call.acts == Writes || (call.acts == WritesOnA9 && part.id == kA9))
                EXPECT_FALSE(written.empty()) << "the call acts on this processor";

            for (DWORD beyond : {part.pinCount, part.pinCount + 1000, 0xFFFFFFFFu}) {
                boardWith(part.id);
                EXPECT_EQ(call.run(beyond), call.refused) << beyond;
                EXPECT_TRUE(accesses().empty()) << beyond;
                EXPECT_EQ(debugLog(), "") << beyond;
            }
        }
    }
}

TEST_F(GpioPins, UnsupportedProcessorTouchesNothingAndSaysSoEachTime) {
    const std::string msg = "ERROR: GPIOLib: This processor is not supported (procID: 3)\n\r";
    boardWith(3);
    GPIOSetLevel(0, 1);
    EXPECT_EQ(debugLog(), msg);
    GPIOGetLevel(0);  // GPIOInit's message, then its own
    EXPECT_EQ(debugLog(), msg + msg + msg);
    EXPECT_EQ(GPIOGetDefaultAltFn(0), -1);
    GPIOSetDir(0, 1);
    GPIOSetAltFn(0, -1, 1);
    EXPECT_EQ(debugLog(), msg + msg + msg + msg + msg + msg);
    EXPECT_FALSE(g_GpioState.initialised);
    EXPECT_EQ(sim::reservedWindowCount(), 0u);
}

TEST_F(GpioPins, FunctionNumbersBeyondTheFieldAreRefusedOnPinFunctionProcessors) {
    for (uint32_t id : {2u, 8u, 9u}) {
        boardWith(id);
        for (int fn : {8, 15, -2}) GPIOSetAltFn(id == 2 ? 32 : 21, fn, 1);
        EXPECT_TRUE(accesses().empty()) << id;
    }
}

TEST_F(GpioPins, Id17UsesOnlyTheLowTwoBitsOfTheFunction) {
    boardWith(17);
    GPIOSetAltFn(117, 5, 0);  // field of pin 117: bits 11..10 of 0x40E00070
    EXPECT_EQ(writes().front().phys, 0x40E00070u);
    EXPECT_EQ(writes().front().value, 1u << 10);
}

TEST_F(GpioPins, FailedMappingLeavesEveryOperationHarmless) {
    for (uint32_t id : {2u, 17u, kA9}) {
        boardWith(id, {{"virtualCopy", "fail"}});
        GPIOInit();
        EXPECT_EQ(sim::reservedWindowCount(), 0u);
        GPIOSetLevel(5, 1);
        GPIOSetDir(5, 1);
        GPIOSetAltFn(5, -1, 1);
        GPIOSetAltFn(5, 1, 1);
        EXPECT_EQ(GPIOGetLevel(5), 0u);
        EXPECT_EQ(GPIOSetPinMux(5, 1), 0);
        EXPECT_EQ(GPIOSetTristate(5, 1), 0);
        EXPECT_TRUE(accesses().empty()) << std::hex << id;
    }
}

TEST_F(GpioPins, InitialisesOnceAndMapsItsBlocksOnce) {
    boardWith(2);
    GPIOInit();
    const size_t windows = sim::reservedWindowCount();
    EXPECT_EQ(windows, 2u);
    GPIOInit();
    GPIOSetLevel(1, 1);
    EXPECT_EQ(sim::reservedWindowCount(), windows);
}

// ---- Pins are electrical ----------------------------------------------------------------------

struct BusPins {
    uint32_t id;
    DWORD scl;
};

TEST_F(GpioPins, BusPinsPullTheI2cLinesOnlyAsLowGpioOutputs) {
    for (BusPins b : {BusPins{2, 32}, BusPins{8, 21}, BusPins{9, 21}, BusPins{17, 117}}) {
        boardWith(b.id);
        const DWORD sda = b.scl + 1;
        GPIOSetAltFn(b.scl, -1, 0);
        GPIOSetAltFn(sda, -1, 0);
        EXPECT_EQ(GPIOGetLevel(b.scl), 1u);
        EXPECT_EQ(GPIOGetLevel(sda), 1u);

        // A chip holding SDA shows on the pin.
        const int chip = sim::i2cbus::addDriver("a chip");
        sim::i2cbus::pull(sim::BusLine::SDA, chip, true);
        EXPECT_EQ(GPIOGetLevel(sda), 0u);
        sim::i2cbus::pull(sim::BusLine::SDA, chip, false);

        // Latch low, then direction alone pulls and releases the line.
        GPIOSetLevel(b.scl, 0);
        EXPECT_TRUE(sim::i2cbus::high(sim::BusLine::SCL));
        GPIOSetDir(b.scl, 1);
        EXPECT_FALSE(sim::i2cbus::high(sim::BusLine::SCL)) << b.id;
        EXPECT_EQ(GPIOGetLevel(b.scl), 0u);
        GPIOSetDir(b.scl, 0);
        EXPECT_TRUE(sim::i2cbus::high(sim::BusLine::SCL));
        // A high latch on an output does not hold a line another driver pulls low.
        GPIOSetLevel(sda, 1);
        GPIOSetDir(sda, 1);
        sim::i2cbus::pull(sim::BusLine::SDA, chip, true);
        EXPECT_EQ(GPIOGetLevel(sda), 0u);
        sim::i2cbus::pull(sim::BusLine::SDA, chip, false);

        // Handed to the I2C controller, the pins no longer drive the lines.
        EXPECT_FALSE(sim::i2cPinsRoutedToController());
        GPIOSetLevel(b.scl, 0);
        GPIOSetDir(b.scl, 1);
        GPIOSetAltFn(b.scl, 1, 1);
        EXPECT_FALSE(sim::i2cPinsRoutedToController());
        GPIOSetAltFn(sda, 1, 1);
        EXPECT_TRUE(sim::i2cPinsRoutedToController()) << b.id;
        EXPECT_TRUE(sim::i2cbus::high(sim::BusLine::SCL)) << b.id;
        GPIOSetAltFn(b.scl, -1, 1);  // back to GPIO, still an output with its latch low
        EXPECT_FALSE(sim::i2cbus::high(sim::BusLine::SCL)) << b.id;
    }
}

TEST_F(GpioPins, OtherInputsReadThePullUpUnlessTheBoardHoldsThemLow) {
    boardWith(17, {{"gpioInputsLow", {9}}});
    EXPECT_EQ(GPIOGetLevel(8), 1u);
    EXPECT_EQ(GPIOGetLevel(9), 0u);
    sim::setGpioPadLevel(8, false);
    EXPECT_EQ(GPIOGetLevel(8), 0u);
    GPIOSetLevel(9, 1);
    GPIOSetDir(9, 1);  // an output reads what it drives
    EXPECT_EQ(GPIOGetLevel(9), 1u);

    boardWith(kA9, {{"gpioInputsLow", {100}}});
    EXPECT_EQ(GPIOGetLevel(99), 1u);
    EXPECT_EQ(GPIOGetLevel(100), 0u);
}

}  // namespace
