// The kernel-call bridge: the choice between direct and bridged calls, the module probes, the
// request blocks, and interrupts attached through the bridge.
#include <pkfuncs.h>

#include <set>

#include "gpiolib/gpiolib.h"
#include "platform/hwaccess.h"
#include "platform_test_util.h"
#include "sim/board/simtime.h"
#include "sim/ceapi/kernel_objects.h"

namespace {

using namespace platform_test;

constexpr DWORD kIrq = 18;

struct KernelSeen {
    DWORD cpsr = 0;
    sim::ProcessContext context = sim::ProcessContext::User;
    DWORD a = 0, b = 0;
};
KernelSeen gSeen;

DWORD RecordKernelState(DWORD a, DWORD b) {
    gSeen.cpsr = HwReadCpsr();
    gSeen.context = sim::currentContext();
    gSeen.a = a;
    gSeen.b = b;
    return a * 1000 + b;
}

DWORD ReadMainIdPacked(DWORD, DWORD) {
    return HwReadMainId();
}

// The I2C unit's page, which the OAL's handler binds for the program.
constexpr DWORD kI2cUnit = 0x40301680u;

// Everything this layer does for the I2C driver: map, attach, re-arm, detach, release, and the
// processor identification's main ID read.
void RunDriverSequence(HANDLE event) {
    volatile DWORD* regs = MapRegisters(kI2cUnit);
    UnmapRegisters(regs);
    DWORD sysIntr = RequestSysIntr(kIrq);
    BridgeInterruptInitialize(sysIntr, event, NULL, 0);
    BridgeInterruptDone(sysIntr);
    BridgeInterruptDisable(sysIntr);
    ReleaseSysIntr(sysIntr);
    GetProcessorID();
}

// The HAL's bridge as the OAL handler comes (restricted, with routines of its own), and as first
// built (it runs the program's routines).
struct HandlerCase {
    const char* name;
    bool restricted;
};
const HandlerCase kHandlers[] = {{"restricted handler", true}, {"plain handler", false}};

TEST_F(PlatformTest, IsPrivilegedFollowsTheProcessorMode) {
    boot(false);
    EXPECT_FALSE(IsPrivileged());
    DWORD block[2] = {BRIDGE_CALL, routine(IsPrivileged)};
    EXPECT_TRUE(KernelCall(block, sizeof block));  // bridged routines run in kernel mode
    EXPECT_FALSE(IsPrivileged());
    boot(true);
    EXPECT_TRUE(IsPrivileged());
}

TEST_F(PlatformTest, PrivilegedProcessNeverSendsTheBridgeNorProbes) {
    boot(true);
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
    RunDriverSequence(event);
    EXPECT_TRUE(bridgeRequests().empty());
    EXPECT_FALSE(g_BridgeState.mappingProbed);
    EXPECT_FALSE(g_BridgeState.interruptProbed);
    for (DWORD word : BridgeEntryTable) EXPECT_EQ(word, 0u);
    std::vector<std::string> services;
    for (const sim::KernelServiceCall& c : sim::kernelServiceCalls()) {
        EXPECT_TRUE(c.kernelMode) << c.service;
        EXPECT_FALSE(c.bridged) << c.service;
        services.push_back(c.service);
    }
    EXPECT_EQ(services, std::vector<std::string>(
                            {"VirtualCopy", "InterruptInitialize", "InterruptDone", "InterruptDisable"}));
}

struct ProbeCase {
    const char* name;
    sim::json faults;
};

TEST_F(PlatformTest, EachModuleProbesOnceWhateverTheProbeBringsBack) {
    const ProbeCase cases[] = {
        {"working HAL", sim::json::object()},
        {"empty table", {{"bridgeProbe", "zero"}}},
        {"probe refused", {{"bridgeProbe", "fail"}}},
        {"no bridge", {{"kernelBridge", "absent"}}},
    };
    for (const ProbeCase& c : cases) {
        for (bool mappingFirst : {true, false}) {
            boot(false, c.faults);
            HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
            if (mappingFirst) {
                UnmapRegisters(MapRegisters(kRamBase));
                EXPECT_EQ(probes(), 1u) << c.name;
                EXPECT_TRUE(g_BridgeState.mappingProbed) << c.name;
                EXPECT_FALSE(g_BridgeState.interruptProbed) << c.name;
            } else {
                BridgeInterruptDone(16);
                EXPECT_EQ(probes(), 1u) << c.name;
                EXPECT_TRUE(g_BridgeState.interruptProbed) << c.name;
                EXPECT_FALSE(g_BridgeState.mappingProbed) << c.name;
            }
            for (int round = 0; round < 3; ++round) RunDriverSequence(event);
            EXPECT_EQ(probes(), 2u) << c.name << (mappingFirst ? ", mapping first" : ", interrupt first");
        }
    }
}

TEST_F(PlatformTest, ProbeFillsTheInterruptEntryWords) {
    boot(false);
    EXPECT_TRUE(KernelBridgeProbe());
    for (int i = 0; i < BRIDGE_ENTRY_COUNT; ++i) {
        const bool used = i == BRIDGE_ENTRY_INTERRUPT_DISABLE || i == BRIDGE_ENTRY_INTERRUPT_DONE ||
                          i == BRIDGE_ENTRY_INTERRUPT_INIT;
        if (used) {
            EXPECT_NE(BridgeEntryTable[i], 0u) << i;
        }
    }
    std::vector<sim::HalRequest> sent = bridgeRequests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].inSize, 4u);
    EXPECT_EQ(sent[0].outSize, 200u);
    EXPECT_TRUE(sent[0].bytesReturnedGiven);
}

