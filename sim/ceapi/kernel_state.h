// The kernel's state that its memory, interrupt and HAL services share, inside the stand-in.
//
// The program runs in user mode unless the board says otherwise. In user mode the kernel refuses
// the privileged services (VirtualCopy, InterruptInitialize/Done/Disable) and a program reaches
// them only through the HAL's kernel-call bridge, which runs a routine in kernel mode in the
// kernel's process context, with that process's handle table.
#pragma once

#include "layer.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../board/board.h"
#include "kernel_hal.h"
#include "kernel_objects.h"

namespace sim::kernel {

constexpr DWORD kSysIntrFirst = 16;  // SYSINTR_FIRMWARE: the first one handed out for an IRQ
constexpr DWORD kSysIntrLimit = 72;  // SYSINTR_MAXIMUM

struct SysIntr {
    unsigned irq = 0;
    std::shared_ptr<EventObject> event;  // the kernel's own reference while attached
    bool masked = true;
    unsigned signals = 0;
};

struct State {
    std::map<uint32_t, WindowInfo> windows;  // by base address
    std::map<DWORD, SysIntr> sysIntrs;
    std::vector<HalRequest> hal;
    std::vector<KernelServiceCall> services;
};

State& state();
const FaultConfig& faults();
// The kernel's own complaints go to the debug output, as on the device.
void log(const std::string& line);
BOOL fail(DWORD error);
// Records the entry into a privileged service; false (and access denied) from user mode.
bool enterService(const char* service);

// A routine the HAL runs: kernel mode, in the kernel's process context.
class BridgedScope {
  public:
    BridgedScope();
    ~BridgedScope();
    BridgedScope(const BridgedScope&) = delete;
    BridgedScope& operator=(const BridgedScope&) = delete;

  private:
    ProcessContext saved_;
};

// The interrupt services as the kernel carries them out.
BOOL interruptInitialize(DWORD idInt, HANDLE hEvent);
void interruptDone(DWORD idInt);
void interruptDisable(DWORD idInt);

// IOCTL_KERNEL_BRIDGE, served by the OAL's handler.
constexpr DWORD kIoctlKernelBridge = 0x010120D0u;
BOOL halKernelBridge(LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned);
// Whether [address, + size) can be read by the process: memory it has, or one of its reserved
// windows. What MapCallerPtr asks, and what the log of HAL requests copies.
bool callerMemory(uint32_t address, uint32_t size);
bool readableMemory(uint32_t address, uint32_t size);
// The process is the board's program again (tests).
void forgetProcessIdentity();

}  // namespace sim::kernel
