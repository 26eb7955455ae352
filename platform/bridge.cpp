// The kernel-call bridge: privileged operations made directly in a privileged process, and
// through the board HAL's IOCTL_KERNEL_BRIDGE in a user-mode one.
#include <windows.h>
#include <pkfuncs.h>

#include "hwaccess.h"
#include "platform.h"

DWORD BridgeEntryTable[BRIDGE_ENTRY_COUNT];
BridgeModuleState g_BridgeState;

BOOL IsPrivileged(void) {
    return (HwReadCpsr() & CPSR_MODE_LOW_BITS) != 0;
}

BOOL BridgeModulePrivileged(BOOL* moduleProbed) {
    BOOL privileged = IsPrivileged();
    if (!privileged && !*moduleProbed) {
        // Set whatever the probe brings back: a HAL without the table does not grow one later.
        KernelBridgeProbe();
        *moduleProbed = TRUE;
    }
    return privileged;
}

void BridgeNoteFailure(DWORD error) {
    if (g_BridgeState.failure == 0) g_BridgeState.failure = error != 0 ? error : ERROR_GEN_FAILURE;
}

DWORD KernelCall(DWORD* block, DWORD size) {
    DWORD result = 0;
    if (block[BRIDGE_WORD_ROUTINE] == 0) {
        BridgeNoteFailure(ERROR_PROC_NOT_FOUND);
        return 0;
    }
    // A failed request leaves the cleared word: 0 is the answer either way.
    if (!KernelIoControl(IOCTL_KERNEL_BRIDGE, block, size, &result, sizeof result, NULL))
        BridgeNoteFailure(GetLastError());
    return result;
}

DWORD KernelCallWithArg(DWORD routine, DWORD arg) {
    DWORD block[3] = {BRIDGE_CALL, routine, arg};
    return KernelCall(block, sizeof block);
}

DWORD CallPackedRoutine(DWORD packed) {
    const BridgePackedCall* call = (const BridgePackedCall*)(uintptr_t)packed;
    // Runs in kernel mode: a jump to address 0 there takes the whole system down.
    if (call == NULL || call->routine == 0) return 0;
    BRIDGE_PACKED_ROUTINE routine = (BRIDGE_PACKED_ROUTINE)(uintptr_t)call->routine;
    return routine(call->a, call->b);
}

BOOL KernelBridgeProbe(void) {
    DWORD command = BRIDGE_PROBE;
    DWORD returned = 0;
    if (!KernelIoControl(IOCTL_KERNEL_BRIDGE, &command, sizeof command, BridgeEntryTable,
                         sizeof BridgeEntryTable, &returned))
        BridgeNoteFailure(GetLastError());
    return returned != 0;
}

DWORD BridgeOwnRoutine(DWORD word) {
    if (BridgeEntryTable[BRIDGE_ENTRY_SIGNATURE] != BRIDGE_SIGNATURE) return 0;
    return BridgeEntryTable[word];
}

DWORD GetCurrentProcessHandle(void) {
    return HwReadKDataWord(KDATA_CURRENT_PROCESS_ADDR);
}

DWORD RequestSysIntr(DWORD irq) {
    DWORD sysIntr = 0;
    if (!KernelIoControl(IOCTL_HAL_REQUEST_SYSINTR, &irq, sizeof irq, &sysIntr, sizeof sysIntr, NULL))
        return 0;
    return sysIntr;
}

BOOL ReleaseSysIntr(DWORD sysIntr) {
    return KernelIoControl(IOCTL_HAL_RELEASE_SYSINTR, &sysIntr, sizeof sysIntr, NULL, 0, NULL);
}

BOOL BridgeInterruptInitialize(DWORD sysIntr, HANDLE event, LPVOID data, DWORD size) {
    if (BridgeModulePrivileged(&g_BridgeState.interruptProbed))
        return InterruptInitialize(sysIntr, event, data, size);

    // A HAL that runs no routine of ours duplicates the event into its process itself.
    DWORD attach = BridgeOwnRoutine(BRIDGE_ENTRY_INTERRUPT_ATTACH);
    if (attach != 0) {
        DWORD attachCall[6] = {BRIDGE_CALL, attach, sysIntr, (DWORD)(uintptr_t)event, (DWORD)(uintptr_t)data,
                               size};
        return KernelCall(attachCall, sizeof attachCall) != 0;
    }

    // Bridged routines run in another process's context, where our event handle means nothing:
    // the kernel needs a duplicate that is valid there.
    DWORD whoCall[2] = {BRIDGE_CALL, (DWORD)(uintptr_t)GetCurrentProcessHandle};
    HANDLE kernelProcess = (HANDLE)(uintptr_t)KernelCall(whoCall, sizeof whoCall);
    HANDLE ownProcess = (HANDLE)(uintptr_t)GetCurrentProcessHandle();
    HANDLE duplicate = NULL;
    if (!DuplicateHandle(ownProcess, event, kernelProcess, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return 0;

    DWORD initCall[6] = {BRIDGE_CALL,
                         BridgeEntryTable[BRIDGE_ENTRY_INTERRUPT_INIT],
                         sysIntr,
                         (DWORD)(uintptr_t)duplicate,
                         (DWORD)(uintptr_t)data,
                         size};
    DWORD result = KernelCall(initCall, sizeof initCall);

    // The kernel keeps its own reference to the event once attached.
    DWORD closeCall[3] = {BRIDGE_CALL, (DWORD)(uintptr_t)CloseHandle, (DWORD)(uintptr_t)duplicate};
    KernelCall(closeCall, sizeof closeCall);
    return result != 0;
}

void BridgeInterruptDisable(DWORD sysIntr) {
    if (BridgeModulePrivileged(&g_BridgeState.interruptProbed)) {
        InterruptDisable(sysIntr);
        return;
    }
    DWORD block[3] = {BRIDGE_CALL, BridgeEntryTable[BRIDGE_ENTRY_INTERRUPT_DISABLE], sysIntr};
    KernelCall(block, sizeof block);
}

void BridgeInterruptDone(DWORD sysIntr) {
    if (BridgeModulePrivileged(&g_BridgeState.interruptProbed)) {
        InterruptDone(sysIntr);
        return;
    }
    DWORD block[3] = {BRIDGE_CALL, BridgeEntryTable[BRIDGE_ENTRY_INTERRUPT_DONE], sysIntr};
    KernelCall(block, sizeof block);
}