// Leaves the stack below the caller's frame full of non-zero bytes, where the locals of the
// caller's next call will lie.
__attribute__((noinline)) void DirtyTheStack() {
    volatile unsigned char junk[4096];
    for (size_t i = 0; i < sizeof junk; ++i) junk[i] = 0xA5;
}

// A HAL that refuses the probe, or has no bridge at all, reports no byte count: the probe has
// brought nothing back, whatever the memory of its count held before, and the table stays empty.
TEST_F(PlatformTest, ProbeThatFailsWithoutAByteCountBringsNothingBack) {
    const ProbeCase cases[] = {
        {"probe refused", {{"bridgeProbe", "fail"}}},
        {"no bridge", {{"kernelBridge", "absent"}}},
    };
    for (const ProbeCase& c : cases) {
        SCOPED_TRACE(c.name);
        boot(false, c.faults);
        DirtyTheStack();
        EXPECT_FALSE(KernelBridgeProbe());
        for (DWORD word : BridgeEntryTable) EXPECT_EQ(word, 0u);
        // Nothing to call through: the interrupt operations send nothing and report failure.
        HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
        EXPECT_FALSE(BridgeInterruptInitialize(16, event, NULL, 0));
        for (const sim::HalRequest& r : bridgeRequests()) EXPECT_NE(r.inSize, 24u) << "no attach sent";
        const size_t sent = bridgeRequests().size();
        BridgeInterruptDone(16);
        BridgeInterruptDisable(16);
        EXPECT_EQ(bridgeRequests().size(), sent);
    }
    // An empty table is still a table that came back.
    boot(false, {{"bridgeProbe", "zero"}});
    DirtyTheStack();
    EXPECT_TRUE(KernelBridgeProbe());
}

TEST_F(PlatformTest, NullRoutineIsNeverSent) {
    boot(false);
    DWORD block[6] = {BRIDGE_CALL, 0, 1, 2, 3, 4};
    for (DWORD size : {8u, 12u, 24u}) EXPECT_EQ(KernelCall(block, size), 0u) << size;
    EXPECT_EQ(KernelCallWithArg(0, 5), 0u);
    EXPECT_TRUE(sim::halRequests().empty());
}

TEST_F(PlatformTest, KernelCallFailureYieldsZero) {
    boot(false, {{"kernelBridge", "absent"}});
    DWORD block[2] = {BRIDGE_CALL, routine(IsPrivileged)};
    EXPECT_EQ(KernelCall(block, sizeof block), 0u);
    EXPECT_EQ(bridgeRequests().size(), 1u);
}

TEST_F(PlatformTest, PackedRoutineRunsInKernelModeInTheKernelsProcess) {
    boot(false);
    gSeen = KernelSeen{};
    BridgePackedCall call = {routine(RecordKernelState), 12, 34};
    EXPECT_EQ(KernelCallWithArg(routine(CallPackedRoutine), addr(&call)), 12034u);
    EXPECT_EQ(gSeen.cpsr & 0x1Fu, 0x13u);  // SVC
    EXPECT_EQ(gSeen.context, sim::ProcessContext::Kernel);
    EXPECT_EQ(sim::currentContext(), sim::ProcessContext::User);
    EXPECT_EQ(HwReadCpsr() & 0x1Fu, 0x10u);
    // The main ID register, read the way processor identification does in user mode.
    BridgePackedCall mainId = {routine(ReadMainIdPacked), 0, 0};
    EXPECT_EQ(KernelCallWithArg(routine(CallPackedRoutine), addr(&mainId)),
              sim::Board::current().config().mainId);
    std::vector<sim::HalRequest> sent = bridgeRequests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].inSize, 12u);
    EXPECT_EQ(sent[1].words, std::vector<uint32_t>({BRIDGE_CALL, routine(CallPackedRoutine), addr(&mainId)}));
    EXPECT_EQ(sent[1].outSize, 4u);
    EXPECT_FALSE(sent[1].bytesReturnedGiven);
}

