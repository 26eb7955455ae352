/*
 * The OAL's side of IOCTL_KERNEL_BRIDGE (kernel_bridge.h says what it serves and refuses).
 *
 * OEMIoControl runs in kernel mode on the thread of the process that called KernelIoControl,
 * with that process's buffers passed as they are: every pointer is checked against the caller
 * with MapCallerPtr, the request block is copied once before anything looks at it (another thread
 * of the caller cannot change it under the checks), and nothing is written or called until the
 * whole request has passed. Plain C89, as the platform's compilers take it.
 *
 * Kernel services used: CeGetCallerTrust, GetCallerProcess, GetModuleFileNameW, MapCallerPtr,
 * VirtualCopy, InterruptInitialize, InterruptDone, InterruptDisable, DuplicateHandle,
 * GetCurrentProcess, CloseHandle, NKSetLastError, NKDbgPrintfW.
 */
#include <windows.h>
#include <pkfuncs.h>

#include "kernel_bridge.h"

DWORD g_oalKernelBridgeFlags = KERNEL_BRIDGE_DEFAULT_FLAGS;
LPCWSTR g_oalKernelBridgeProgram = KERNEL_BRIDGE_PROGRAM_PATH;

#define KERNEL_BRIDGE_REFUSED TEXT("OAL: IOCTL_KERNEL_BRIDGE refused: ")

/* The protection of every window the program binds: uncached read-write physical pages. */
#define KERNEL_BRIDGE_WINDOW_PROTECTION (PAGE_PHYSICAL | PAGE_NOCACHE | PAGE_READWRITE)

/* The size of every window the program binds: the register's page and the page after it. */
#define KERNEL_BRIDGE_WINDOW 0x2000

typedef struct KernelBridgeBlock {
    DWORD base; /* physical address of the window's first page */
    DWORD size;
} KernelBridgeBlock;

/*
 * The physical register windows the program binds, on every processor it supports. A board with
 * one processor may keep only its own rows.
 */
static const KernelBridgeBlock s_kernelBridgeBlocks[] = {
    {0x40301000, KERNEL_BRIDGE_WINDOW}, /* I2C standard unit (registers from 0x40301680) */
    {0x40F00000, KERNEL_BRIDGE_WINDOW}, /* power manager: PCFR 0x40F0001C, I2C unit 0x40F00180 */
    {0x40A00000, KERNEL_BRIDGE_WINDOW}, /* OS timer (counter 0x40A00010) */
    {0x40E00000, KERNEL_BRIDGE_WINDOW}, /* GPIO, processors 2, 8, 9 and 17 */
    {0x40E10000, KERNEL_BRIDGE_WINDOW}, /* pin functions, processors 2, 8 and 9 */
    {0x41300000, KERNEL_BRIDGE_WINDOW}, /* clock enables, processor 17 (0x41300004) */
    {0x41340000, KERNEL_BRIDGE_WINDOW}, /* clock enables, processors 2, 8 and 9 */
    {0x6000D000, KERNEL_BRIDGE_WINDOW}, /* GPIO controller, Cortex-A9 class processor */
    {0x70000000, KERNEL_BRIDGE_WINDOW}  /* pin multiplexing, Cortex-A9 class processor */
};

#define KERNEL_BRIDGE_BLOCK_COUNT (sizeof s_kernelBridgeBlocks / sizeof s_kernelBridgeBlocks[0])

typedef DWORD (*KernelBridgeRoutine0)(void);
typedef DWORD (*KernelBridgeRoutine1)(DWORD);
typedef DWORD (*KernelBridgeRoutine2)(DWORD, DWORD);
typedef DWORD (*KernelBridgeRoutine3)(DWORD, DWORD, DWORD);
typedef DWORD (*KernelBridgeRoutine4)(DWORD, DWORD, DWORD, DWORD);

/* A routine run for a caller that names it is called with the arguments the caller gives, whatever
 * its own type: the checker of calls through pointers of the wrong type has nothing to say there. */
