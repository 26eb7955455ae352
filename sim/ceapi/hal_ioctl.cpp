// The board HAL's I/O controls: the kernel-call bridge (run a routine in kernel mode, bind a
// register page, hand out the table of kernel-mode routines) and the SYSINTR request and release.
#include <cstring>

#include <pkfuncs.h>

#include "../board/interrupt_controller.h"
#include "kernel_state.h"

namespace sim {

namespace {

using namespace kernel;

constexpr DWORD kMaxCallArgs = 4;

template <typename F>
DWORD routineAddress(F* f) {
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(f));
}

// The kernel jumps to the routine's address with the words of the block in the argument
// registers, whatever the routine's own type: a BOOL routine, or one that ignores its arguments,
// is called all the same. The host can only make that jump through a function pointer of some
// type, which clang's function sanitizer would report for every such routine.
#if defined(__clang__)
#define TAMBLIN_UNTYPED_JUMP __attribute__((no_sanitize("function")))
#else
#define TAMBLIN_UNTYPED_JUMP
#endif

TAMBLIN_UNTYPED_JUMP DWORD runRoutine(DWORD routine, const DWORD* args, DWORD count) {
    const uintptr_t addr = routine;
    switch (count) {
        case 0:
            return reinterpret_cast<DWORD (*)()>(addr)();
        case 1:
            return reinterpret_cast<DWORD (*)(DWORD)>(addr)(args[0]);
        case 2:
            return reinterpret_cast<DWORD (*)(DWORD, DWORD)>(addr)(args[0], args[1]);
        case 3:
            return reinterpret_cast<DWORD (*)(DWORD, DWORD, DWORD)>(addr)(args[0], args[1], args[2]);
        default:
            return reinterpret_cast<DWORD (*)(DWORD, DWORD, DWORD, DWORD)>(addr)(args[0], args[1], args[2],
                                                                                 args[3]);
    }
}

BOOL halKernelBridge(const DWORD* words, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned) {
    if (faults().kernelBridgeAbsent) return fail(ERROR_NOT_SUPPORTED);
    if (!words || inSize < 4) return fail(ERROR_INVALID_PARAMETER);
    switch (words[0]) {
        case kBridgeCall: {
            if (inSize < 8 || inSize > 8 + 4 * kMaxCallArgs || inSize % 4 != 0)
                return fail(ERROR_INVALID_PARAMETER);
            if (words[1] == 0 || !out || outSize < 4) return fail(ERROR_INVALID_PARAMETER);
            DWORD result;
            {
                BridgedScope kernel;
                result = runRoutine(words[1], words + 2, (inSize - 8) / 4);
            }
            std::memcpy(out, &result, 4);
            if (returned) *returned = 4;
            return TRUE;
        }
        case kBridgeVirtualCopy: {
            if (inSize != 20 || !out || outSize < 4) return fail(ERROR_INVALID_PARAMETER);
            DWORD result;
            {
                BridgedScope kernel;
                result = VirtualCopy(reinterpret_cast<LPVOID>(static_cast<uintptr_t>(words[1])),
                                     reinterpret_cast<LPVOID>(static_cast<uintptr_t>(words[2])), words[3],
                                     words[4]);
            }
            std::memcpy(out, &result, 4);
            if (returned) *returned = 4;
            return TRUE;
        }
        case kBridgeProbe: {
            if (inSize != 4) return fail(ERROR_INVALID_PARAMETER);
            if (faults().bridgeProbe == "fail") return fail(ERROR_NOT_SUPPORTED);
            if (!out || outSize < kBridgeEntryWords * 4) return fail(ERROR_INSUFFICIENT_BUFFER);
            DWORD table[kBridgeEntryWords] = {};
            if (faults().bridgeProbe != "zero") {
                table[kEntryInterruptDisable] = routineAddress(entryInterruptDisable);
                table[kEntryInterruptDone] = routineAddress(entryInterruptDone);
                table[kEntryInterruptInitialize] = routineAddress(entryInterruptInitialize);
            }
            std::memcpy(out, table, sizeof table);
            if (returned) *returned = sizeof table;
            return TRUE;
        }
        default:
            return fail(ERROR_INVALID_PARAMETER);
    }
}

BOOL halRequestSysIntr(const DWORD* words, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned) {
    if (!words || inSize < 4 || !out || outSize < 4) return fail(ERROR_INVALID_PARAMETER);
    if (faults().requestSysIntrRefused) return fail(ERROR_NO_SYSTEM_RESOURCES);
    const DWORD irq = words[0];
    if (irq >= kIrqLineCount) return fail(ERROR_INVALID_PARAMETER);
    DWORD id = kSysIntrFirst;
    while (id < kSysIntrLimit && state().sysIntrs.count(id)) ++id;
    if (id == kSysIntrLimit) return fail(ERROR_NO_SYSTEM_RESOURCES);
    state().sysIntrs[id].irq = irq;
    std::memcpy(out, &id, 4);
    if (returned) *returned = 4;
    return TRUE;
}

BOOL halReleaseSysIntr(const DWORD* words, DWORD inSize) {
    if (!words || inSize < 4) return fail(ERROR_INVALID_PARAMETER);
    auto it = state().sysIntrs.find(words[0]);
    if (it == state().sysIntrs.end()) return fail(ERROR_INVALID_PARAMETER);
    state().sysIntrs.erase(it);
    return TRUE;
}

}  // namespace

const std::vector<HalRequest>& halRequests() {
    return state().hal;
}
void clearHalRequests() {
    state().hal.clear();
}
}  // namespace sim

using namespace sim;
using namespace sim::kernel;

BOOL KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf,
                     DWORD nOutBufSize, LPDWORD lpBytesReturned) {
    // The HAL works on a copy of the input block: the caller's buffer need not be aligned.
    std::vector<DWORD> words;
    if (lpInBuf && nInBufSize >= 4) {
        words.resize(nInBufSize / 4);
        std::memcpy(words.data(), lpInBuf, words.size() * 4);
    }
    const size_t index = state().hal.size();
    state().hal.push_back(HalRequest{dwIoControlCode, nInBufSize,
                                     std::vector<uint32_t>(words.begin(), words.end()), nOutBufSize,
                                     lpBytesReturned != nullptr, FALSE});
    const DWORD* in = words.empty() ? nullptr : words.data();
    BOOL result;
    switch (dwIoControlCode) {
        case kIoctlKernelBridge:
            result = halKernelBridge(in, nInBufSize, lpOutBuf, nOutBufSize, lpBytesReturned);
            break;
        case IOCTL_HAL_REQUEST_SYSINTR:
            result = halRequestSysIntr(in, nInBufSize, lpOutBuf, nOutBufSize, lpBytesReturned);
            break;
        case IOCTL_HAL_RELEASE_SYSINTR:
            result = halReleaseSysIntr(in, nInBufSize);
            break;
        default:
            result = fail(ERROR_NOT_SUPPORTED);
            break;
    }
    state().hal[index].result = result;
    return result;
}