TEST_F(PlatformTest, CurrentProcessHandleNamesTheProcessTheCodeRunsIn) {
    boot(false);
    const DWORD own = GetCurrentProcessHandle();
    DWORD block[2] = {BRIDGE_CALL, routine(GetCurrentProcessHandle)};
    const DWORD kernel = KernelCall(block, sizeof block);
    EXPECT_EQ(own, addr(sim::processHandle(sim::ProcessContext::User)));
    EXPECT_EQ(kernel, addr(sim::processHandle(sim::ProcessContext::Kernel)));
    EXPECT_NE(own, kernel);
}

TEST_F(PlatformTest, BlocksSentHaveExactlyTheContractSizes) {
    for (const HandlerCase& h : kHandlers) {
        SCOPED_TRACE(h.name);
        boot(false, sim::json::object(), h.restricted);
        HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
        RunDriverSequence(event);
        std::set<std::pair<uint32_t, DWORD>> seen;  // (command, size)
        for (const sim::HalRequest& r : bridgeRequests()) {
            ASSERT_FALSE(r.words.empty());
            EXPECT_TRUE(r.result) << r.words[0] << ", " << r.inSize << " bytes";
            seen.insert({r.words[0], r.inSize});
        }
        const std::set<std::pair<uint32_t, DWORD>> expected = {{BRIDGE_PROBE, 4},
                                                               {BRIDGE_CALL, 8},
                                                               {BRIDGE_CALL, 12},
                                                               {BRIDGE_VIRTUAL_COPY, 20},
                                                               {BRIDGE_CALL, 24}};
        EXPECT_EQ(seen, expected);
        EXPECT_EQ(g_BridgeState.failure, 0u);
    }
    for (const sim::HalRequest& r : requests(IOCTL_HAL_REQUEST_SYSINTR)) {
        EXPECT_EQ(r.inSize, 4u);
        EXPECT_EQ(r.words, std::vector<uint32_t>({kIrq}));
        EXPECT_EQ(r.outSize, 4u);
        EXPECT_FALSE(r.bytesReturnedGiven);
    }
    for (const sim::HalRequest& r : requests(IOCTL_HAL_RELEASE_SYSINTR)) {
        EXPECT_EQ(r.inSize, 4u);
        EXPECT_EQ(r.outSize, 0u);
        EXPECT_FALSE(r.bytesReturnedGiven);
    }
    EXPECT_EQ(requests(IOCTL_HAL_REQUEST_SYSINTR).size(), 1u);
    EXPECT_EQ(requests(IOCTL_HAL_RELEASE_SYSINTR).size(), 1u);
}

// Attached through the bridge: with the HAL's own routine, the program's event in one call; with a
// plain bridge, the event duplicated into the bridge's process, attached, and the duplicate closed
// there. Either way the kernel's process keeps no handle of ours and the interrupt reaches our event.
TEST_F(PlatformTest, BridgedAttachLeavesNoDuplicateBehind) {
    for (const HandlerCase& h : kHandlers) {
        SCOPED_TRACE(h.name);
        boot(false, sim::json::object(), h.restricted);
        HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
        const DWORD sysIntr = RequestSysIntr(kIrq);
        ASSERT_NE(sysIntr, 0u);
        EXPECT_TRUE(BridgeInterruptInitialize(sysIntr, event, NULL, 0));
        std::vector<sim::HalRequest> calls;
        for (const sim::HalRequest& r : bridgeRequests())
            if (r.words[0] == BRIDGE_CALL) calls.push_back(r);
        if (h.restricted) {
            ASSERT_EQ(calls.size(), 1u);
            EXPECT_EQ(BridgeEntryTable[BRIDGE_ENTRY_SIGNATURE], BRIDGE_SIGNATURE);
            EXPECT_EQ(calls[0].words,
                      std::vector<uint32_t>({BRIDGE_CALL, BridgeEntryTable[BRIDGE_ENTRY_INTERRUPT_ATTACH],
                                             sysIntr, addr(event), 0, 0}));
        } else {
            ASSERT_EQ(calls.size(), 3u);
            EXPECT_EQ(calls[0].words, std::vector<uint32_t>({BRIDGE_CALL, routine(GetCurrentProcessHandle)}));
            const uint32_t duplicate = calls[1].words.at(3);
            EXPECT_EQ(calls[1].words,
                      std::vector<uint32_t>({BRIDGE_CALL, BridgeEntryTable[BRIDGE_ENTRY_INTERRUPT_INIT],
                                             sysIntr, duplicate, 0, 0}));
            EXPECT_NE(duplicate, addr(event));
            EXPECT_EQ(calls[2].words, std::vector<uint32_t>({BRIDGE_CALL, routine(CloseHandle), duplicate}));
        }
        // Handles are numbered from 0x104 up, four apart.
        for (uint32_t handle = 0x104; handle < 0x200; handle += 4)
            EXPECT_EQ(sim::lookupHandleIn(sim::ProcessContext::Kernel, reinterpret_cast<HANDLE>(handle)),
                      nullptr)
                << handle;
        ASSERT_TRUE(sim::sysIntrInfo(sysIntr));
        EXPECT_TRUE(sim::sysIntrInfo(sysIntr)->attached);
        sim::setIrqLine(kIrq, true);
        EXPECT_EQ(WaitForSingleObject(event, 1), WAIT_OBJECT_0);
    }
}

