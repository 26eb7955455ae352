// The program on the virtual board with its own bus driver: for every supported processor, chip
// protocol and process mode, a boot restores the clock from the chip and a time change stores the
// time in it, and the bus trace shows exactly the transactions the chip routines call for.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "driver_test_util.h"

extern char** environ;

namespace {

struct ProgramBoard {
    explicit ProgramBoard(sim::BoardConfig config, int protocol) {
        char tmpl[] = "/tmp/tamblin-i2c-XXXXXX";
        dir = mkdtemp(tmpl);
        config.apps[config.programPath] = std::string(TAMBLIN_BIN_DIR) + "/tamblin";
        char buf[160];
        std::snprintf(buf, sizeof buf,
                      "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorlack\\Tamblin]\r\n\"Protocol\"=dword:%08x\r\n",
                      protocol);
        sim::createBoard(dir, config, sim::defaultRegistryText() + buf);
    }
    ~ProgramBoard() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    int run(std::vector<std::string> argv) const {
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        std::vector<std::string> envs;
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("TAMBLIN_BOARD=", 0) != 0) envs.push_back(*e);
        envs.push_back("TAMBLIN_BOARD=" + dir);
        std::vector<char*> env;
        for (std::string& e : envs) env.push_back(e.data());
        env.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, (dir + "/.stdout").c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
        posix_spawn_file_actions_addopen(&fa, 2, (dir + "/.stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
        pid_t pid;
        const int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), env.data());
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) return -1;
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int tamblin(const std::vector<std::string>& args = {}) const {
        std::vector<std::string> argv{std::string(TAMBLIN_BIN_DIR) + "/tamblin"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv);
    }
    int vboard(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{std::string(TAMBLIN_BIN_DIR) + "/vboard", "--board", dir};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv);
    }
    std::string file(const char* name) const {
        std::ifstream in(dir + "/" + name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::vector<std::string> takeTransactions() const {
        std::vector<std::string> t = sim::traceTransactions(sim::parseTrace(file("trace.log")));
        std::remove((dir + "/trace.log").c_str());
        return t;
    }
    // Sets the chip's registers from 0x00 as a power-on would have left them.
    void setChipRegs(uint8_t address, const std::vector<int>& regs) const {
        sim::updateBoardState(dir, [&](sim::BoardState& s) {
            for (size_t i = 0; i < regs.size(); ++i)
                s.chips.at(address).regs[i] = static_cast<uint8_t>(regs[i]);
        });
    }
    std::string dir;
};

// Whether the trace leaves the bus free: its last bus event is a stop, and both lines end high.
::testing::AssertionResult busLeftFree(const std::string& traceText) {
    const std::vector<sim::TraceRecord> records = sim::parseTrace(traceText);
    const std::vector<sim::TraceRecord> decoded = sim::decodeTrace(records);
    for (auto it = decoded.rbegin(); it != decoded.rend(); ++it) {
        if (it->kind == "L" || it->kind == "F") continue;
        if (it->kind != "P") return ::testing::AssertionFailure() << "last bus event: " << it->kind;
        break;
    }
    std::ostringstream vcd;
    sim::writeVcd(records, vcd);
    std::istringstream in(vcd.str());
    std::string line, scl = "1", sda = "1";
    while (std::getline(in, line)) {
        if (line == "0!" || line == "1!") scl = line.substr(0, 1);
        if (line == "0\"" || line == "1\"") sda = line.substr(0, 1);
    }
    if (scl != "1" || sda != "1") return ::testing::AssertionFailure() << "SCL " << scl << ", SDA " << sda;
    return ::testing::AssertionSuccess();
}

// One chip call as the chip routines make it: a register write or read of `length` bytes.
struct Call {
    bool read;
    int reg;
    int length;
};

// The bus transactions of one call: S, write address, register byte, then the data with a stop
// (write), or a repeated start, the read address and the chip's bytes, the last one not
// acknowledged, and the stop (read).
std::regex shapeOf(const Call& c, int address) {
    char head[64];
    std::snprintf(head, sizeof head, "S %02X A %02X A ", address << 1, c.reg);
    std::string re = head;
    if (c.read) {
        char rd[32];
        std::snprintf(rd, sizeof rd, "Sr %02X A ", (address << 1) | 1);
        re += rd;
        for (int i = 0; i < c.length - 1; ++i) re += "[0-9A-F]{2} A ";
        re += "[0-9A-F]{2} N P";
    } else {
        for (int i = 0; i < c.length; ++i) re += "[0-9A-F]{2} A ";
        re += "P";
    }
    return std::regex(re);
}

struct ProtocolCalls {
    int protocol;
    int address;
    std::vector<Call> restore;
    std::vector<Call> store;
};

// From the chip protocols' register maps.
const ProtocolCalls kCalls[] = {
    {1, 0x68, {{true, 0x00, 8}}, {{false, 0x00, 8}}},
    {2, 0x68, {{true, 0x00, 17}}, {{false, 0x00, 7}, {true, 0x0E, 2}, {false, 0x0E, 2}}},
    // Protocol 3 reads its clock-stop bit (register 0x00) with the time.
    {3, 0x51, {{true, 0x00, 9}}, {{false, 0x00, 1}, {false, 0x02, 7}, {false, 0x00, 1}}},
    {4, 0x68, {{true, 0x0C, 1}, {false, 0x0C, 1}, {true, 0x00, 13}}, {{false, 0x00, 8}}},
};

void expectCalls(const std::vector<std::string>& got, const std::vector<Call>& calls, int address) {
    ASSERT_EQ(got.size(), calls.size());
    for (size_t i = 0; i < calls.size(); ++i)
        EXPECT_TRUE(std::regex_match(got[i], shapeOf(calls[i], address)))
            << "transaction " << i << ": " << got[i];
}

// One CTest entry per processor, so that the suite's slowest case runs four ways in parallel.
class ProgramOnEachProcessor : public ::testing::TestWithParam<uint32_t> {};

TEST_P(ProgramOnEachProcessor, EveryProtocolAndModeRestoresAndStoresWithOneTransactionPerCall) {
    const uint32_t processor = GetParam();
    for (const ProtocolCalls& p : kCalls) {
        for (bool privileged : {false, true}) {
            SCOPED_TRACE("processor " + std::to_string(processor) + " protocol " +
                         std::to_string(p.protocol) + (privileged ? " privileged" : " user"));
            ProgramBoard board(i2c_test::boardFor(processor, p.protocol, sim::json::object(), privileged),
                               p.protocol);
            ASSERT_EQ(board.vboard({"set-time", "2005-01-01 00:00:00"}), 0);
            ASSERT_EQ(board.vboard({"chip", "time", "2011-11-29 14:59:55"}), 0);
            std::remove((board.dir + "/trace.log").c_str());
            EXPECT_EQ(board.tamblin(), 1);
            EXPECT_EQ(board.file("debug.log"), "RTC Time restored (29.11.2011 14:59:55)\r\n");
            expectCalls(board.takeTransactions(), p.restore, p.address);

            // The time change starts the registered program with the store path.
            ASSERT_EQ(board.vboard({"set-time", "2012-02-29 23:59:58"}), 0);
            EXPECT_NE(board.file("debug.log").find("RTC Time set (29.02.2012 23:59:58)\r\n"),
                      std::string::npos)
                << board.file("debug.log");
            expectCalls(board.takeTransactions(), p.store, p.address);
            EXPECT_EQ(board.file(".stderr").find("virtual board:"), std::string::npos) << "no board fault";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ProgramOnTheBus, ProgramOnEachProcessor, ::testing::Values(2u, 8u, 9u, 17u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return "Processor" + std::to_string(info.param);
                         });

TEST(ProgramOnTheBus, ProcessorsWithoutTheStandardUnitEndWithTheMessageAndExitZero) {
    for (uint32_t processor : {0x0411FC09u, 3u}) {
        SCOPED_TRACE(processor);
        ProgramBoard board(i2c_test::boardFor(processor, 1), 1);
        EXPECT_EQ(board.tamblin(), 0);
        // GPIOLib may report the processor first; the bus driver's message and the program's
        // line end the run.
        const std::string log = board.file("debug.log");
        const std::string last = "ERROR: I2C Unknown Processor ID\n\rTamblin: I2C bus not available\r\n";
        ASSERT_GE(log.size(), last.size()) << log;
        EXPECT_EQ(log.substr(log.size() - last.size()), last) << log;
        EXPECT_TRUE(board.takeTransactions().empty());
    }
}

TEST(ProgramOnTheBus, ControllerThatCannotBeMappedEndsTheRunCleanlyWithExitZero) {
    for (const char* fault : {"virtualAlloc", "virtualCopy"}) {
        SCOPED_TRACE(fault);
        ProgramBoard board(i2c_test::boardFor(17, 1, {{fault, "fail"}}), 1);
        EXPECT_EQ(board.tamblin(), 0);
        EXPECT_EQ(board.file(".stderr").find("virtual board:"), std::string::npos) << "nothing dereferenced";
        EXPECT_TRUE(board.takeTransactions().empty());
    }
}

TEST(ProgramOnTheBus, BoardWithAStuckBusRecoversAtBoot) {
    ProgramBoard board(i2c_test::boardFor(17, 1, {{"i2cStuckSda", 9}}), 1);
    ASSERT_EQ(board.vboard({"chip", "time", "2011-11-29 14:59:55"}), 0);
    EXPECT_EQ(board.tamblin(), 1);
    EXPECT_EQ(board.file("debug.log"), "RTC Time restored (29.11.2011 14:59:55)\r\n");
    expectCalls(board.takeTransactions(), kCalls[0].restore, 0x68);
}

TEST(ProgramOnTheBus, SlaveThatNeverLetsGoMeansNoChipFoundNotAHang) {
    ProgramBoard board(i2c_test::boardFor(17, 1, {{"i2cStuckSda", "forever"}}), 1);
    EXPECT_EQ(board.tamblin(), 1);
    EXPECT_EQ(board.file("debug.log"),
              "Tamblin: RTC read failed: last error 1460, SDA held low\r\n"
              "No external RTC found\r\n");
}

// Protocol 1's restore reads its eight registers from 0x00: write address (byte 1), register byte
// (2), read address (3) and eight bytes (4..11). A single fault on a byte of each role fails at
// most the first attempt (or, for "stayBusy", makes the unit busy only after the read's last
// transfer): the second attempt starts on a free bus and the clock is restored. (Every byte of
// every protocol's routines is tried in process by the fault matrix.)
class TransientFaultOnByte : public ::testing::TestWithParam<unsigned> {};

TEST_P(TransientFaultOnByte, IsSurvivedByTheSecondReadAndTheBusEndsFree) {
    const char* faults[] = {"nak",         "arbitrationLoss", "busError",
                            "stop",        "slaveAddress",    "generalCall",
                            "noInterrupt", "stayBusy",        "interruptWithoutStatus"};
    const std::vector<int> workedExample = {0x55, 0x59, 0x14, 0x03, 0x29, 0x11, 0x11, 0x00};
    const unsigned byte = GetParam();
    for (const char* fault : faults) {
        SCOPED_TRACE(fault);
        ProgramBoard board(i2c_test::boardFor(17, 1, {{"i2c", {{{"byte", byte}, {"fault", fault}}}}}), 1);
        board.setChipRegs(0x68, workedExample);
        EXPECT_EQ(board.tamblin(), 1);
        EXPECT_EQ(board.file("debug.log"), "RTC Time restored (29.11.2011 14:59:55)\r\n");
        EXPECT_TRUE(busLeftFree(board.file("trace.log")));
    }
}

INSTANTIATE_TEST_SUITE_P(ProgramOnTheBus, TransientFaultOnByte, ::testing::Values(1u, 2u, 3u, 4u, 11u),
                         [](const ::testing::TestParamInfo<unsigned>& info) {
                             return "Byte" + std::to_string(info.param);
                         });

// Runs that fail for good still end every transaction they opened.
TEST(ProgramOnTheBus, RunsThatFailLeaveTheBusFree) {
    struct Case {
        const char* name;
        int chipProtocol;  // 0: no chip
        sim::json faults;
        std::vector<std::string> args;
        const char* log;
        std::vector<std::string> transactions;
    };
    const Case cases[] = {
        {"no chip, boot",
         0,
         sim::json::object(),
         {},
         "Tamblin: RTC read failed: last error 487, no line held low\r\nNo external RTC "
         "found\r\n",
         {"S D0 N P", "S D0 N P"}},
        {"no chip, time change",
         0,
         sim::json::object(),
         {"AppRunAfterTimeChange"},
         "Error while setting RTC time\r\n",
         {"S D0 N P"}},
        {"first data byte of the store refused",
         1,
         {{"i2c", {{{"byte", 3}, {"fault", "nak"}}}}},
         {"AppRunAfterTimeChange"},
         "Error while setting RTC time\r\n",
         {"S D0 A 00 A 00 N P"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::BoardConfig config = i2c_test::boardFor(17, 1, c.faults);
        if (c.chipProtocol == 0) config.chips.clear();
        ProgramBoard board(config, 1);
        ASSERT_EQ(board.vboard({"set-time", "2050-01-01 00:00:00"}), 0);
        std::remove((board.dir + "/trace.log").c_str());
        std::remove((board.dir + "/debug.log").c_str());
        EXPECT_EQ(board.tamblin(c.args), 1);
        EXPECT_EQ(board.file("debug.log"), c.log);
        EXPECT_EQ(sim::traceTransactions(sim::parseTrace(board.file("trace.log"))), c.transactions);
        EXPECT_TRUE(busLeftFree(board.file("trace.log")));
    }
}

}  // namespace

namespace {

TEST(ProgramOnTheBus, BytesThatTimeOutEndTheRunCleanly) {
    // A chip that holds the clock for 20 ms after every byte: each byte outlasts the driver's
    // 10 ms wait. The run reports no chip and ends normally, with nothing of the board's own
    // failing on the way out (its pending device events used to outlive the event list).
    ProgramBoard board(i2c_test::boardFor(17, 1, {{"i2cClockStretchNs", 20'000'000}}), 1);
    EXPECT_EQ(board.tamblin(), 1);
    EXPECT_EQ(board.file("debug.log"),
              "Tamblin: RTC read failed: last error 1460, no line held low\r\n"
              "No external RTC found\r\n");
    EXPECT_EQ(board.file(".stderr").find("virtual board:"), std::string::npos) << board.file(".stderr");
    EXPECT_EQ(board.file(".stderr").find("AddressSanitizer"), std::string::npos) << board.file(".stderr");
}

TEST(ProgramOnTheBus, EitherReadingOfTheReadWriteModeBitMeetsTheDriversBusyCheck) {
    // The manuals have RWM cleared by the stop that ends a read; QEMU's model keeps it until the
    // next write address. The driver's busy check looks at that bit before every transfer, so
    // with QEMU's reading every transfer after a read is refused (the write-back of protocol 2's
    // control registers follows its read).
    for (bool qemuReading : {false, true}) {
        SCOPED_TRACE(qemuReading ? "kept until the next write address" : "cleared by the stop");
        sim::BoardConfig config = i2c_test::boardFor(17, 2);
        if (qemuReading) config.rwmClears = sim::RwmClears::AtNextWriteAddress;
        ProgramBoard board(config, 2);
        ASSERT_EQ(board.vboard({"set-time", "2012-02-29 23:59:58"}), 0);
        EXPECT_EQ(board.tamblin({"AppRunAfterTimeChange"}), 1);
        EXPECT_EQ(board.file("debug.log"), qemuReading ? "Error while setting RTC time\r\n"
                                                       : "RTC Time set (29.02.2012 23:59:58)\r\n");
    }
}

}  // namespace
