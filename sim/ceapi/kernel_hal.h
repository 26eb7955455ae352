// The simulated CPU mode, kernel memory and interrupt services, and the board HAL's I/O controls,
// as the rest of the stand-in, the device models and the tests see them. Product code never
// includes this.
//
// The HAL's side of IOCTL_KERNEL_BRIDGE is the OAL handler an OEM builds in (device/oal), with
// every restriction on, served the kernel services it calls from here.
//
// Fault injection, from the "faults" object of board.json:
//   "kernelBridge": "absent"     the HAL does not know IOCTL_KERNEL_BRIDGE: every request fails
//                                with ERROR_NOT_SUPPORTED
//   "bridgeHandler": "plain"     the OAL's handler with no restriction and none of its own forms:
//                                it runs any routine and binds any page (the bridge as first built)
//   "programTrust": "run"        the image trusts the program to run only (OEM_CERTIFY_RUN)
//   "bridgeProbe": "zero"        BRIDGE_PROBE succeeds but returns an all-zero entry table
//   "bridgeProbe": "fail"        BRIDGE_PROBE fails (ERROR_NOT_SUPPORTED) and writes nothing
//   "requestSysIntr": "refuse"   IOCTL_HAL_REQUEST_SYSINTR fails (ERROR_NO_SYSTEM_RESOURCES)
//   "duplicateHandle": "fail"    DuplicateHandle fails (ERROR_INVALID_HANDLE)
//   "virtualAlloc": "fail"       VirtualAlloc fails (ERROR_NOT_ENOUGH_MEMORY)
//   "virtualCopy": "fail"        VirtualCopy fails (ERROR_INVALID_PARAMETER)
#pragma once

#include "layer.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// The process the program runs as, as the kernel knows it: its executable's device path and the
// trust the image gives it. A program on the board is the board's program, a module of the image
// (trusted fully unless "programTrust" says otherwise); a test may make it another.
struct ProcessIdentity {
    std::string devicePath;
    DWORD trust = 2;  // OEM_CERTIFY_TRUST
};
ProcessIdentity processIdentity();
void setProcessIdentityForTests(const ProcessIdentity& identity);

// Address windows made by VirtualAlloc(MEM_RESERVE) and bound by VirtualCopy.
struct WindowInfo {
    uint32_t base = 0;
    uint32_t size = 0;
    std::vector<std::optional<uint32_t>> physPage;  // per 4 KB page: bound physical page address
};
std::optional<WindowInfo> findWindow(uint32_t virtualAddr);
size_t reservedWindowCount();
// The physical address behind a virtual address of a bound window; nullopt elsewhere.
std::optional<uint32_t> translateWindowAddress(uint32_t virtualAddr);

// Every KernelIoControl in this process, in order.
struct HalRequest {
    DWORD code = 0;
    DWORD inSize = 0;
    std::vector<uint32_t> words;  // the input block, whole words (the command is words[0])
    DWORD outSize = 0;
    bool bytesReturnedGiven = false;
    BOOL result = FALSE;
};
const std::vector<HalRequest>& halRequests();
void clearHalRequests();

// Every entry into the privileged kernel services (VirtualCopy, InterruptInitialize,
// InterruptDone, InterruptDisable), directly or through an entry-table routine, in order.
struct KernelServiceCall {
    std::string service;
    bool kernelMode = false;  // false: refused as a user-mode call
    bool bridged = false;     // made by a routine the HAL ran
};
const std::vector<KernelServiceCall>& kernelServiceCalls();

// SYSINTRs handed out by the HAL.
struct SysIntrInfo {
    unsigned irq = 0;
    bool attached = false;  // an event is attached (InterruptInitialize)
    bool masked = true;     // signalled and not yet re-armed by InterruptDone, or not attached
    unsigned signals = 0;   // times its event was signalled
};
std::optional<SysIntrInfo> sysIntrInfo(DWORD sysIntr);

// Tests: releases every window, every SYSINTR and the IRQ lines, clears both logs, and makes the
// process the board's program again.
void resetKernelForTests();

}  // namespace sim
