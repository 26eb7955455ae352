// The kernel's memory and interrupt services and the board HAL's I/O controls.
//
// The program runs in user mode unless the board says otherwise. In user mode the kernel refuses
// the privileged services (VirtualCopy, InterruptInitialize/Done/Disable) and a program reaches
// them only through the HAL's kernel-call bridge, which runs a routine in kernel mode in the
// kernel's process context, with that process's handle table.
//
// Interrupts are level-triggered: a SYSINTR with an attached event signals it when its IRQ line
// is asserted and is masked from then on; InterruptDone unmasks it, and a line still asserted
// at that moment fires again at once.
#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <map>

#include <pkfuncs.h>

#include "../board/board.h"
#include "../board/cpu.h"
#include "../board/format.h"
#include "../board/interrupt_controller.h"
#include "../board/simtime.h"
#include "kernel_hal.h"
#include "kernel_objects.h"

namespace sim {

namespace {

constexpr uint32_t kPageSize = cpu::kPageSize;
constexpr DWORD kSysIntrFirst = 16;  // SYSINTR_FIRMWARE: the first one handed out for an IRQ
constexpr DWORD kSysIntrLimit = 72;  // SYSINTR_MAXIMUM
constexpr DWORD kMaxCallArgs = 4;

struct SysIntr {
    unsigned irq = 0;
    std::shared_ptr<EventObject> event;  // the kernel's own reference while attached
    bool masked = true;
    unsigned signals = 0;
};

struct KernelState {
    std::map<uint32_t, WindowInfo> windows;  // by base address
    std::map<DWORD, SysIntr> sysIntrs;
    std::vector<HalRequest> hal;
    std::vector<KernelServiceCall> services;
};

KernelState& ks() {
    static KernelState s;
    return s;
}

const FaultConfig& faults() {
    return Board::current().config().faults;
}

// The kernel's own complaints go to the debug output, as on the device.
void kernelLog(const std::string& line) {
    OutputDebugStringW(fromUtf8("Kernel: " + line + "\r\n").c_str());
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Records the entry into a privileged service; refuses it from user mode.
bool enterService(const char* service) {
    const bool kernel = cpu::privileged();
    ks().services.push_back(KernelServiceCall{service, kernel, cpu::inSupervisor()});
    if (!kernel) {
        kernelLog(std::string(service) + " called from user mode: access denied");
        SetLastError(ERROR_ACCESS_DENIED);
    }
    return kernel;
}

// A routine the HAL runs: kernel mode, in the kernel's process context.
class BridgedScope {
  public:
    BridgedScope() : saved_(currentContext()) {
        cpu::enterSupervisor();
        setCurrentContext(ProcessContext::Kernel);
    }
    ~BridgedScope() {
        setCurrentContext(saved_);
        cpu::leaveSupervisor();
    }

  private:
    ProcessContext saved_;
};

WindowInfo* windowContaining(uint32_t addr) {
    auto& w = ks().windows;
    auto it = w.upper_bound(addr);
    if (it == w.begin()) return nullptr;
    --it;
    return addr - it->second.base < it->second.size ? &it->second : nullptr;
}

// ---- Interrupts ---------------------------------------------------------------------------

// The kernel masks the SYSINTR as its interrupt comes in; the waiting thread hears of it once the
// interrupt has reached the kernel's handler and the thread has been switched to.
void fire(DWORD id, SysIntr& s) {
    s.masked = true;
    const TimingConfig& t = Board::current().config().timing;
    scheduleAt(nowNs() + t.interruptLatencyNs + t.threadWakeNs, [id] {
        auto it = ks().sysIntrs.find(id);
        if (it == ks().sysIntrs.end() || !it->second.event) return;
        signalEvent(*it->second.event);
        ++it->second.signals;
    });
}

BOOL interruptInitialize(DWORD idInt, HANDLE hEvent) {
    auto it = ks().sysIntrs.find(idInt);
    if (it == ks().sysIntrs.end()) {
        kernelLog("InterruptInitialize: SYSINTR " + std::to_string(idInt) + " was not handed out");
        return fail(ERROR_INVALID_PARAMETER);
    }
    SysIntr& s = it->second;
    if (s.event) return fail(ERROR_INVALID_PARAMETER);  // already attached
    auto obj = lookupHandle(hEvent);
    if (!obj || obj->kind != ObjKind::Event) {
        kernelLog("InterruptInitialize: handle " +
                  hex(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hEvent)), 8) +
                  " is not an event in the calling process");
        return fail(ERROR_INVALID_HANDLE);
    }
    s.event = std::static_pointer_cast<EventObject>(obj);
    s.masked = false;
    if (irqLineAsserted(s.irq)) fire(idInt, s);
    return TRUE;
}

void interruptDone(DWORD idInt) {
    auto it = ks().sysIntrs.find(idInt);
    if (it == ks().sysIntrs.end() || !it->second.event) return;
    SysIntr& s = it->second;
    s.masked = false;
    if (irqLineAsserted(s.irq)) fire(idInt, s);
}

// The kernel's dispatch: an asserted line signals every SYSINTR of it that is attached and armed.
const bool gDispatchInstalled = [] {
    setIrqListener([](unsigned irq) {
        for (auto& [id, s] : ks().sysIntrs)
            if (s.irq == irq && s.event && !s.masked) fire(id, s);
    });
    return true;
}();

void interruptDisable(DWORD idInt) {
    auto it = ks().sysIntrs.find(idInt);
    if (it == ks().sysIntrs.end()) return;
    it->second.event.reset();
    it->second.masked = true;
}

// Kernel-mode routines of the HAL's entry table. They live in kernel address space: a jump to
// one from user mode is a prefetch abort.
void requireKernelMode(const char* routine) {
    if (!cpu::privileged())
        boardFault(std::string("prefetch abort: user mode jumped to the kernel routine ") + routine);
}

DWORD entryInterruptDisable(DWORD idInt) {
    requireKernelMode("InterruptDisable");
    enterService("InterruptDisable");
    interruptDisable(idInt);
    return TRUE;
}

DWORD entryInterruptDone(DWORD idInt) {
    requireKernelMode("InterruptDone");
    enterService("InterruptDone");
    interruptDone(idInt);
    return TRUE;
}

DWORD entryInterruptInitialize(DWORD idInt, DWORD hEvent, DWORD, DWORD) {
    requireKernelMode("InterruptInitialize");
    enterService("InterruptInitialize");
    return interruptInitialize(idInt, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(hEvent)));
}

