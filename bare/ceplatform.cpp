// The platform calls that the product's I2C driver, GPIOLib and platform layer make, carried out
// on the bare board: one process, one thread, always in a privileged mode (SVC). Kernel objects
// are a small table; interrupts go through the PXA interrupt controller to SYSINTR events as the
// platform's kernel routes them (masked on delivery until InterruptDone).
#include <windows.h>
#include <pkfuncs.h>

#include "bare_platform.h"
#include "board.h"

namespace {

enum ObjectKind { kFree = 0, kMutex, kEvent };

struct KernelObject {
    ObjectKind kind;
    const WCHAR* name;  // named mutexes only; the caller's literal
    DWORD refs;
    DWORD owned;               // mutex: recursion count
    volatile DWORD signalled;  // event
    BOOL manualReset;          // event: stays signalled through a wait
};

constexpr DWORD kMaxObjects = 16;
constexpr uintptr_t kHandleBase = 0x1000;
KernelObject g_objects[kMaxObjects];

constexpr DWORD kFirstSysIntr = 16;  // the platform's first SYSINTR for devices
constexpr DWORD kMaxIrq = 32;        // the primary controller's sources
struct SysIntrSlot {
    BOOL allocated;
    DWORD irq;
    HANDLE event;  // set by InterruptInitialize
};
SysIntrSlot g_sysIntr[kMaxIrq];

DWORD g_lastError;
constexpr DWORD kErrorNotOwner = 288;
BareStats g_stats;

KernelObject* lookup(HANDLE h) {
    const uintptr_t v = (uintptr_t)h;
    if (v < kHandleBase || ((v - kHandleBase) & 3) != 0) return nullptr;
    const uintptr_t i = (v - kHandleBase) / 4;
    if (i >= kMaxObjects || g_objects[i].kind == kFree) return nullptr;
    return &g_objects[i];
}

HANDLE newObject(ObjectKind kind, const WCHAR* name) {
    for (DWORD i = 0; i < kMaxObjects; ++i) {
        if (g_objects[i].kind == kFree) {
            g_objects[i] = KernelObject{kind, name, 1, 0, 0, FALSE};
            ++g_stats.liveObjects;
            return (HANDLE)(kHandleBase + 4 * i);
        }
    }
    return nullptr;
}

bool sameName(const WCHAR* a, const WCHAR* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

uint32_t intcMaskBit(DWORD irq) {
    return 1u << irq;
}

SysIntrSlot* slotOf(DWORD sysIntr) {
    if (sysIntr < kFirstSysIntr || sysIntr >= kFirstSysIntr + kMaxIrq) return nullptr;
    SysIntrSlot* s = &g_sysIntr[sysIntr - kFirstSysIntr];
    return s->allocated ? s : nullptr;
}

void badCall(const char* what) {
    BarePrintf("FATAL: platform call refused: %s\n", what);
    BareExit(101);
}

}  // namespace

const BareStats& BareGetStats(void) {
    return g_stats;
}
void BareResetIrqCounts(void) {
    for (DWORD i = 0; i < kMaxIrq; ++i) g_stats.irqDeliveries[i] = 0;
}

DWORD GetLastError(void) {
    return g_lastError;
}
void SetLastError(DWORD code) {
    g_lastError = code;
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
    if (name) {
        for (DWORD i = 0; i < kMaxObjects; ++i) {
            KernelObject& o = g_objects[i];
            if (o.kind == kMutex && o.name && sameName(o.name, name)) {
                ++o.refs;
                SetLastError(ERROR_ALREADY_EXISTS);
                return (HANDLE)(kHandleBase + 4 * i);
            }
        }
    }
    HANDLE h = newObject(kMutex, name);
    if (!h) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (initialOwner) lookup(h)->owned = 1;
    SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL ReleaseMutex(HANDLE h) {
    KernelObject* o = lookup(h);
    if (!o || o->kind != kMutex || o->owned == 0) {
        SetLastError(o ? kErrorNotOwner : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    --o->owned;
    return TRUE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    if (manualReset || name) badCall("CreateEventW: only unnamed auto-reset events exist on this board");
    HANDLE h = newObject(kEvent, nullptr);
    if (!h) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    lookup(h)->signalled = initialState ? 1 : 0;
    return h;
}

HANDLE OpenEventW(DWORD, BOOL, LPCWSTR name) {
    // The notification service of this board is up from the start: its readiness event exists,
    // a manual-reset event that stays signalled.
    if (!name || !sameName(name, u"system/events/notify/APIReady")) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    HANDLE h = newObject(kEvent, name);
    if (!h) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    lookup(h)->signalled = 1;
    lookup(h)->manualReset = TRUE;
    return h;
}

BOOL EventModify(HANDLE h, DWORD func) {
    KernelObject* o = lookup(h);
    if (!o || o->kind != kEvent) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (func != EVENT_RESET && func != EVENT_SET)
        badCall("EventModify: only set and reset exist on this board");
    o->signalled = func == EVENT_SET ? 1 : 0;  // a single word: the interrupt handler cannot tear it
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE h, DWORD timeoutMs) {
    KernelObject* o = lookup(h);
    if (!o) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (o->kind == kMutex) {
        // One thread: the mutex is free or already ours.
        ++o->owned;
        return WAIT_OBJECT_0;
    }
    const uint32_t start = BareTicks();
    for (;;) {
        const uint32_t cpsr = BareDisableIrq();
        if (o->signalled) {
            if (!o->manualReset) o->signalled = 0;
            BareRestoreIrq(cpsr);
            return WAIT_OBJECT_0;
        }
        BareRestoreIrq(cpsr);
        if (timeoutMs != INFINITE && BareTicks() - start >= timeoutMs * PXA_OSCR_TICKS_PER_MS) {
            ++g_stats.waitTimeouts;
            return WAIT_TIMEOUT;
        }
    }
}

BOOL CloseHandle(HANDLE h) {
    KernelObject* o = lookup(h);
    if (!o) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (--o->refs == 0) {
        o->kind = kFree;
        --g_stats.liveObjects;
    }
    return TRUE;
}

BOOL DuplicateHandle(HANDLE, HANDLE source, HANDLE, HANDLE* target, DWORD, BOOL, DWORD options) {
    KernelObject* o = lookup(source);
    if (!o || !target || (options & ~DUPLICATE_SAME_ACCESS) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // One process: the duplicate is another reference to the same object.
    ++o->refs;
    *target = source;
    return TRUE;
}

void Sleep(DWORD ms) {
    BareDelayMs(ms);
}

void OutputDebugStringW(LPCWSTR s) {
    for (; s && *s; ++s) BarePutc(*s < 0x80 ? (char)*s : '?');
}

void NKvDbgPrintfW(LPCWSTR fmt, va_list ap) {
    BareVPrintfW(fmt, ap);
}

void NKDbgPrintfW(LPCWSTR fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    BareVPrintfW(fmt, ap);
    va_end(ap);
}

// ---- Memory: register windows ---------------------------------------------------------------

namespace {
constexpr DWORD kWindowSlotSize = 0x2000;
constexpr DWORD kWindowSlots = BARE_WINDOW_SPAN / kWindowSlotSize;
BOOL g_slotUsed[kWindowSlots];
}  // namespace

LPVOID VirtualAlloc(LPVOID address, DWORD size, DWORD allocationType, DWORD protect) {
    if (address || size == 0 || size > kWindowSlotSize || allocationType != MEM_RESERVE ||
        protect != PAGE_NOACCESS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    for (DWORD i = 0; i < kWindowSlots; ++i) {
        if (!g_slotUsed[i]) {
            g_slotUsed[i] = TRUE;
            ++g_stats.liveWindows;
            return (LPVOID)(uintptr_t)(BARE_WINDOW_BASE + i * kWindowSlotSize);
        }
    }
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

BOOL VirtualCopy(LPVOID dest, LPVOID src, DWORD size, DWORD protect) {
    const uint32_t va = (uint32_t)(uintptr_t)dest;
    if (va < BARE_WINDOW_BASE || va >= BARE_WINDOW_BASE + BARE_WINDOW_SPAN || (va & 0xFFF) != 0 ||
        (size & 0xFFF) != 0 || size == 0 ||
        ((va - BARE_WINDOW_BASE) % kWindowSlotSize) + size > kWindowSlotSize ||
        !g_slotUsed[(va - BARE_WINDOW_BASE) / kWindowSlotSize]) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // PAGE_PHYSICAL: the source is a physical address divided by 256. Without it, the source is
    // a virtual address, which the identity map makes the same thing.
    uint32_t pa = (protect & PAGE_PHYSICAL) ? ((uint32_t)(uintptr_t)src << 8) : (uint32_t)(uintptr_t)src;
    if ((pa & 0xFFF) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (DWORD off = 0; off < size; off += 0x1000) BareMapPage(va + off, pa + off, 1);
    return TRUE;
}

BOOL VirtualFree(LPVOID address, DWORD size, DWORD freeType) {
    const uint32_t va = (uint32_t)(uintptr_t)address;
    if (freeType != MEM_RELEASE || size != 0 || va < BARE_WINDOW_BASE ||
        va >= BARE_WINDOW_BASE + BARE_WINDOW_SPAN || ((va - BARE_WINDOW_BASE) % kWindowSlotSize) != 0 ||
        !g_slotUsed[(va - BARE_WINDOW_BASE) / kWindowSlotSize]) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (DWORD off = 0; off < kWindowSlotSize; off += 0x1000) BareMapPage(va + off, 0, 0);
    g_slotUsed[(va - BARE_WINDOW_BASE) / kWindowSlotSize] = FALSE;
    --g_stats.liveWindows;
    return TRUE;
}

// ---- Kernel and HAL -------------------------------------------------------------------------

BOOL KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned) {
    if (returned) *returned = 0;
    if (code == IOCTL_HAL_REQUEST_SYSINTR) {
        if (!in || inSize < 4 || !out || outSize < 4) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const DWORD irq = *(const DWORD*)in;
        if (irq >= kMaxIrq) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        for (DWORD i = 0; i < kMaxIrq; ++i) {
            if (!g_sysIntr[i].allocated) {
                g_sysIntr[i] = SysIntrSlot{TRUE, irq, nullptr};
                ++g_stats.liveSysIntrs;
                *(DWORD*)out = kFirstSysIntr + i;
                return TRUE;
            }
        }
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (code == IOCTL_HAL_RELEASE_SYSINTR) {
        if (!in || inSize < 4) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        SysIntrSlot* s = slotOf(*(const DWORD*)in);
        if (!s) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        s->allocated = FALSE;
        --g_stats.liveSysIntrs;
        return TRUE;
    }
    // The kernel-call bridge serves user-mode processes; this image runs privileged and never
    // needs it. Counted, so that the checks can see that nothing asked.
    ++g_stats.bridgeRequests;
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL InterruptInitialize(DWORD sysIntr, HANDLE event, LPVOID, DWORD) {
    SysIntrSlot* s = slotOf(sysIntr);
    KernelObject* o = lookup(event);
    if (!s || !o || o->kind != kEvent || s->event) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ++o->refs;  // the kernel keeps its own reference
    s->event = event;
    BareWrite32(PXA_INTC_ICLR, BareRead32(PXA_INTC_ICLR) & ~intcMaskBit(s->irq));
    BareWrite32(PXA_INTC_ICMR, BareRead32(PXA_INTC_ICMR) | intcMaskBit(s->irq));
    return TRUE;
}

void InterruptDone(DWORD sysIntr) {
    SysIntrSlot* s = slotOf(sysIntr);
    if (!s || !s->event) return;
    ++g_stats.interruptDones;
    BareWrite32(PXA_INTC_ICMR, BareRead32(PXA_INTC_ICMR) | intcMaskBit(s->irq));
}

void InterruptDisable(DWORD sysIntr) {
    SysIntrSlot* s = slotOf(sysIntr);
    if (!s || !s->event) return;
    BareWrite32(PXA_INTC_ICMR, BareRead32(PXA_INTC_ICMR) & ~intcMaskBit(s->irq));
    CloseHandle(s->event);
    s->event = nullptr;
}

extern "C" void BareIrqDispatch(void) {
    const uint32_t pending = BareRead32(PXA_INTC_ICIP);
    for (DWORD irq = 0; irq < kMaxIrq; ++irq) {
        if (!(pending & intcMaskBit(irq))) continue;
        // As the kernel does: the source stays masked until the driver's InterruptDone.
        BareWrite32(PXA_INTC_ICMR, BareRead32(PXA_INTC_ICMR) & ~intcMaskBit(irq));
        ++g_stats.irqDeliveries[irq];
        for (DWORD i = 0; i < kMaxIrq; ++i) {
            if (g_sysIntr[i].allocated && g_sysIntr[i].irq == irq && g_sysIntr[i].event) {
                KernelObject* o = lookup(g_sysIntr[i].event);
                if (o) o->signalled = 1;
            }
        }
    }
}

// ---- A program's process: what the kernel takes back when it ends ---------------------------

namespace {
struct ProcessMark {
    BOOL active;
    DWORD refs[kMaxObjects];  // each object's references when the process started (0: free)
    BOOL windows[kWindowSlots];
    BOOL sysIntrs[kMaxIrq];
} g_process;
}  // namespace

void BareProcessStart(void) {
    g_process.active = TRUE;
    for (DWORD i = 0; i < kMaxObjects; ++i)
        g_process.refs[i] = g_objects[i].kind == kFree ? 0 : g_objects[i].refs;
    for (DWORD i = 0; i < kWindowSlots; ++i) g_process.windows[i] = g_slotUsed[i];
    for (DWORD i = 0; i < kMaxIrq; ++i) g_process.sysIntrs[i] = g_sysIntr[i].allocated;
}

void BareProcessEnd(void) {
    if (!g_process.active) return;
    g_process.active = FALSE;
    // Its handles are closed: objects it made go, those it opened lose its references.
    for (DWORD i = 0; i < kMaxObjects; ++i) {
        KernelObject& o = g_objects[i];
        if (o.kind == kFree) continue;
        if (g_process.refs[i] == 0) {
            o.kind = kFree;
            --g_stats.liveObjects;
        } else if (o.refs > g_process.refs[i]) {
            o.refs = g_process.refs[i];
        }
    }
    for (DWORD i = 0; i < kMaxIrq; ++i) {
        if (g_sysIntr[i].allocated && !g_process.sysIntrs[i]) {
            BareWrite32(PXA_INTC_ICMR, BareRead32(PXA_INTC_ICMR) & ~intcMaskBit(g_sysIntr[i].irq));
            g_sysIntr[i].allocated = FALSE;
            --g_stats.liveSysIntrs;
        }
    }
    // Its address space goes, register windows with it.
    for (DWORD i = 0; i < kWindowSlots; ++i) {
        if (g_slotUsed[i] && !g_process.windows[i])
            VirtualFree((LPVOID)(uintptr_t)(BARE_WINDOW_BASE + i * kWindowSlotSize), 0, MEM_RELEASE);
    }
}

// ---- Run-time support the compiler may call -------------------------------------------------

extern "C" void* memset(void* d, int c, size_t n) {
    unsigned char* p = (unsigned char*)d;
    while (n--) *p++ = (unsigned char)c;
    return d;
}

extern "C" void* memcpy(void* d, const void* s, size_t n) {
    unsigned char* p = (unsigned char*)d;
    const unsigned char* q = (const unsigned char*)s;
    while (n--) *p++ = *q++;
    return d;
}

extern "C" void* memmove(void* d, const void* s, size_t n) {
    unsigned char* p = (unsigned char*)d;
    const unsigned char* q = (const unsigned char*)s;
    if (p < q) {
        while (n--) *p++ = *q++;
    } else {
        while (n--) p[n] = q[n];
    }
    return d;
}

extern "C" int memcmp(const void* a, const void* b, size_t n) {
    const unsigned char* p = (const unsigned char*)a;
    const unsigned char* q = (const unsigned char*)b;
    for (; n; --n, ++p, ++q)
        if (*p != *q) return *p < *q ? -1 : 1;
    return 0;
}

extern "C" void __aeabi_memset(void* d, size_t n, int c) {
    memset(d, c, n);
}
extern "C" void __aeabi_memset4(void* d, size_t n, int c) {
    memset(d, c, n);
}
extern "C" void __aeabi_memclr(void* d, size_t n) {
    memset(d, 0, n);
}
extern "C" void __aeabi_memclr4(void* d, size_t n) {
    memset(d, 0, n);
}
extern "C" void __aeabi_memcpy(void* d, const void* s, size_t n) {
    memcpy(d, s, n);
}
extern "C" void __aeabi_memcpy4(void* d, const void* s, size_t n) {
    memcpy(d, s, n);
}
extern "C" void __aeabi_memmove(void* d, const void* s, size_t n) {
    memmove(d, s, n);
}

// Integer division by zero in GCC's arithmetic helpers; the Linux flavour of libgcc would raise a
// signal.
extern "C" int __aeabi_idiv0(int) {
    badCall("integer division by zero");
    return 0;
}
extern "C" long long __aeabi_ldiv0(long long) {
    badCall("integer division by zero");
    return 0;
}
