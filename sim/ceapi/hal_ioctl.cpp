// The board HAL's I/O controls: the kernel-call bridge (the OAL's handler, hal_bridge.cpp) and the
// SYSINTR request and release.
#include <cstring>

#include <pkfuncs.h>

#include "../board/interrupt_controller.h"
#include "kernel_state.h"

namespace sim {

namespace {

using namespace kernel;

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
    // The log and the SYSINTR controls work on a copy of the input block (the caller's buffer need
    // not be aligned), taken only where the caller could read it; the bridge's handler checks the
    // caller's buffers itself.
    std::vector<DWORD> words;
    const uint32_t inAddress = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(lpInBuf));
    if (lpInBuf && nInBufSize >= 4 && readableMemory(inAddress, nInBufSize / 4 * 4)) {
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
            result = halKernelBridge(lpInBuf, nInBufSize, lpOutBuf, nOutBufSize, lpBytesReturned);
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