template <typename F>
DWORD routineAddress(F* f) {
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(f));
}

// ---- The HAL's I/O controls ---------------------------------------------------------------

DWORD runRoutine(DWORD routine, const DWORD* args, DWORD count) {
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
    while (id < kSysIntrLimit && ks().sysIntrs.count(id)) ++id;
    if (id == kSysIntrLimit) return fail(ERROR_NO_SYSTEM_RESOURCES);
    ks().sysIntrs[id].irq = irq;
    std::memcpy(out, &id, 4);
    if (returned) *returned = 4;
    return TRUE;
}

BOOL halReleaseSysIntr(const DWORD* words, DWORD inSize) {
    if (!words || inSize < 4) return fail(ERROR_INVALID_PARAMETER);
    auto it = ks().sysIntrs.find(words[0]);
    if (it == ks().sysIntrs.end()) return fail(ERROR_INVALID_PARAMETER);
    ks().sysIntrs.erase(it);
    return TRUE;
}

}  // namespace

std::optional<WindowInfo> findWindow(uint32_t virtualAddr) {
    const WindowInfo* w = windowContaining(virtualAddr);
    if (!w) return std::nullopt;
    return *w;
}

size_t reservedWindowCount() {
    return ks().windows.size();
}

std::optional<uint32_t> translateWindowAddress(uint32_t virtualAddr) {
    if (!windowContaining(virtualAddr)) return std::nullopt;
    return cpu::translate(virtualAddr);
}

const std::vector<HalRequest>& halRequests() {
    return ks().hal;
}
void clearHalRequests() {
    ks().hal.clear();
}
const std::vector<KernelServiceCall>& kernelServiceCalls() {
    return ks().services;
}

std::optional<SysIntrInfo> sysIntrInfo(DWORD sysIntr) {
    auto it = ks().sysIntrs.find(sysIntr);
    if (it == ks().sysIntrs.end()) return std::nullopt;
    const SysIntr& s = it->second;
    return SysIntrInfo{s.irq, s.event != nullptr, s.masked, s.signals};
}

void resetKernelForTests() {
    KernelState& k = ks();
    for (auto& [base, w] : k.windows) ::munmap(reinterpret_cast<void*>(static_cast<uintptr_t>(base)), w.size);
    k = KernelState{};
    cpu::resetForTests();
    resetIrqLinesForTests();
    setCurrentContext(ProcessContext::User);
}

}  // namespace sim

using namespace sim;

