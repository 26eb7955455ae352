// The OAL's kernel-call bridge handler (device/oal/kernel_bridge.c), which serves every request on
// the board: the program's own requests pass; what a hostile process, or a forged request of the
// program's, tries is refused with its reason, changes nothing, and says so in one line. And the
// program's boot says when the bridge is missing or refuses it.
#include <pkfuncs.h>
#include <sys/mman.h>
#include <unistd.h>

#include "e2e_util.h"
#include "platform_test_util.h"
#include "sim/ceapi/kernel_objects.h"

namespace {

using namespace platform_test;

int gOutsiderCalls = 0;
DWORD Outsider(DWORD a, DWORD b) {
    ++gOutsiderCalls;
    return a + b + 1;
}
// The program's trampoline runs whatever its record names.
BridgePackedCall gPackedOutsider = {0, 1, 2};

// Placeholders in a request's words, replaced when it is sent.
constexpr DWORD kWindow = 0xF0000001u;    // a window the process has reserved
constexpr DWORD kSysIntr = 0xF0000002u;   // a SYSINTR of the I2C unit's IRQ
constexpr DWORD kEvent = 0xF0000003u;     // an event of the process's
constexpr DWORD kOutsider = 0xF0000004u;  // Outsider
constexpr DWORD kPacked = 0xF0000005u;    // the program's trampoline
constexpr DWORD kRecord = 0xF0000006u;    // a record naming Outsider
constexpr DWORD kEntry = 0xF0000100u;     // + n: word n of the entry table

constexpr DWORD kProtection = 0x604u;  // PAGE_PHYSICAL | PAGE_NOCACHE | PAGE_READWRITE
constexpr DWORD pageOf(uint32_t physical) {
    return physical >> 8;
}

// Where a request's buffers lie.
enum class Place {
    Normal,
    BlockCrossesIntoUnreadable,   // the block's last word lies in a page the process cannot read
    OutputCrossesIntoUnreadable,  // the output buffer runs into such a page
    CountUnreadable,              // the bytes-returned word lies in such a page
};

enum class Effect { None, MainId, WindowBound, Attached };

struct Request {
    const char* name;
    std::vector<DWORD> words;
    DWORD inSize;
    DWORD outSize;
    Place place;
    DWORD refusedWith;  // when the program sends it; 0: it is served
    Effect effect;      // what a served request must have done
};

const Request kRequests[] = {
    // What the program sends.
    {"the probe", {BRIDGE_PROBE}, 4, 200, Place::Normal, 0, Effect::None},
    {"the main ID read", {BRIDGE_CALL, kEntry + 25}, 8, 4, Place::Normal, 0, Effect::MainId},
    {"the I2C unit's window",
     {BRIDGE_VIRTUAL_COPY, kWindow, pageOf(0x40301000), 0x2000, kProtection},
     20,
     4,
     Place::Normal,
     0,
     Effect::WindowBound},
    {"the interrupt attached",
     {BRIDGE_CALL, kEntry + 26, kSysIntr, kEvent, 0, 0},
     24,
     4,
     Place::Normal,
     0,
     Effect::Attached},
    {"the interrupt re-armed", {BRIDGE_CALL, kEntry + 22, kSysIntr}, 12, 4, Place::Normal, 0, Effect::None},
    {"the interrupt detached", {BRIDGE_CALL, kEntry + 21, kSysIntr}, 12, 4, Place::Normal, 0, Effect::None},
    // A routine of anybody's choosing.
    {"a routine the program does not pass",
     {BRIDGE_CALL, kOutsider, 1, 2},
     16,
     4,
     Place::Normal,
     ERROR_ACCESS_DENIED,
     Effect::None},
    {"the program's trampoline, which calls what its record names",
     {BRIDGE_CALL, kPacked, kRecord},
     12,
     4,
     Place::Normal,
     ERROR_ACCESS_DENIED,
     Effect::None},
    {"interrupt data handed to the OAL's interrupt enable",
     {BRIDGE_CALL, kEntry + 26, kSysIntr, kEvent, 0x1000, 4},
     24,
     4,
     Place::Normal,
     ERROR_ACCESS_DENIED,
     Effect::None},
    // Forged sizes.
    {"the main ID read with an argument",
     {BRIDGE_CALL, kEntry + 25, 7},
     12,
     4,
     Place::Normal,
     ERROR_INVALID_PARAMETER,
     Effect::None},
    {"a re-arm without its SYSINTR",
     {BRIDGE_CALL, kEntry + 22, kSysIntr},
     8,
     4,
     Place::Normal,
     ERROR_INVALID_PARAMETER,
     Effect::None},
    {"an attach of three arguments",
     {BRIDGE_CALL, kEntry + 26, kSysIntr, kEvent, 0, 0},
     20,
     4,
     Place::Normal,
     ERROR_INVALID_PARAMETER,
     Effect::None},
    {"a call of five arguments",
     {BRIDGE_CALL, kEntry + 22, kSysIntr, 0, 0, 0, 0},
     28,
     4,
     Place::Normal,
     ERROR_INVALID_PARAMETER,
     Effect::None},
    {"a block of fourteen bytes",
     {BRIDGE_CALL, kEntry + 22, kSysIntr, 0},
     14,
     4,
     Place::Normal,
     ERROR_INVALID_PARAMETER,
     Effect::None},
    {"a call of routine 0",
     {BRIDGE_CALL, 0, kSysIntr},
     12,
     4,
     Place::Normal,
     ERROR_INVALID_PARAMETER,
     Effect::None},
    {"a virtual copy of six words",
     {BRIDGE_VIRTUAL_COPY, kWindow, pageOf(0x40301000), 0x2000, kProtection, 0},
     24,
     4,
     Place::Normal,
     ERROR_INVALID_PARAMETER,
     Effect::None},
    {"a probe of two words", {BRIDGE_PROBE, 0}, 8, 200, Place::Normal, ERROR_INVALID_PARAMETER, Effect::None},
    {"an empty block", {BRIDGE_PROBE}, 0, 200, Place::Normal, ERROR_INVALID_PARAMETER, Effect::None},
    {"an unknown command", {3}, 4, 200, Place::Normal, ERROR_NOT_SUPPORTED, Effect::None},
    // Pages outside the register blocks, or bound otherwise than the program binds them.
    {"the interrupt controller's page",
     {BRIDGE_VIRTUAL_COPY, kWindow, pageOf(0x40D00000), 0x1000, kProtection},
     20,
     4,
     Place::Normal,
     ERROR_ACCESS_DENIED,
     Effect::None},
    {"RAM",
     {BRIDGE_VIRTUAL_COPY, kWindow, pageOf(0xA0000000), 0x2000, kProtection},
     20,
     4,
     Place::Normal,
     ERROR_ACCESS_DENIED,
     Effect::None},
    {"the I2C unit's second page and the page after it",
     {BRIDGE_VIRTUAL_COPY, kWindow, pageOf(0x40302000), 0x2000, kProtection},
     20,
     4,
     Place::Normal,
     ERROR_ACCESS_DENIED,
     Effect::None},
    {"the I2C unit's window and a page more",
     {BRIDGE_VIRTUAL_COPY, kWindow, pageOf(0x40301000), 0x3000, kProtection},
     20,
     4,
     Place::Normal,
     ERROR_ACCESS_DENIED,
     Effect::None},
    {"a page number that wraps past 4 GB",
     {BRIDGE_VIRTUAL_COPY, kWindow, 0x01403010u, 0x1000, kProtection},
     20,
     4,
     Place::Normal,
     ERROR_ACCESS_DENIED,
     Effect::None},
    {"the I2C unit's window cached",
     {BRIDGE_VIRTUAL_COPY, kWindow, pageOf(0x40301000), 0x2000, 0x404u},
     20,
     4,
     Place::Normal,
     ERROR_ACCESS_DENIED,
     Effect::None},
    {"a window that is not the caller's",
     {BRIDGE_VIRTUAL_COPY, 0x00001000u, pageOf(0x40301000), 0x2000, kProtection},
     20,
     4,
     Place::Normal,
     ERROR_INVALID_PARAMETER,
     Effect::None},
    // Buffers.
    {"a probe into a table of 196 bytes",
     {BRIDGE_PROBE},
     4,
     196,
     Place::Normal,
     ERROR_INSUFFICIENT_BUFFER,
     Effect::None},
    {"a call with no room for its result",
     {BRIDGE_CALL, kEntry + 25},
     8,
     0,
     Place::Normal,
     ERROR_INVALID_PARAMETER,
     Effect::None},
    {"a block crossing the end of readable memory",
     {BRIDGE_CALL, kEntry + 22, kSysIntr},
     12,
     4,
     Place::BlockCrossesIntoUnreadable,
     ERROR_INVALID_PARAMETER,
     Effect::None},
    {"a table crossing the end of readable memory",
     {BRIDGE_PROBE},
     4,
     200,
     Place::OutputCrossesIntoUnreadable,
     ERROR_INVALID_PARAMETER,
     Effect::None},
    {"a byte count in unreadable memory",
     {BRIDGE_PROBE},
     4,
     200,
     Place::CountUnreadable,
     ERROR_INVALID_PARAMETER,
     Effect::None},
};

// Who sends it.
struct Caller {
    const char* name;
    bool other;  // not the program: every request is refused with ERROR_ACCESS_DENIED
    std::string devicePath;
    DWORD trust;
};

const Caller kCallers[] = {
    {"the program", false, "\\Windows\\Tamblin.exe", OEM_CERTIFY_TRUST},
    {"the program's name in other letter case", false, "\\WINDOWS\\tamblin.EXE", OEM_CERTIFY_TRUST},
    {"another program the image trusts", true, "\\Windows\\Evil.exe", OEM_CERTIFY_TRUST},
    {"a program in another folder by the same name", true, "\\Temp\\Tamblin.exe", OEM_CERTIFY_TRUST},
    {"the program's path, run from a module the image does not trust", true, "\\Windows\\Tamblin.exe",
     OEM_CERTIFY_RUN},
};

size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class KernelBridge : public PlatformTest {
  protected:
    void SetUp() override {
        page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        // A readable page, and an unreadable one after it.
        guard = static_cast<BYTE*>(
            ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        ASSERT_NE(guard, MAP_FAILED);
        ASSERT_EQ(::mprotect(guard + page, page, PROT_NONE), 0);
        gPackedOutsider.routine = routine(Outsider);
    }
    void TearDown() override {
        ::munmap(guard, 2 * page);
        PlatformTest::TearDown();
    }

    // Sends `r` as the board's process does now; its words resolved for this board.
    BOOL send(const Request& r, DWORD window, DWORD sysIntr, HANDLE event, std::vector<BYTE>& out,
              DWORD& count) {
        std::vector<DWORD> words = r.words;
        for (DWORD& w : words) {
            if (w == kWindow) w = window;
            if (w == kSysIntr) w = sysIntr;
            if (w == kEvent) w = addr(event);
            if (w == kOutsider) w = routine(Outsider);
            if (w == kPacked) w = routine(CallPackedRoutine);
            if (w == kRecord) w = addr(&gPackedOutsider);
            if (w >= kEntry && w < kEntry + BRIDGE_ENTRY_COUNT) w = table[w - kEntry];
        }
        words.resize(8, 0);  // whatever size is claimed, the block itself is readable
        BYTE* block = reinterpret_cast<BYTE*>(words.data());
        BYTE* output = out.data();
        DWORD* bytes = &count;
        const BYTE* end = guard + page;
        if (r.place == Place::BlockCrossesIntoUnreadable) {
            block = guard + page - (r.inSize - 4);
            std::memcpy(block, words.data(), r.inSize - 4);
        }
        if (r.place == Place::OutputCrossesIntoUnreadable) output = guard + page - r.outSize / 2;
        if (r.place == Place::CountUnreadable) bytes = reinterpret_cast<DWORD*>(const_cast<BYTE*>(end));
        return KernelIoControl(IOCTL_KERNEL_BRIDGE, block, r.inSize, output, r.outSize, bytes);
    }

    size_t page = 0;
    BYTE* guard = nullptr;
    DWORD table[BRIDGE_ENTRY_COUNT] = {};
};

TEST_F(KernelBridge, ServesTheProgramAndRefusesEverythingElseChangingNothing) {
    for (const Caller& caller : kCallers) {
        boot(false, sim::json::object(), true);
        // The entry table as the program would have probed it.
        ASSERT_TRUE(KernelBridgeProbe());
        std::memcpy(table, BridgeEntryTable, sizeof table);
        sim::setProcessIdentityForTests({caller.devicePath, caller.trust});
        for (const Request& r : kRequests) {
            SCOPED_TRACE(std::string(r.name) + ", sent by " + caller.name);
            const DWORD expected = caller.other ? static_cast<DWORD>(ERROR_ACCESS_DENIED) : r.refusedWith;
            LPVOID window = VirtualAlloc(NULL, 0x2000, MEM_RESERVE, PAGE_NOACCESS);
            const DWORD sysIntr = RequestSysIntr(18);
            HANDLE event = CreateEventW(NULL, FALSE, FALSE, NULL);
            ASSERT_NE(window, nullptr);
            ASSERT_NE(sysIntr, 0u);

            std::vector<BYTE> out(256, 0xA5);
            DWORD count = 0xA5A5A5A5u;
            const size_t services = sim::kernelServiceCalls().size();
            const int outsiderCalls = gOutsiderCalls;
            const std::string logBefore = board->debugLog();
            SetLastError(0);
            const BOOL served = send(r, addr(window), sysIntr, event, out, count);
            const std::string said = board->debugLog().substr(logBefore.size());
            if (expected == 0) {
                EXPECT_TRUE(served) << said;
                EXPECT_EQ(said, "");
                EXPECT_EQ(count, r.outSize == 200 ? 200u : 4u);
                DWORD result;
                std::memcpy(&result, out.data(), 4);
                if (r.effect == Effect::MainId) EXPECT_EQ(result, sim::Board::current().config().mainId);
                if (r.effect == Effect::WindowBound) {
                    EXPECT_TRUE(result);
                    EXPECT_EQ(sim::translateWindowAddress(addr(window) + 0x1004), 0x40302004u);
                }
                if (r.effect == Effect::Attached) {
                    EXPECT_TRUE(result);
                    EXPECT_TRUE(sim::sysIntrInfo(sysIntr)->attached);
                }
            } else {
                EXPECT_FALSE(served);
                EXPECT_EQ(GetLastError(), expected);
                // Nothing written, nothing called, nothing bound or attached.
                EXPECT_EQ(out, std::vector<BYTE>(256, 0xA5));
                EXPECT_EQ(count, 0xA5A5A5A5u);
                EXPECT_EQ(sim::kernelServiceCalls().size(), services);
                EXPECT_EQ(gOutsiderCalls, outsiderCalls);
                EXPECT_FALSE(sim::translateWindowAddress(addr(window)));
                EXPECT_FALSE(sim::sysIntrInfo(sysIntr)->attached);
                // One line, saying why.
                EXPECT_EQ(countOf(said, "OAL: IOCTL_KERNEL_BRIDGE refused: "), 1u) << said;
                EXPECT_EQ(countOf(said, "\r\n"), 1u) << said;
            }
            ReleaseSysIntr(sysIntr);
            CloseHandle(event);
            VirtualFree(window, 0, MEM_RELEASE);
        }
    }
}

// Each block the program maps, on any processor it supports, is bound whole; the pages on either
// side of it are not the program's.
TEST_F(KernelBridge, BindsEachRegisterBlockOfTheProgramAndNoPageBesideIt) {
    const uint32_t blocks[] = {0x40301000, 0x40F00000, 0x40A00000, 0x40E00000, 0x40E10000,
                               0x41300000, 0x41340000, 0x6000D000, 0x70000000};
    boot(false, sim::json::object(), true);
    for (uint32_t base : blocks) {
        SCOPED_TRACE(std::to_string(base));
        const struct {
            uint32_t physical, size;
            bool bound;
        } tries[] = {{base, 0x2000, true},
                     {base + 0x1000, 0x1000, true},
                     {base - 0x1000, 0x1000, false},
                     {base + 0x2000, 0x1000, false},
                     {base + 0x1000, 0x2000, false}};
        for (const auto& t : tries) {
            LPVOID window = VirtualAlloc(NULL, 0x2000, MEM_RESERVE, PAGE_NOACCESS);
            EXPECT_EQ(BridgeVirtualCopy(addr(window), pageOf(t.physical), t.size, kProtection) != 0, t.bound)
                << std::hex << t.physical << " " << t.size;
            EXPECT_EQ(sim::translateWindowAddress(addr(window)).has_value(), t.bound);
            VirtualFree(window, 0, MEM_RELEASE);
        }
    }
}

// The program against the handler as OEMs build it in, against a bridge with none of its own forms,
// and against a HAL whose bridge is missing or refuses it: what a person reads in the debug log.
struct BootCase {
    const char* name;
    sim::json faults;
    bool privileged;
    int exitCode;
    const char* log;
};

void PrintTo(const BootCase& c, std::ostream* os) {
    e2e::printCase(c.name, os);
}

const char* const kRestored = "RTC Time restored (29.11.2011 14:59:55)\r\n";
const BootCase kBoots[] = {
    {"the handler as OEMs build it in", sim::json::object(), false, 1, kRestored},
    {"a handler that runs the program's own routines", {{"bridgeHandler", "plain"}}, false, 1, kRestored},
    {"no kernel-call bridge",
     {{"kernelBridge", "absent"}},
     false,
     0,
     "Tamblin: kernel bridge IOCTL_KERNEL_BRIDGE not available (last error 50)\r\n"
     "Tamblin: I2C bus not available\r\n"},
    {"a bridge without interrupt routines",
     {{"bridgeHandler", "plain"}, {"bridgeProbe", "zero"}},
     false,
     0,
     "Tamblin: kernel bridge IOCTL_KERNEL_BRIDGE not available (last error 127)\r\n"
     "Tamblin: I2C bus not available\r\n"},
    {"a program the image does not trust fully",
     {{"programTrust", "run"}},
     false,
     0,
     "OAL: IOCTL_KERNEL_BRIDGE refused: the calling process is not fully trusted (trust level 1)\r\n"
     "OAL: IOCTL_KERNEL_BRIDGE refused: the calling process is not fully trusted (trust level 1)\r\n"
     "Tamblin: kernel bridge IOCTL_KERNEL_BRIDGE refused the program (last error 5)\r\n"
     "Tamblin: I2C bus not available\r\n"},
    {"privileged, with no bridge", {{"kernelBridge", "absent"}}, true, 1, kRestored},
};

class ProgramAndBridge : public ::testing::TestWithParam<BootCase> {};

TEST_P(ProgramAndBridge, BootSaysWhatFailed) {
    const BootCase& c = GetParam();
    sim::BoardConfig config = e2e::frozenConfig(1);
    config.privileged = c.privileged;
    config.faults = sim::faultsFromJson(c.faults);
    e2e::Board board(config, e2e::registryFor(1));
    // 2011-11-29 14:59:55 in the chip's registers, set without a program run.
    const uint8_t time[] = {0x55, 0x59, 0x14, 0x03, 0x29, 0x11, 0x11};
    board.changeState([&](sim::BoardState& s) { std::copy(time, time + 7, s.chips.at(0x68).regs.begin()); });
    EXPECT_EQ(board.runTamblin(), c.exitCode);
    EXPECT_EQ(board.debugLog(), c.log);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgramAndBridge, ::testing::ValuesIn(kBoots), e2e::CaseNames());

}  // namespace