#if defined(__clang__)
#define KERNEL_BRIDGE_UNTYPED_CALL __attribute__((no_sanitize("function")))
#else
#define KERNEL_BRIDGE_UNTYPED_CALL
#endif

#if defined(KERNEL_BRIDGE_EXTERN_MAIN_ID) || !defined(__GNUC__)
#define KernelBridgeMainIdRegister OALKernelBridgeMainId
#else
static DWORD KernelBridgeMainIdRegister(void) {
    DWORD value;
    __asm__ __volatile__("mrc p15, 0, %0, c0, c0, 0" : "=r"(value));
    return value;
}
#endif

/* ---- The bridge's own routines: the entry table's words ---------------------------------- */

static DWORD KernelBridgeInterruptDisable(DWORD sysIntr) {
    InterruptDisable(sysIntr);
    return TRUE;
}

static DWORD KernelBridgeInterruptDone(DWORD sysIntr) {
    InterruptDone(sysIntr);
    return TRUE;
}

/* The event is a handle of the process this routine runs in: the caller duplicated it there. */
static DWORD KernelBridgeInterruptInitialize(DWORD sysIntr, DWORD event, DWORD data, DWORD size) {
    return InterruptInitialize(sysIntr, (HANDLE)event, (LPVOID)data, size);
}

static DWORD KernelBridgeReadMainId(void) {
    return KernelBridgeMainIdRegister();
}

/* The event is the caller's own handle. The kernel keeps its own reference to an attached event,
 * so the duplicate goes again at once. */
