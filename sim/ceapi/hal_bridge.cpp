// IOCTL_KERNEL_BRIDGE on the virtual board: the OAL's own handler (device/oal/kernel_bridge.c),
// entered in kernel mode in the kernel's process as OEMIoControl is, with the kernel services it
// calls: who the caller is (its process, its executable, its trust), whether a pointer is the
// caller's, the last error, and the main ID register read.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include <pkfuncs.h>

#include "../../device/oal/kernel_bridge.h"
#include "../board/cpu.h"
#include "kernel_state.h"

namespace sim {

namespace {

std::optional<ProcessIdentity> gIdentityForTests;

// A pipe that a probe writes the caller's bytes into and reads them back out of at once.
int probePipe(int end) {
    static int fds[2] = {-1, -1};
    if (fds[0] < 0 && ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) fds[0] = fds[1] = -1;
    return fds[end];
}

}  // namespace

ProcessIdentity processIdentity() {
    if (gIdentityForTests) return *gIdentityForTests;
    const BoardConfig& c = Board::current().config();
    return ProcessIdentity{c.programPath,
                           c.faults.programTrustRun ? DWORD{OEM_CERTIFY_RUN} : DWORD{OEM_CERTIFY_TRUST}};
}

void setProcessIdentityForTests(const ProcessIdentity& identity) {
    gIdentityForTests = identity;
}

namespace kernel {

void forgetProcessIdentity() {
    gIdentityForTests.reset();
}

// The host kernel tells: it fails a write from memory the process cannot read with EFAULT, having
// read nothing (a raw system call, so that no sanitizer looks at the bytes first).
bool readableMemory(uint32_t address, uint32_t size) {
    if (size == 0) return true;
    if (address == 0 || address + static_cast<uint64_t>(size) > 0x100000000ull) return false;
    const int in = probePipe(1), out = probePipe(0);
    if (in < 0) return false;
    char sink[256];
    while (size > 0) {
        const uint32_t chunk = size < sizeof sink ? size : sizeof sink;
        const long n = ::syscall(SYS_write, in, static_cast<uintptr_t>(address), chunk);
        if (n <= 0) return false;
        if (::read(out, sink, static_cast<size_t>(n)) != n) return false;
        address += static_cast<uint32_t>(n);
        size -= static_cast<uint32_t>(n);
    }
    return true;
}

bool callerMemory(uint32_t address, uint32_t size) {
    // A window the process reserved is its address space, bound or not.
    if (std::optional<WindowInfo> w = findWindow(address))
        if (size <= w->base + w->size - address) return true;
    return readableMemory(address, size);
}

BOOL halKernelBridge(LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned) {
    const FaultConfig& f = faults();
    if (f.kernelBridgeAbsent) return fail(ERROR_NOT_SUPPORTED);
    const uint32_t inAddress = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(in));
    DWORD command = 0xFFFFFFFFu;
    if (inSize == 4 && readableMemory(inAddress, 4)) std::memcpy(&command, in, 4);
    const bool probe = command == KERNEL_BRIDGE_PROBE;
    if (probe && f.bridgeProbe == "fail") return fail(ERROR_NOT_SUPPORTED);

    // The image's OAL was built with the board's program path.
    static std::u16string program;
    program = fromUtf8(Board::current().config().programPath);
    g_oalKernelBridgeProgram = program.c_str();
    g_oalKernelBridgeFlags = f.bridgeHandlerPlain ? 0u : static_cast<DWORD>(KERNEL_BRIDGE_DEFAULT_FLAGS);
    BOOL ok;
    {
        BridgedScope kernel;
        ok = OALIoCtlKernelBridge(kIoctlKernelBridge, in, inSize, out, outSize, returned);
    }
    if (ok && probe && f.bridgeProbe == "zero") std::memset(out, 0, KERNEL_BRIDGE_ENTRY_WORDS * 4);
    return ok;
}

}  // namespace kernel

}  // namespace sim

using namespace sim;
using namespace sim::kernel;

HANDLE GetCallerProcess(void) {
    // The kernel serves one user process here: the program's.
    return processHandle(ProcessContext::User);
}

DWORD CeGetCallerTrust(void) {
    return processIdentity().trust;
}

LPVOID MapCallerPtr(LPVOID ptr, DWORD dwLen) {
    const uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ptr));
    if (!ptr || !callerMemory(address, dwLen)) return nullptr;
    return ptr;
}

void NKSetLastError(DWORD dwErr) {
    SetLastError(dwErr);
}

DWORD OALKernelBridgeMainId(void) {
    return cpu::readMainId();
}
