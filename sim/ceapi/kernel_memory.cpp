// The kernel's memory services: address windows reserved with VirtualAlloc and bound to physical
// register pages with VirtualCopy, which programs the MMU.
#include <sys/mman.h>

#include <pkfuncs.h>

#include "../board/cpu.h"
#include "kernel_state.h"

namespace sim {

namespace {

using namespace kernel;

constexpr uint32_t kPageSize = cpu::kPageSize;

WindowInfo* windowContaining(uint32_t addr) {
    auto& w = state().windows;
    auto it = w.upper_bound(addr);
    if (it == w.begin()) return nullptr;
    --it;
    return addr - it->second.base < it->second.size ? &it->second : nullptr;
}

}  // namespace

std::optional<WindowInfo> findWindow(uint32_t virtualAddr) {
    const WindowInfo* w = windowContaining(virtualAddr);
    if (!w) return std::nullopt;
    return *w;
}

size_t reservedWindowCount() {
    return state().windows.size();
}

std::optional<uint32_t> translateWindowAddress(uint32_t virtualAddr) {
    if (!windowContaining(virtualAddr)) return std::nullopt;
    return cpu::translate(virtualAddr);
}

}  // namespace sim

using namespace sim;
using namespace sim::kernel;

LPVOID VirtualAlloc(LPVOID lpAddress, DWORD dwSize, DWORD flAllocationType, DWORD) {
    if (lpAddress || flAllocationType != MEM_RESERVE)
        sim::boardFault(
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
    state().windows[w.base] = std::move(w);
    return p;
}

BOOL VirtualFree(LPVOID lpAddress, DWORD dwSize, DWORD dwFreeType) {
    const uint32_t addr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(lpAddress));
    auto& windows = state().windows;
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
        sim::boardFault("VirtualCopy between two virtual addresses is not modelled by the virtual board");
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
