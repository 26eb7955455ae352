// The layers of the tree as the build holds them apart, and the board's models asking each other
// rather than reading registers through the processor.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "e2e_util.h"
#include "sim/board/mmio.h"
#include "sim/board/pxa_i2c.h"
#include "sim/board/reglog.h"
#include "testboard.h"

namespace board_layers_test {

// A tree of the project's own folders with one file each; the include check is run on it.
struct Tree {
    Tree() {
        char tmpl[] = "/tmp/tamblin-layers-XXXXXX";
        dir = mkdtemp(tmpl);
        for (const char* folder : {"app", "rtc", "i2c", "gpiolib", "platform", "sim/board", "sim/ceapi",
                                   "sim/seams", "sim/vboard", "sim/crt"})
            std::filesystem::create_directories(dir + "/" + folder);
    }
    ~Tree() { std::filesystem::remove_all(dir); }
    void add(const std::string& file, const std::string& text) const {
        std::ofstream(dir + "/" + file) << text;
    }
    // The check's exit code and what it said.
    int check(std::string* said) const {
        int code = 0;
        *said = e2e::runShell(std::string(TAMBLIN_CMAKE) + " -DSOURCE_DIR=" + dir + " -DSTAMP=" + dir +
                                  "/stamp -P " + TAMBLIN_SOURCE_DIR + "/cmake/layer_includes.cmake 2>&1",
                              &code);
        return code;
    }
    std::string dir;
};

TEST(LayerIncludes, RefuseWhatCrossesALayerTheWrongWayAndTakeWhatDoesNot) {
    const struct {
        const char* file;
        const char* include;
        bool refused;
    } cases[] = {
        {"sim/board/product.cpp", "#include \"../../platform/hwaccess.h\"", true},
        {"sim/board/platform.cpp", "#include <windows.h>", true},
        {"sim/board/standin.cpp", "#include \"../ceapi/kernel_objects.h\"", true},
        {"sim/board/model.cpp", "#include \"mmio.h\"", false},
        {"sim/vboard/internal.cpp", "#include \"../ceapi/services.h\"", true},
        {"sim/vboard/front.cpp", "#include \"../ceapi/tools_api.h\"", false},
        {"sim/crt/crt0.cpp", "#include \"../ceapi/kernel_objects.h\"", true},
        {"app/main.cpp", "#include \"../sim/board/board.h\"", true},
        {"sim/seams/hw.cpp", "#include \"../../platform/hwaccess.h\"", false},
    };
    // One tree with every case: the refusal names each file that crosses, and none that does not.
    Tree all, allowed;
    for (const auto& c : cases) {
        all.add(c.file, std::string(c.include) + "\n");
        if (!c.refused) allowed.add(c.file, std::string(c.include) + "\n");
    }
    std::string said;
    EXPECT_NE(all.check(&said), 0) << said;
    for (const auto& c : cases)
        EXPECT_EQ(said.find(std::string(c.file) + ": includes") != std::string::npos, c.refused)
            << c.file << ": " << c.include << "\n"
            << said;
    EXPECT_EQ(allowed.check(&said), 0) << said;
}

// The I2C unit asks the clock model whether its clock runs: a register read of the unit is the
// one access on the bus, with no read of the clock manager's register that nothing made.
TEST(BoardModels, AnI2cUnitsRegisterReadIsTheOnlyRegisterAccess) {
    TestBoard board;
    sim::ensureBoardHardware();
    sim::clearRegisterAccessLog();
    sim::physRead32(sim::kI2cStandardUnit + sim::pxa_i2c::ISR);
    ASSERT_EQ(sim::registerAccessLog().size(), 1u);
    EXPECT_EQ(sim::registerAccessLog().front().phys, sim::kI2cStandardUnit + sim::pxa_i2c::ISR);
}

}  // namespace board_layers_test