static DWORD KernelBridgeInterruptAttach(DWORD sysIntr, DWORD event, DWORD data, DWORD size) {
    HANDLE duplicate = NULL;
    DWORD result;
    if (!DuplicateHandle(GetCallerProcess(), (HANDLE)event, GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return FALSE;
    result = InterruptInitialize(sysIntr, duplicate, (LPVOID)data, size);
    CloseHandle(duplicate);
    return result;
}

#define KERNEL_BRIDGE_ROUTINE(routine) ((DWORD)(routine))

/* ---- Checks ---------------------------------------------------------------------------------- */

static BOOL KernelBridgeRefuse(DWORD error, LPCWSTR line, DWORD value) {
    NKDbgPrintfW(line, value);
    NKSetLastError(error);
    return FALSE;
}

static WCHAR KernelBridgeUpper(WCHAR c) {
    return (WCHAR)((c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c);
}

static BOOL KernelBridgeSamePath(LPCWSTR a, LPCWSTR b) {
    for (;; ++a, ++b) {
        if (KernelBridgeUpper(*a) != KernelBridgeUpper(*b)) return FALSE;
        if (*a == 0) return TRUE;
    }
}

static BOOL KernelBridgeCallerAllowed(void) {
    WCHAR path[MAX_PATH];
    DWORD length;
    DWORD trust;
    if (g_oalKernelBridgeFlags & KERNEL_BRIDGE_TRUSTED_CALLER) {
        trust = CeGetCallerTrust();
        if (trust != OEM_CERTIFY_TRUST)
            return KernelBridgeRefuse(
                ERROR_ACCESS_DENIED,
                KERNEL_BRIDGE_REFUSED TEXT("the calling process is not fully trusted (trust level %u)\r\n"),
                trust);
    }
    if (g_oalKernelBridgeFlags & KERNEL_BRIDGE_PROGRAM_CALLER) {
        /* A name that does not fit, or no name, is no match. */
        length = GetModuleFileNameW((HMODULE)GetCallerProcess(), path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH - 1 || !KernelBridgeSamePath(path, g_oalKernelBridgeProgram))
            return KernelBridgeRefuse(
                ERROR_ACCESS_DENIED,
                KERNEL_BRIDGE_REFUSED TEXT("the calling process is not the program the bridge serves\r\n"),
                0);
    }
    return TRUE;
}

/* The physical range [page * 256, + size) lies inside one register window. */
static BOOL KernelBridgeInRegisterBlock(DWORD physicalPage, DWORD size) {
    DWORD physical;
    DWORD i;
    if (physicalPage > 0x00FFFFFF || size == 0) return FALSE;
    physical = physicalPage << 8;
    for (i = 0; i < KERNEL_BRIDGE_BLOCK_COUNT; ++i) {
        const KernelBridgeBlock* block = &s_kernelBridgeBlocks[i];
        if (physical >= block->base && physical - block->base < block->size &&
            size <= block->size - (physical - block->base))
            return TRUE;
    }
    return FALSE;
}

/* The caller's buffers need not be aligned: their words are written a byte at a time. */
static void KernelBridgeStore(BYTE* to, const DWORD* words, DWORD count) {
    DWORD i;
    for (i = 0; i < 4 * count; ++i) to[i] = (BYTE)(words[i / 4] >> (8 * (i % 4)));
}

/* The answer, and its size in bytes through the bytes-returned word when the caller gave one. */
static void KernelBridgeReturn(BYTE* out, const DWORD* words, DWORD count, BYTE* outCount) {
    DWORD bytes = 4 * count;
    KernelBridgeStore(out, words, count);
    if (outCount != NULL) KernelBridgeStore(outCount, &bytes, 1);
}

/* ---- The three commands ---------------------------------------------------------------------- */

static KERNEL_BRIDGE_UNTYPED_CALL DWORD KernelBridgeRunNamed(DWORD routine, const DWORD* args, DWORD count) {
    switch (count) {
        case 0:
            return ((KernelBridgeRoutine0)routine)();
        case 1:
            return ((KernelBridgeRoutine1)routine)(args[0]);
        case 2:
            return ((KernelBridgeRoutine2)routine)(args[0], args[1]);
        case 3:
            return ((KernelBridgeRoutine3)routine)(args[0], args[1], args[2]);
        default:
            return ((KernelBridgeRoutine4)routine)(args[0], args[1], args[2], args[3]);
    }
}

/* How many arguments the bridge's own routine at `routine` takes; -1: not one of its own. */
static int KernelBridgeOwnArguments(DWORD routine) {
    if (routine == KERNEL_BRIDGE_ROUTINE(KernelBridgeInterruptDisable) ||
        routine == KERNEL_BRIDGE_ROUTINE(KernelBridgeInterruptDone))
        return 1;
    if (routine == KERNEL_BRIDGE_ROUTINE(KernelBridgeInterruptInitialize)) return 4;
    if (g_oalKernelBridgeFlags & KERNEL_BRIDGE_OWN_FORMS) {
        if (routine == KERNEL_BRIDGE_ROUTINE(KernelBridgeReadMainId)) return 0;
        if (routine == KERNEL_BRIDGE_ROUTINE(KernelBridgeInterruptAttach)) return 4;
    }
    return -1;
}

static BOOL KernelBridgeCall(const DWORD* block, DWORD words, BYTE* out, UINT32 outSize, BYTE* outCount) {
    DWORD routine;
    DWORD count;
    int own;
    DWORD result;
    if (words < 2 || block[1] == 0)
        return KernelBridgeRefuse(ERROR_INVALID_PARAMETER,
                                  KERNEL_BRIDGE_REFUSED TEXT("a call without a routine (%u bytes)\r\n"),
                                  4 * words);
    routine = block[1];
    count = words - 2;
    own = KernelBridgeOwnArguments(routine);
    if (outSize < 4)
        return KernelBridgeRefuse(ERROR_INVALID_PARAMETER,
                                  KERNEL_BRIDGE_REFUSED TEXT("%u bytes of room for a call's result\r\n"),
                                  outSize);
    if (own < 0 && (g_oalKernelBridgeFlags & KERNEL_BRIDGE_OWN_ROUTINES))
        return KernelBridgeRefuse(
            ERROR_ACCESS_DENIED,
            KERNEL_BRIDGE_REFUSED TEXT("routine 0x%08X is not one of the bridge's own\r\n"), routine);
    if (own >= 0 && count != (DWORD)own)
        return KernelBridgeRefuse(
            ERROR_INVALID_PARAMETER,
            KERNEL_BRIDGE_REFUSED TEXT("%u arguments for a routine of the bridge's own\r\n"), count);
    /* The data is handed to the OAL's own interrupt enable in kernel mode: the program gives none. */
    if (own == 4 && (g_oalKernelBridgeFlags & KERNEL_BRIDGE_OWN_ROUTINES) && (block[4] != 0 || block[5] != 0))
        return KernelBridgeRefuse(
            ERROR_ACCESS_DENIED,
            KERNEL_BRIDGE_REFUSED TEXT("interrupt data at 0x%08X for the interrupt enable\r\n"), block[4]);
    result = KernelBridgeRunNamed(routine, block + 2, count);
    KernelBridgeReturn(out, &result, 1, outCount);
    return TRUE;
}

static BOOL KernelBridgeVirtualCopy(const DWORD* block, DWORD words, BYTE* out, UINT32 outSize,
                                    BYTE* outCount) {
    DWORD source = block[2];
    DWORD size = block[3];
    DWORD protection = block[4];
    LPVOID window;
    DWORD result;
    if (words != 5 || outSize < 4)
        return KernelBridgeRefuse(ERROR_INVALID_PARAMETER,
                                  KERNEL_BRIDGE_REFUSED TEXT("a virtual copy of %u bytes\r\n"), 4 * words);
    if (g_oalKernelBridgeFlags & KERNEL_BRIDGE_REGISTER_BLOCKS) {
        if (protection != KERNEL_BRIDGE_WINDOW_PROTECTION)
            return KernelBridgeRefuse(ERROR_ACCESS_DENIED,
                                      KERNEL_BRIDGE_REFUSED TEXT("protection 0x%X for a register window\r\n"),
                                      protection);
        if (!KernelBridgeInRegisterBlock(source, size))
            return KernelBridgeRefuse(
                ERROR_ACCESS_DENIED,
                KERNEL_BRIDGE_REFUSED TEXT(
                    "physical pages from 0x%08X lie outside the program's register blocks\r\n"),
                source << 8);
    }
    /* The window must be the caller's own address space, not another process's or the kernel's. */
    window = MapCallerPtr((LPVOID)block[1], size);
    if (window == NULL)
        return KernelBridgeRefuse(ERROR_INVALID_PARAMETER,
                                  KERNEL_BRIDGE_REFUSED TEXT("window 0x%08X is not the caller's\r\n"),
                                  block[1]);
    result = VirtualCopy(window, (LPVOID)source, size, protection);
    KernelBridgeReturn(out, &result, 1, outCount);
    return TRUE;
}

static BOOL KernelBridgeProbe(DWORD words, BYTE* out, UINT32 outSize, BYTE* outCount) {
    DWORD table[KERNEL_BRIDGE_ENTRY_WORDS];
    DWORD i;
    if (words != 1)
        return KernelBridgeRefuse(ERROR_INVALID_PARAMETER,
                                  KERNEL_BRIDGE_REFUSED TEXT("a probe of %u bytes\r\n"), 4 * words);
    if (outSize < sizeof table)
        return KernelBridgeRefuse(ERROR_INSUFFICIENT_BUFFER,
                                  KERNEL_BRIDGE_REFUSED TEXT("%u bytes of room for the entry table\r\n"),
                                  outSize);
    for (i = 0; i < KERNEL_BRIDGE_ENTRY_WORDS; ++i) table[i] = 0;
    table[KERNEL_BRIDGE_ENTRY_INTERRUPT_DISABLE] = KERNEL_BRIDGE_ROUTINE(KernelBridgeInterruptDisable);
    table[KERNEL_BRIDGE_ENTRY_INTERRUPT_DONE] = KERNEL_BRIDGE_ROUTINE(KernelBridgeInterruptDone);
    table[KERNEL_BRIDGE_ENTRY_INTERRUPT_INITIALIZE] = KERNEL_BRIDGE_ROUTINE(KernelBridgeInterruptInitialize);
    if (g_oalKernelBridgeFlags & KERNEL_BRIDGE_OWN_FORMS) {
        table[KERNEL_BRIDGE_ENTRY_SIGNATURE] = KERNEL_BRIDGE_SIGNATURE;
        table[KERNEL_BRIDGE_ENTRY_READ_MAIN_ID] = KERNEL_BRIDGE_ROUTINE(KernelBridgeReadMainId);
        table[KERNEL_BRIDGE_ENTRY_INTERRUPT_ATTACH] = KERNEL_BRIDGE_ROUTINE(KernelBridgeInterruptAttach);
    }
    KernelBridgeReturn(out, table, KERNEL_BRIDGE_ENTRY_WORDS, outCount);
    return TRUE;
}

BOOL OALIoCtlKernelBridge(UINT32 code, void* pInpBuffer, UINT32 inpSize, void* pOutBuffer, UINT32 outSize,
                          UINT32* pOutSize) {
    DWORD block[KERNEL_BRIDGE_MAX_BLOCK / 4];
    const BYTE* in;
    BYTE* out = NULL;
    BYTE* count = NULL;
    DWORD i;
    (void)code;
    if (!KernelBridgeCallerAllowed()) return FALSE;
    if (inpSize < 4 || inpSize > KERNEL_BRIDGE_MAX_BLOCK || (inpSize & 3) != 0)
        return KernelBridgeRefuse(ERROR_INVALID_PARAMETER,
                                  KERNEL_BRIDGE_REFUSED TEXT("a request block of %u bytes\r\n"), inpSize);
    in = (const BYTE*)MapCallerPtr(pInpBuffer, inpSize);
    if (in == NULL)
        return KernelBridgeRefuse(
            ERROR_INVALID_PARAMETER,
            KERNEL_BRIDGE_REFUSED TEXT("the request block at 0x%08X is not the caller's\r\n"),
            (DWORD)pInpBuffer);
    if (outSize != 0) {
        out = (BYTE*)MapCallerPtr(pOutBuffer, outSize);
        if (out == NULL)
            return KernelBridgeRefuse(
                ERROR_INVALID_PARAMETER,
                KERNEL_BRIDGE_REFUSED TEXT("the output buffer at 0x%08X is not the caller's\r\n"),
                (DWORD)pOutBuffer);
    }
    if (pOutSize != NULL) {
        count = (BYTE*)MapCallerPtr(pOutSize, sizeof *pOutSize);
        if (count == NULL)
            return KernelBridgeRefuse(
                ERROR_INVALID_PARAMETER,
                KERNEL_BRIDGE_REFUSED TEXT("the bytes-returned word at 0x%08X is not the caller's\r\n"),
                (DWORD)pOutSize);
    }
    for (i = 0; i < inpSize; ++i) ((BYTE*)block)[i] = in[i];

    switch (block[0]) {
        case KERNEL_BRIDGE_CALL:
            return KernelBridgeCall(block, inpSize / 4, out, outSize, count);
        case KERNEL_BRIDGE_VIRTUAL_COPY:
            return KernelBridgeVirtualCopy(block, inpSize / 4, out, outSize, count);
        case KERNEL_BRIDGE_PROBE:
            return KernelBridgeProbe(inpSize / 4, out, outSize, count);
        default:
            return KernelBridgeRefuse(ERROR_NOT_SUPPORTED, KERNEL_BRIDGE_REFUSED TEXT("command %u\r\n"),
                                      block[0]);
    }
}
