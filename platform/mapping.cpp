// Register mapping: an uncached 8 KB window of the process's address space bound to the physical
// pages that hold a register block.
#include <windows.h>
#include <pkfuncs.h>

#include "platform.h"

volatile DWORD* MapRegisters(DWORD physAddr) {
    LPVOID window = VirtualAlloc(NULL, MAP_WINDOW_SIZE, MEM_RESERVE, PAGE_NOACCESS);
    if (window == NULL) return NULL;

    // PAGE_PHYSICAL takes the physical page address divided by 256.
    DWORD physPage = (physAddr >> 8) & 0x00FFFFF0u;
    if (!BridgeVirtualCopy((DWORD)(uintptr_t)window, physPage, MAP_WINDOW_SIZE, MAP_PROTECTION)) {
        VirtualFree(window, 0, MEM_RELEASE);
        return NULL;
    }
    return (volatile DWORD*)((BYTE*)window + (physAddr & MAP_REGISTER_OFFSET_MASK));
}

BOOL UnmapRegisters(volatile void* regs) {
    if (regs == NULL) return FALSE;
    // The offset MapRegisters added is below one page, so the page start is the window start.
    return VirtualFree((LPVOID)((uintptr_t)regs & MAP_PAGE_MASK), 0, MEM_RELEASE);
}

BOOL BridgeVirtualCopy(DWORD dest, DWORD src, DWORD size, DWORD protect) {
    if (BridgeModulePrivileged(&g_BridgeState.mappingProbed))
        return VirtualCopy((LPVOID)(uintptr_t)dest, (LPVOID)(uintptr_t)src, size, protect);

    DWORD block[5] = {BRIDGE_VIRTUAL_COPY, dest, src, size, protect};
    DWORD result = 0;
    if (!KernelIoControl(IOCTL_KERNEL_BRIDGE, block, sizeof block, &result, sizeof result, NULL)) {
        BridgeNoteFailure(GetLastError());
        return FALSE;
    }
    return result != 0;
}