// The HAL's own attach duplicates the event itself: a handle the program does not have, or a
// duplicate the kernel refuses, attaches nothing.
TEST_F(PlatformTest, HandlersOwnAttachOfAHandleItCannotDuplicateAttachesNothing) {
    for (bool duplicateFails : {false, true}) {
        boot(false, duplicateFails ? sim::json{{"duplicateHandle", "fail"}} : sim::json::object(), true);
        HANDLE event =
            duplicateFails ? CreateEventW(NULL, FALSE, FALSE, NULL) : reinterpret_cast<HANDLE>(0x7FFC);
        const DWORD sysIntr = RequestSysIntr(kIrq);
        EXPECT_FALSE(BridgeInterruptInitialize(sysIntr, event, NULL, 0)) << duplicateFails;
        EXPECT_FALSE(sim::sysIntrInfo(sysIntr)->attached) << duplicateFails;
    }
}

TEST_F(PlatformTest, AllZeroEntryTableMakesInterruptOperationsFailOrDoNothing) {
    boot(false, {{"bridgeProbe", "zero"}});
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
    const DWORD sysIntr = RequestSysIntr(kIrq);
    EXPECT_FALSE(BridgeInterruptInitialize(sysIntr, event, NULL, 0));
    BridgeInterruptDone(sysIntr);
    BridgeInterruptDisable(sysIntr);
    std::vector<DWORD> callSizes;
    for (const sim::HalRequest& r : bridgeRequests())
        if (r.words[0] == BRIDGE_CALL) callSizes.push_back(r.inSize);
    // Only the process-handle read and the closing of the duplicate are sent.
    EXPECT_EQ(callSizes, std::vector<DWORD>({8u, 12u}));
    EXPECT_FALSE(sim::sysIntrInfo(sysIntr)->attached);
    EXPECT_TRUE(sim::kernelServiceCalls().empty());
}

TEST_F(PlatformTest, FailedDuplicateMeansNoBridgedAttachAndZero) {
    boot(false, {{"duplicateHandle", "fail"}});
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
    const DWORD sysIntr = RequestSysIntr(kIrq);
    EXPECT_FALSE(BridgeInterruptInitialize(sysIntr, event, NULL, 0));
    for (const sim::HalRequest& r : bridgeRequests()) {
        EXPECT_NE(r.inSize, 24u);
        EXPECT_NE(r.inSize, 12u);
    }
    EXPECT_FALSE(sim::sysIntrInfo(sysIntr)->attached);
}

TEST_F(PlatformTest, AttachFailsWithoutBridge) {
    boot(false, {{"kernelBridge", "absent"}});
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
    const DWORD sysIntr = RequestSysIntr(kIrq);
    ASSERT_NE(sysIntr, 0u);
    EXPECT_FALSE(BridgeInterruptInitialize(sysIntr, event, NULL, 0));
    EXPECT_FALSE(sim::sysIntrInfo(sysIntr)->attached);
}

TEST_F(PlatformTest, SysIntrsAreHandedOutAndTakenBack) {
    boot(false);
    const DWORD a = RequestSysIntr(kIrq);
    const DWORD b = RequestSysIntr(7);
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(sim::sysIntrInfo(a)->irq, kIrq);
    EXPECT_EQ(sim::sysIntrInfo(b)->irq, 7u);
    EXPECT_TRUE(ReleaseSysIntr(a));
    EXPECT_FALSE(sim::sysIntrInfo(a));
    EXPECT_FALSE(ReleaseSysIntr(a));
    EXPECT_EQ(RequestSysIntr(sim::kIrqLineCount), 0u);  // no such IRQ
    boot(false, {{"requestSysIntr", "refuse"}});
    EXPECT_EQ(RequestSysIntr(kIrq), 0u);
}

