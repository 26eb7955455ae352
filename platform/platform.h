// Platform access layer: register mapping and the kernel-call bridge.
//
// Privileged operations (binding physical pages, reading CP15, attaching an interrupt) are made
// directly when the process already runs in a privileged processor mode, and otherwise sent to
// the board HAL's kernel-call I/O control, which runs them in kernel mode. The choice is made at
// each call. None of these operations sets the thread's last error or writes a message.
#pragma once

#include <windows.h>

// ---- Kernel-call bridge: the HAL's OEM I/O control ------------------------------------------

// Device type 0x0101 (HAL), OEM function 2100, buffered, any access.
#define IOCTL_KERNEL_BRIDGE 0x010120D0u

// Word 0 of a request block: the command.
#define BRIDGE_CALL 0u          // {0, routine, arg1..arg4}: run routine(args) in kernel mode
#define BRIDGE_VIRTUAL_COPY 1u  // {1, dest VA, physical page / 256, size, protection}
#define BRIDGE_PROBE 2u         // {2}: fill the entry table

// Word 1 of a BRIDGE_CALL block: the routine; never sent when null.
#define BRIDGE_WORD_COMMAND 0
#define BRIDGE_WORD_ROUTINE 1

// Block sizes in bytes. A call carries 8 bytes plus 4 per argument.
#define BRIDGE_CALL_SIZE(args) (8u + 4u * (args))
#define BRIDGE_VIRTUAL_COPY_SIZE 20u
#define BRIDGE_PROBE_SIZE 4u

// The HAL's table of kernel-mode routines, filled by the probe. Each used word takes the same
// arguments as the platform call of that name.
#define BRIDGE_ENTRY_COUNT 50
#define BRIDGE_ENTRY_INTERRUPT_DISABLE 21  // InterruptDisable(sysintr)
#define BRIDGE_ENTRY_INTERRUPT_DONE 22     // InterruptDone(sysintr)
#define BRIDGE_ENTRY_INTERRUPT_INIT 23     // InterruptInitialize(sysintr, event, data, size)
// A HAL whose bridge runs no routine of the caller's has routines of its own for the rest, and
// says so with a signature word. Without it the program passes routines of its own.
#define BRIDGE_ENTRY_SIGNATURE 24
#define BRIDGE_SIGNATURE 0x3152424Bu      // "KBR1"
#define BRIDGE_ENTRY_READ_MAIN_ID 25      // the main ID register, no argument
#define BRIDGE_ENTRY_INTERRUPT_ATTACH 26  // InterruptInitialize with the caller's own event

// CPSR mode field: user mode (0x10) is the only mode whose low four bits are all zero.
#define CPSR_MODE_LOW_BITS 0x0Fu

// A routine of two 32-bit arguments run through CallPackedRoutine.
typedef DWORD (*BRIDGE_PACKED_ROUTINE)(DWORD a, DWORD b);
typedef struct BridgePackedCall {
    DWORD routine;  // BRIDGE_PACKED_ROUTINE as a 32-bit address
    DWORD a;
    DWORD b;
} BridgePackedCall;

// Process-wide state of the bridge. Never reset by the program; the HAL's routines stay where
// they are for the life of the system.
typedef struct BridgeModuleState {
    BOOL mappingProbed;    // the mapping module has issued its probe
    BOOL interruptProbed;  // the interrupt operations have issued theirs
    // Why the bridge first failed the program, as a last-error code: what the HAL answered, or
    // ERROR_PROC_NOT_FOUND for a routine its table lacks. 0: it never has.
    DWORD failure;
} BridgeModuleState;

extern DWORD BridgeEntryTable[BRIDGE_ENTRY_COUNT];  // all zero until a probe fills it
extern BridgeModuleState g_BridgeState;

// True when the processor is not in user mode.
BOOL IsPrivileged(void);
// A module's privilege check: IsPrivileged, plus the module's one probe the first time it finds
// itself unprivileged (whatever that probe's outcome).
BOOL BridgeModulePrivileged(BOOL* moduleProbed);

// Sends a BRIDGE_CALL block of `size` bytes; the routine's result, or 0.
DWORD KernelCall(DWORD* block, DWORD size);
// Runs routine(arg) in kernel mode through a 12-byte block.
DWORD KernelCallWithArg(DWORD routine, DWORD arg);
// Trampoline for KernelCallWithArg: `packed` addresses a BridgePackedCall; returns routine(a, b).
DWORD CallPackedRoutine(DWORD packed);
// Asks the HAL for its entry table. True when any bytes came back (no caller relies on it).
BOOL KernelBridgeProbe(void);
// The HAL's own routine at an entry word from 24 on, or 0 when its table has none.
DWORD BridgeOwnRoutine(DWORD word);
// Notes why a bridged operation could not be made, the first time one cannot.
void BridgeNoteFailure(DWORD error);
// The current process's handle, from the kernel data page: the program's own process in user
// mode, the process that bridged routines run in when run through the bridge.
DWORD GetCurrentProcessHandle(void);

// SYSINTR for an IRQ number, or 0.
DWORD RequestSysIntr(DWORD irq);
BOOL ReleaseSysIntr(DWORD sysIntr);
// As the platform's InterruptInitialize / InterruptDisable / InterruptDone, made through the
// bridge when the process is unprivileged.
BOOL BridgeInterruptInitialize(DWORD sysIntr, HANDLE event, LPVOID data, DWORD size);
void BridgeInterruptDisable(DWORD sysIntr);
void BridgeInterruptDone(DWORD sysIntr);

// ---- Register mapping -----------------------------------------------------------------------

// An 8 KB window: the page holding the requested address and the page after it, so that a
// block starting anywhere in its page has at least 4 KB of registers behind it.
#define MAP_WINDOW_SIZE 0x2000u
#define MAP_PAGE_MASK 0xFFFFF000u
#define MAP_REGISTER_OFFSET_MASK 0x00000FFCu  // address bits 11..2: 32-bit registers only
#define MAP_PROTECTION (PAGE_PHYSICAL | PAGE_NOCACHE | PAGE_READWRITE)  // 0x604

// Uncached pointer to the 32-bit register at `physAddr` (its two low bits dropped), or null.
volatile DWORD* MapRegisters(DWORD physAddr);
// Releases the whole window holding `regs`; false for null or when the release fails.
BOOL UnmapRegisters(volatile void* regs);
// VirtualCopy(dest, src, size, protect), made through the bridge when unprivileged. `src` is a
// physical page address divided by 256.
BOOL BridgeVirtualCopy(DWORD dest, DWORD src, DWORD size, DWORD protect);
