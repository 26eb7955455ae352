// Every byte of every protocol's preparation, read and write, each with every injected controller
// fault: the bus call that carries the byte ends with the result and last error that the bus
// driver's rules give for that byte's role, the lock is released afterwards, nothing hangs or
// crashes, and a write that failed before any data byte left the chip's registers as they were.
// Every routine ends with the bus free and the controller clean, and a fault in the first attempt
// of a read is survived by the second.
#include "driver_test_util.h"
#include "rtc/rtc.h"
#include "sim/board/rtc_chip.h"

namespace {

struct BusCall {
    bool write;
    int result;
    DWORD lastError;
    DWORD errorBefore;
    unsigned firstByte, lastByte;  // bytes started by this call, counted as the faults count them
};
std::vector<BusCall> gCalls;

unsigned bytesStarted() {
    unsigned n = 0;
    for (const sim::RegisterAccess& a : sim::registerAccessLog())
        if (a.write && a.phys == I2C_UNIT_STANDARD + I2C_CONTROL && (a.value & CTL_TRANSFER)) ++n;
    return n;
}

}  // namespace

// The linker sends the product's calls of the two transfers here (--wrap on their symbols).
extern "C" {
int __real_I2CWriteRegs(DWORD slave, const BYTE* data, int reg, DWORD length);
int __real_I2CReadRegs(DWORD slave, BYTE* buffer, int reg, DWORD length);

int __wrap_I2CWriteRegs(DWORD slave, const BYTE* data, int reg, DWORD length) {
    BusCall c{true, 0, 0, GetLastError(), bytesStarted() + 1, 0};
    c.result = __real_I2CWriteRegs(slave, data, reg, length);
    c.lastError = GetLastError();
    c.lastByte = bytesStarted();
    gCalls.push_back(c);
    SetLastError(c.lastError);
    return c.result;
}

int __wrap_I2CReadRegs(DWORD slave, BYTE* buffer, int reg, DWORD length) {
    BusCall c{false, 0, 0, GetLastError(), bytesStarted() + 1, 0};
    c.result = __real_I2CReadRegs(slave, buffer, reg, length);
    c.lastError = GetLastError();
    c.lastByte = bytesStarted();
    gCalls.push_back(c);
    SetLastError(c.lastError);
    return c.result;
}
}

