/*
 * IOCTL_KERNEL_BRIDGE: the OAL I/O control through which Tamblin, run as a user-mode process,
 * has its few privileged operations made in kernel mode: binding the physical pages of its
 * register blocks into a window of its own (VirtualCopy), reading the processor's main ID
 * register, and attaching, re-arming and detaching the I2C unit's interrupt.
 *
 * Add kernel_bridge.c to the OAL library (see the sources file beside it) and one entry to
 * OEMIoControl's dispatch. In a hand-written switch:
 *
 *     case IOCTL_KERNEL_BRIDGE:
 *         return OALIoCtlKernelBridge(code, pInpBuffer, inpSize, pOutBuffer, outSize, pOutSize);
 *
 * or, in the table of a production-quality OAL (ioctl_tab.h):
 *
 *     { IOCTL_KERNEL_BRIDGE, 0, OALIoCtlKernelBridge },
 *
 * A request is a block of 32-bit words; word 0 is the command:
 *
 *   KERNEL_BRIDGE_CALL          {0, routine, up to four arguments}: 8 + 4 per argument bytes;
 *                               output 4 bytes, the routine's result
 *   KERNEL_BRIDGE_VIRTUAL_COPY  {1, window, physical page / 256, size, protection}: 20 bytes;
 *                               output 4 bytes, VirtualCopy's result
 *   KERNEL_BRIDGE_PROBE         {2}: 4 bytes; output the 50-word entry table (200 bytes), the
 *                               byte count through the bytes-returned pointer when one is given
 *
 * The routines a call may name are the bridge's own, published by the probe (words 21 to 26).
 * Everything else is refused, with the thread's last error: ERROR_INVALID_PARAMETER for a block,
 * buffer or argument that is malformed or not the caller's, ERROR_INSUFFICIENT_BUFFER for a probe
 * with less than 200 bytes of room, ERROR_NOT_SUPPORTED for an unknown command, and
 * ERROR_ACCESS_DENIED for what a restriction below keeps out. A refused request changes nothing
 * (nothing is written, nothing is called) and says why in one debug line starting "OAL:".
 */
#ifndef KERNEL_BRIDGE_H
#define KERNEL_BRIDGE_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Device type 0x0101 (HAL), OEM function 2100, buffered, any access. */
#define IOCTL_KERNEL_BRIDGE 0x010120D0

#define KERNEL_BRIDGE_CALL 0
#define KERNEL_BRIDGE_VIRTUAL_COPY 1
#define KERNEL_BRIDGE_PROBE 2

#define KERNEL_BRIDGE_MAX_ARGUMENTS 4
#define KERNEL_BRIDGE_MAX_BLOCK (8 + 4 * KERNEL_BRIDGE_MAX_ARGUMENTS)

/*
 * The entry table the probe hands out. Words 21 to 23 are the interrupt routines every program
 * of this kind knows, each taking the arguments of the platform call of its name (the event of
 * InterruptInitialize as a handle of the process the bridge runs routines in). Words 24 to 26
 * are this handler's own forms, which the program uses when word 24 holds the signature: the main
 * ID register read (no argument) and InterruptInitialize taking the caller's own event handle,
 * which the routine duplicates into the kernel's process and closes again itself. With them the
 * program needs no routine of its own run in kernel mode.
 */
#define KERNEL_BRIDGE_ENTRY_WORDS 50
#define KERNEL_BRIDGE_ENTRY_INTERRUPT_DISABLE 21
#define KERNEL_BRIDGE_ENTRY_INTERRUPT_DONE 22
#define KERNEL_BRIDGE_ENTRY_INTERRUPT_INITIALIZE 23
#define KERNEL_BRIDGE_ENTRY_SIGNATURE 24
#define KERNEL_BRIDGE_ENTRY_READ_MAIN_ID 25
#define KERNEL_BRIDGE_ENTRY_INTERRUPT_ATTACH 26
#define KERNEL_BRIDGE_SIGNATURE 0x3152424B /* "KBR1" in memory order */

/*
 * Restrictions, each one bit of g_oalKernelBridgeFlags. All are on unless the OAL's build
 * defines KERNEL_BRIDGE_DEFAULT_FLAGS otherwise (CDEFINES in its sources file), or OEMInit
 * changes the variable.
 *
 * KERNEL_BRIDGE_TRUSTED_CALLER   only a fully trusted process (CeGetCallerTrust() is
 *                                OEM_CERTIFY_TRUST) is served: modules of the image's MODULES
 *                                section, and what OEMCertifyModule trusts fully. A trusted process
 *                                may call VirtualCopy and the interrupt calls itself; with this
 *                                check the bridge gives nobody more than the platform already does.
 * KERNEL_BRIDGE_PROGRAM_CALLER   only the process whose executable is g_oalKernelBridgeProgram
 *                                (default KERNEL_BRIDGE_PROGRAM_PATH), compared without regard to
 *                                letter case, as the file system compares names.
 * KERNEL_BRIDGE_OWN_ROUTINES     a call runs only the bridge's own routines (entry words 21 to 26),
 *                                never an address the caller names, and the interrupt routines
 *                                take no data for the OAL's interrupt enable (the program gives
 *                                none).
 * KERNEL_BRIDGE_REGISTER_BLOCKS  a virtual copy binds only physical pages inside the register
 *                                blocks the program maps (see kernel_bridge.c), with at most the
 *                                size it maps, uncached read-write physical pages and nothing else.
 * KERNEL_BRIDGE_OWN_FORMS        not a restriction: the probe publishes words 24 to 26. Without it
 *                                the program falls back to routines of its own, which
 *                                KERNEL_BRIDGE_OWN_ROUTINES then refuses.
 */
#define KERNEL_BRIDGE_TRUSTED_CALLER 0x0001
#define KERNEL_BRIDGE_PROGRAM_CALLER 0x0002
#define KERNEL_BRIDGE_OWN_ROUTINES 0x0004
#define KERNEL_BRIDGE_REGISTER_BLOCKS 0x0008
#define KERNEL_BRIDGE_RESTRICTIONS                                                              \
    (KERNEL_BRIDGE_TRUSTED_CALLER | KERNEL_BRIDGE_PROGRAM_CALLER | KERNEL_BRIDGE_OWN_ROUTINES | \
     KERNEL_BRIDGE_REGISTER_BLOCKS)
#define KERNEL_BRIDGE_OWN_FORMS 0x0100

#ifndef KERNEL_BRIDGE_DEFAULT_FLAGS
#define KERNEL_BRIDGE_DEFAULT_FLAGS (KERNEL_BRIDGE_RESTRICTIONS | KERNEL_BRIDGE_OWN_FORMS)
#endif

/* Where the image puts the program (device/tamblin.bib: MODULES, so \Windows). */
#ifndef KERNEL_BRIDGE_PROGRAM_PATH
#define KERNEL_BRIDGE_PROGRAM_PATH TEXT("\\Windows\\Tamblin.exe")
#endif

extern DWORD g_oalKernelBridgeFlags;
extern LPCWSTR g_oalKernelBridgeProgram;

BOOL OALIoCtlKernelBridge(UINT32 code, void* pInpBuffer, UINT32 inpSize, void* pOutBuffer, UINT32 outSize,
                          UINT32* pOutSize);

/*
 * The main ID register read (mrc p15, 0, r0, c0, c0, 0) in kernel mode. With a compiler that
 * has no inline assembly the OAL supplies it as a routine of its own (one instruction and a
 * return) and the build defines KERNEL_BRIDGE_EXTERN_MAIN_ID.
 */
DWORD OALKernelBridgeMainId(void);

#ifdef __cplusplus
}
#endif

#endif