BOOL KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf,
                     DWORD nOutBufSize, LPDWORD lpBytesReturned) {
    // The HAL works on a copy of the input block: the caller's buffer need not be aligned.
    std::vector<DWORD> words;
    if (lpInBuf && nInBufSize >= 4) {
        words.resize(nInBufSize / 4);
        std::memcpy(words.data(), lpInBuf, words.size() * 4);
    }
    const size_t index = ks().hal.size();
    ks().hal.push_back(HalRequest{dwIoControlCode, nInBufSize,
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
    ks().hal[index].result = result;
    return result;
}

LPVOID VirtualAlloc(LPVOID lpAddress, DWORD dwSize, DWORD flAllocationType, DWORD) {
    if (lpAddress || flAllocationType != MEM_RESERVE)
        boardFault(
            "VirtualAlloc: the virtual board models only reserving address space where the system chooses "
            "(null address, MEM_RESERVE)");
    if (faults().virtualAllocFails) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (dwSize == 0 || dwSize > 0x7FFF0000u) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const uint32_t size = (dwSize + kPageSize - 1) & ~(kPageSize - 1);
    // Really reserved and inaccessible: a program that dereferences a window itself instead of
    // going through the register seam crashes here as it would on a wrongly bound page.
    void* p = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    WindowInfo w;
    w.base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
    w.size = size;
    w.physPage.resize(size / kPageSize);
    ks().windows[w.base] = std::move(w);
    return p;
}

BOOL VirtualFree(LPVOID lpAddress, DWORD dwSize, DWORD dwFreeType) {
    const uint32_t addr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(lpAddress));
    auto& windows = ks().windows;
    if (dwFreeType == MEM_RELEASE) {
        // Only the whole region, by its base, with size 0.
        auto it = windows.find(addr);
        if (!lpAddress || it == windows.end() || dwSize != 0) return fail(ERROR_INVALID_PARAMETER);
        for (uint32_t a = addr; a < addr + it->second.size; a += kPageSize) cpu::unbindPage(a);
        ::munmap(lpAddress, it->second.size);
        windows.erase(it);
        return TRUE;
    }
    if (dwFreeType == MEM_DECOMMIT) {
        WindowInfo* w = windowContaining(addr);
        if (!w || dwSize == 0 || dwSize > w->base + w->size - addr) return fail(ERROR_INVALID_PARAMETER);
        for (uint32_t a = addr & ~(kPageSize - 1); a < addr + dwSize; a += kPageSize) {
            w->physPage[(a - w->base) / kPageSize].reset();
            cpu::unbindPage(a);
        }
        return TRUE;
    }
    return fail(ERROR_INVALID_PARAMETER);
}

BOOL VirtualCopy(LPVOID lpvDest, LPVOID lpvSrc, DWORD cbSize, DWORD fdwProtect) {
    if (!enterService("VirtualCopy")) return FALSE;
    if (faults().virtualCopyFails) return fail(ERROR_INVALID_PARAMETER);
    if (!(fdwProtect & PAGE_PHYSICAL))
        boardFault("VirtualCopy between two virtual addresses is not modelled by the virtual board");
    const uint32_t dest = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(lpvDest));
    const uint32_t src = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(lpvSrc));
    // PAGE_PHYSICAL: the source is a physical page address divided by 256.
    if (cbSize == 0 || (dest % kPageSize) != 0 || (src & 0xFu) != 0 || src > 0x00FFFFFFu)
        return fail(ERROR_INVALID_PARAMETER);
    WindowInfo* w = windowContaining(dest);
    if (!w || cbSize > w->base + w->size - dest) return fail(ERROR_INVALID_PARAMETER);
    const uint64_t phys = static_cast<uint64_t>(src) << 8;
    const uint32_t pages = (cbSize + kPageSize - 1) / kPageSize;
    if (phys + static_cast<uint64_t>(pages) * kPageSize > 0x100000000ull)
        return fail(ERROR_INVALID_PARAMETER);
    const uint32_t first = (dest - w->base) / kPageSize;
    for (uint32_t i = 0; i < pages; ++i)
        if (w->physPage[first + i]) return fail(ERROR_INVALID_PARAMETER);  // already bound
    for (uint32_t i = 0; i < pages; ++i) {
        w->physPage[first + i] = static_cast<uint32_t>(phys + i * kPageSize);
        cpu::bindPage(dest + i * kPageSize, static_cast<uint32_t>(phys + i * kPageSize));
    }
    return TRUE;
}

BOOL InterruptInitialize(DWORD idInt, HANDLE hEvent, LPVOID, DWORD) {
    if (!enterService("InterruptInitialize")) return FALSE;
    return interruptInitialize(idInt, hEvent);
}

void InterruptDone(DWORD idInt) {
    if (!enterService("InterruptDone")) return;
    interruptDone(idInt);
}

void InterruptDisable(DWORD idInt) {
    if (!enterService("InterruptDisable")) return;
    interruptDisable(idInt);
}