namespace {

enum class Role { Address, Sent, Received };

// Roles of the bytes of a run, from its transactions: after a read address every byte is the
// chip's.
std::vector<Role> rolesOf(const std::vector<std::string>& transactions) {
    std::vector<Role> roles;
    for (const std::string& t : transactions) {
        std::istringstream in(t);
        std::string tok, prev;
        bool reading = false;
        while (in >> tok) {
            if (tok == "S" || tok == "Sr" || tok == "P" || tok == "A" || tok == "N") {
                prev = tok;
                continue;
            }
            if (prev == "S" || prev == "Sr") {
                roles.push_back(Role::Address);
                reading = std::stoul(tok, nullptr, 16) & 1;
            } else {
                roles.push_back(reading ? Role::Received : Role::Sent);
            }
            prev = tok;
        }
    }
    return roles;
}

struct Expected {
    bool fails;
    DWORD lastError;  // kPrevious: the last error as the byte before left it
};
constexpr DWORD kPrevious = 0xFFFFFFFFu;

// The bus driver's outcome for the call that carries the faulted byte, for a byte the master sends
// (an address or data) and for a byte the chip sends. Only a byte the chip was sent can go
// unacknowledged by it, and the injected bus error strikes only a byte being received. An address
// byte that lost arbitration goes out again once the bus is free and completes, but the
// arbitration loss is reported with it.
struct Outcome {
    const char* fault;
    Expected sent, received;
};
const Outcome kOutcomes[] = {
    {"nak", {true, ERROR_INVALID_ADDRESS}, {false, ERROR_SUCCESS}},
    {"arbitrationLoss", {true, ERROR_IO_DEVICE}, {true, ERROR_IO_DEVICE}},
    {"busError", {false, ERROR_SUCCESS}, {true, ERROR_IO_DEVICE}},
    {"stop", {true, ERROR_IO_DEVICE}, {true, ERROR_IO_DEVICE}},
    {"slaveAddress", {true, ERROR_IO_DEVICE}, {true, ERROR_IO_DEVICE}},
    {"generalCall", {true, ERROR_IO_DEVICE}, {true, ERROR_IO_DEVICE}},
    {"noInterrupt", {true, ERROR_TIMEOUT}, {true, ERROR_TIMEOUT}},
    // No status bit at all: nothing says what happened.
    {"interruptWithoutStatus", {true, kPrevious}, {true, kPrevious}},
    // This call completes; the next one finds the unit busy.
    {"stayBusy", {false, ERROR_SUCCESS}, {false, ERROR_SUCCESS}},
};

// One protocol's restore or store runs a test: the runs are many, and each test stays short.
class FaultMatrix : public i2c_test::DriverTest, public ::testing::WithParamInterface<std::tuple<int, bool>> {
  protected:
    // One routine run on a fresh board; false when the lock could not be had.
    int runRoutine(int protocol, bool store, const sim::json& faults, std::vector<int>* regsBefore) {
        boardWith(i2c_test::boardFor(17, protocol, faults));
        if (!I2CInitStandard() || !I2CLock(INFINITE)) return -1;
        const uint8_t address = protocol == 3 ? 0x51 : 0x68;
        if (regsBefore) *regsBefore = chipRegs(address);
        sim::clearRegisterAccessLog();
        std::remove(board_->path("trace.log").c_str());
        gCalls.clear();
        const RtcProtocolEntry& p = g_rtcProtocols[protocol];
        const BYTE slave = static_cast<BYTE>(p.defaultSlaveAddr);
        SYSTEMTIME t = {2011, 11, 2, 29, 14, 59, 55, 0};
        int r;
        if (store) {
            r = p.write(&t, slave);
        } else {
            r = p.prepare ? p.prepare(slave) : 1;
            if (r) r = p.read(&t, slave);
        }
        time_ = t;
        linesHigh_ = sim::i2cbus::high(sim::BusLine::SCL) && sim::i2cbus::high(sim::BusLine::SDA);
        events_ = sim::physRead32(I2C_UNIT_STANDARD + I2C_STATUS) & STS_EVENTS;
        masked_ = sim::sysIntrInfo(g_i2c.sysIntr)->masked;
        unlocked_ = I2CUnlock();
        return r;
    }
    // The last event on the wire: a stop, or an arbitration lost to another master (whose stop is
    // not this controller's to make); levels, notes and the program's name are none.
    std::string lastBusEvent() const {
        const std::vector<sim::TraceRecord> records = sim::decodeTrace(trace());
        for (auto it = records.rbegin(); it != records.rend(); ++it)
            if (it->kind != "L" && it->kind != "H" && it->kind != "F" && it->kind != "R") return it->kind;
        return "";
    }
    // The time the chip holds, as the board decodes it.
    sim::ChipTime chipTime(int protocol) const {
        const std::vector<int> held = chipRegs(protocol == 3 ? 0x51 : 0x68);
        return sim::chipModel(protocol).timeOf(std::vector<uint8_t>(held.begin(), held.end()));
    }
    int unlocked_ = 0;
    SYSTEMTIME time_ = {};
    bool linesHigh_ = false;
    uint32_t events_ = 0;
    bool masked_ = true;
};

TEST_P(FaultMatrix, EveryByteOfTheRoutineWithEveryFault) {
    const int protocol = std::get<0>(GetParam());
    const bool store = std::get<1>(GetParam());
    // The clean run: its calls, and the role of every byte it moves.
    ASSERT_EQ(runRoutine(protocol, store, sim::json::object(), nullptr), 1);
    const std::vector<BusCall> clean = gCalls;
    const std::vector<Role> roles = rolesOf(transactions());
    ASSERT_EQ(roles.size(), clean.back().lastByte);
    for (unsigned byte = 1; byte <= roles.size(); ++byte) {
        size_t callIndex = 0;
        while (clean[callIndex].lastByte < byte) ++callIndex;
        for (const Outcome& outcome : kOutcomes) {
            const std::string fault = outcome.fault;
            SCOPED_TRACE("protocol " + std::to_string(protocol) + (store ? " store" : " restore") +
                         ", byte " + std::to_string(byte) + ", " + fault);
            std::vector<int> before;
            const int r =
                runRoutine(protocol, store, {{"i2c", {{{"byte", byte}, {"fault", fault}}}}}, &before);
            ASSERT_GE(r, 0);
            EXPECT_NE(unlocked_, 0) << "the lock is released";
            ASSERT_GT(gCalls.size(), callIndex);
            const BusCall& c = gCalls[callIndex];
            const Expected e = roles[byte - 1] == Role::Received ? outcome.received : outcome.sent;
            EXPECT_EQ(c.result == 0, e.fails);
            if (e.fails && e.lastError == kPrevious) {
                // No status bit: the previous byte's wait left its result (0), or the
                // call's first byte: as before the call.
                EXPECT_EQ(c.lastError, byte == c.firstByte ? c.errorBefore : 0u);
            } else {
                EXPECT_EQ(c.lastError, e.lastError);
            }
            if (fault == "stayBusy" && gCalls.size() > callIndex + 1) {
                EXPECT_EQ(gCalls[callIndex + 1].result, 0);
                EXPECT_EQ(gCalls[callIndex + 1].lastError, DWORD{ERROR_BUSY});
            }
            // A write that failed before any data byte moved changed nothing in the chip.
            const bool beforeData = byte - clean[callIndex].firstByte < 2;
            if (callIndex == 0 && clean[0].write && e.fails && beforeData && r == 0) {
                EXPECT_EQ(chipRegs(protocol == 3 ? 0x51 : 0x68), before);
            }
            EXPECT_TRUE(linesHigh_) << "the bus is free";
            const std::string last = lastBusEvent();  // empty: nothing reached the wire
            EXPECT_TRUE(last == "P" || last == "ARB" || last.empty()) << last;
            EXPECT_EQ(events_, 0u) << "no event bit left";
            EXPECT_FALSE(masked_) << "the interrupt is acknowledged";
            // Every read of a restore is the first attempt of a read tried twice. A unit
            // busy for good is no transient fault: it lets the read that carries it
            // finish and refuses whatever follows.
            if (!store && !clean[callIndex].write) {
                const bool followed = callIndex + 1 < clean.size();
                if (fault == "stayBusy" && followed) {
                    EXPECT_EQ(r, 0);
                } else {
                    EXPECT_EQ(r, 1) << "the second attempt reads the chip";
                    const sim::ChipTime held = chipTime(protocol);
                    EXPECT_EQ(time_.wYear % 100, held.year2);
                    EXPECT_EQ(time_.wMonth, held.month);
                    EXPECT_EQ(time_.wDay, held.day);
                    EXPECT_EQ(time_.wHour, held.hour);
                    EXPECT_EQ(time_.wMinute, held.minute);
                    EXPECT_EQ(time_.wSecond, held.second);
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ProtocolsAndPaths, FaultMatrix,
                         ::testing::Combine(::testing::Values(1, 2, 3, 4), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<int, bool>>& info) {
                             return "Protocol" + std::to_string(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) ? "Store" : "Restore");
                         });

}  // namespace