class InterruptTest : public PlatformTest, public ::testing::WithParamInterface<bool> {};

// Long enough for the interrupt to reach the waiting thread (tens of microseconds).
constexpr DWORD kDispatchMs = 1;

TEST_P(InterruptTest, AssertedIrqSignalsAndOnlyInterruptDoneRearms) {
    boot(GetParam());
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
    const DWORD sysIntr = RequestSysIntr(kIrq);
    ASSERT_NE(sysIntr, 0u);
    ASSERT_TRUE(BridgeInterruptInitialize(sysIntr, event, NULL, 0));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

    sim::setIrqLine(kIrq, true);
    EXPECT_EQ(WaitForSingleObject(event, kDispatchMs), WAIT_OBJECT_0);
    // Masked from the signal on: the line going away and coming back is not seen.
    sim::setIrqLine(kIrq, false);
    sim::setIrqLine(kIrq, true);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(event, 5), WAIT_TIMEOUT);

    // Level-triggered: still asserted when re-armed, so it fires again at once.
    BridgeInterruptDone(sysIntr);
    EXPECT_EQ(WaitForSingleObject(event, kDispatchMs), WAIT_OBJECT_0);

    sim::setIrqLine(kIrq, false);
    BridgeInterruptDone(sysIntr);
    EXPECT_EQ(WaitForSingleObject(event, kDispatchMs), WAIT_TIMEOUT);
    sim::setIrqLine(7, true);  // another line
    EXPECT_EQ(WaitForSingleObject(event, kDispatchMs), WAIT_TIMEOUT);
    sim::setIrqLine(kIrq, true);
    EXPECT_EQ(WaitForSingleObject(event, kDispatchMs), WAIT_OBJECT_0);
    EXPECT_EQ(sim::sysIntrInfo(sysIntr)->signals, 3u);

    // Detached: nothing more.
    sim::setIrqLine(kIrq, false);
    BridgeInterruptDisable(sysIntr);
    sim::setIrqLine(kIrq, true);
    BridgeInterruptDone(sysIntr);
    EXPECT_EQ(WaitForSingleObject(event, kDispatchMs), WAIT_TIMEOUT);
    EXPECT_FALSE(sim::sysIntrInfo(sysIntr)->attached);
    EXPECT_TRUE(ReleaseSysIntr(sysIntr));
}

TEST_P(InterruptTest, DeviceEventAssertingTheLineEndsAWait) {
    boot(GetParam());
    HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
    const DWORD sysIntr = RequestSysIntr(kIrq);
    ASSERT_TRUE(BridgeInterruptInitialize(sysIntr, event, NULL, 0));
    const uint64_t start = sim::nowNs();
    sim::scheduleAt(start + 2'000'000, [] { sim::setIrqLine(kIrq, true); });
    EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_OBJECT_0);
    EXPECT_LT(sim::nowNs() - start, 10'000'000u);
}

TEST_P(InterruptTest, TheWaitingThreadHearsOfAnInterruptAfterTheKernelsLatency) {
    // As the board sets it, and by default the order of an XScale part running this OS.
    const struct {
        const char* what;
        sim::json timing;
        uint64_t ns;
    } cases[] = {{"defaults", sim::json::object(), 12000 + 8000},
                 {"board.json", {{"interruptLatencyNs", 30000}, {"threadWakeNs", 45000}}, 75000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::BoardConfig config = testing_board::frozenDefaults();
        config.privileged = GetParam();
        if (!c.timing.empty()) {
            const sim::BoardConfig read =
                sim::parseBoardConfig(sim::json{{"timing", c.timing}}, "board.json");
            config.timing = read.timing;
        }
        bootWith(config);
        HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
        const DWORD sysIntr = RequestSysIntr(kIrq);
        ASSERT_TRUE(BridgeInterruptInitialize(sysIntr, event, NULL, 0));
        const uint64_t raised = sim::nowNs();
        sim::setIrqLine(kIrq, true);
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "not yet at the thread";
        ASSERT_EQ(WaitForSingleObject(event, kDispatchMs), WAIT_OBJECT_0);
        EXPECT_GE(sim::nowNs() - raised, c.ns);
        EXPECT_LT(sim::nowNs() - raised, c.ns + 5000);
        sim::setIrqLine(kIrq, false);
    }
}

INSTANTIATE_TEST_SUITE_P(UserAndPrivileged, InterruptTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Privileged" : "User";
                         });

}  // namespace
