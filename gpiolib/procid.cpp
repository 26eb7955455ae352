// Processor identification from the ARM main ID register.
#include <windows.h>

#include "../platform/hwaccess.h"
#include "../platform/platform.h"
#include "gpiolib.h"

#define MAINID_REVISION_SHIFT 4
#define MAINID_ARCH_MASK 0xF000u  // architecture field, once the revision nibble is gone
#define MAINID_ARCH_V5 0x5000u
#define MAINID_V5_PRODUCT_MASK 0x3Fu  // ARMv5 parts: the product number identifies the processor

DWORD ReadMainIdRegister(void) {
    return HwReadMainId();
}

// ReadMainIdRegister in the shape the bridge's trampoline calls: calling the routine itself
// through a two-argument pointer works on both calling conventions but is undefined behaviour in
// C++, which an optimiser is free to break.
static DWORD ReadMainIdPacked(DWORD, DWORD) {
    return ReadMainIdRegister();
}

DWORD ReadStatusRegister(void) {
    return HwReadCpsr();
}

DWORD GetProcessorID(void) {
    DWORD mainId;
    // The read goes with GPIOLib's mapping, whose probe brings the HAL's own routine for it.
    if (BridgeModulePrivileged(&g_BridgeState.mappingProbed)) {
        mainId = ReadMainIdRegister();
    } else {
        // CP15 is out of reach in user mode: the HAL runs the read for us, with its own routine
        // where it has one. A failed bridge leaves 0, which no module supports.
        DWORD own = BridgeOwnRoutine(BRIDGE_ENTRY_READ_MAIN_ID);
        if (own != 0) {
            DWORD block[2] = {BRIDGE_CALL, own};
            mainId = KernelCall(block, sizeof block);
        } else {
            BridgePackedCall call = {(DWORD)(uintptr_t)ReadMainIdPacked, 0, 0};
            mainId = KernelCallWithArg((DWORD)(uintptr_t)CallPackedRoutine, (DWORD)(uintptr_t)&call);
        }
    }
    DWORD id = mainId >> MAINID_REVISION_SHIFT;
    if ((id & MAINID_ARCH_MASK) == MAINID_ARCH_V5) return id & MAINID_V5_PRODUCT_MASK;
    return id;
}
