// Serial port, semihosting, MMU, OS timer and CPSR control of the bare-metal image.
#include "board.h"

#define UART_THR (PXA_FFUART_BASE + 0x00u)
#define UART_LSR (PXA_FFUART_BASE + 0x14u)
#define UART_LSR_THRE 0x20u

#define SEMIHOST_SYS_EXIT_EXTENDED 0x20u
#define ADP_STOPPED_APPLICATION_EXIT 0x20026u

namespace {
char* g_capture;  // where the serial output is also kept, while a check asks for it
uint32_t g_captureSize, g_captured;
}  // namespace

void BareCapture(char* buffer, uint32_t size) {
    g_capture = buffer;
    g_captureSize = size;
    g_captured = 0;
    if (buffer && size) buffer[0] = 0;
}

void BarePutc(char c) {
    if (g_capture && g_captured + 1 < g_captureSize) {
        g_capture[g_captured++] = c;
        g_capture[g_captured] = 0;
    }
    while (!(BareRead32(UART_LSR) & UART_LSR_THRE)) {
    }
    BareWrite32(UART_THR, (uint8_t)c);
}

void BarePuts(const char* s) {
    while (*s) BarePutc(*s++);
}

namespace {

void putUnsigned(uint32_t v, unsigned base, bool upper, int width, char pad, bool negative) {
    char buf[12];
    int n = 0;
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        buf[n++] = digits[v % base];
        v /= base;
    } while (v != 0);
    if (negative) {
        if (pad == '0') BarePutc('-');
        width--;
    }
    for (int i = n; i < width; ++i) BarePutc(pad);
    if (negative && pad != '0') BarePutc('-');
    while (n > 0) BarePutc(buf[--n]);
}

// One conversion of a printf-style format; returns the number of format characters consumed
// after the '%'. CharT is the format's character type, WideArgs says what %s takes.
template <typename CharT>
int convert(const CharT* f, va_list* ap, bool wideStrings) {
    int used = 0;
    char pad = ' ';
    int width = 0;
    if (f[used] == '0') {
        pad = '0';
        ++used;
    }
    while (f[used] >= '0' && f[used] <= '9') width = width * 10 + (int)(f[used++] - '0');
    if (f[used] == '.') {
        // A precision: at least that many digits (the product's dates are "%.2d.%.2d.%.4d").
        int precision = 0;
        ++used;
        while (f[used] >= '0' && f[used] <= '9') precision = precision * 10 + (int)(f[used++] - '0');
        if (precision > width) width = precision;
        pad = '0';
    }
    while (f[used] == 'l' || f[used] == 'h') ++used;
    const CharT c = f[used++];
    switch (c) {
        case 'd':
        case 'i': {
            int32_t v = va_arg(*ap, int32_t);
            putUnsigned(v < 0 ? (uint32_t)(-(int64_t)v) : (uint32_t)v, 10, false, width, pad, v < 0);
            break;
        }
        case 'u':
            putUnsigned(va_arg(*ap, uint32_t), 10, false, width, pad, false);
            break;
        case 'x':
        case 'X':
            putUnsigned(va_arg(*ap, uint32_t), 16, c == 'X', width, pad, false);
            break;
        case 'c':
            BarePutc((char)va_arg(*ap, int));
            break;
        case 's':
            if (wideStrings) {
                const char16_t* s = va_arg(*ap, const char16_t*);
                for (; s && *s; ++s) BarePutc(*s < 0x80 ? (char)*s : '?');
            } else {
                const char* s = va_arg(*ap, const char*);
                BarePuts(s ? s : "(null)");
            }
            break;
        case '%':
            BarePutc('%');
            break;
        default:
            BarePutc('%');
            BarePutc(c < 0x80 ? (char)c : '?');
            break;
    }
    return used;
}

template <typename CharT>
void format(const CharT* fmt, va_list ap, bool wideStrings) {
    va_list copy;
    va_copy(copy, ap);
    for (const CharT* f = fmt; *f; ++f) {
        if (*f != '%') {
            BarePutc(*f < 0x80 ? (char)*f : '?');
            continue;
        }
        f += convert(f + 1, &copy, wideStrings);
    }
    va_end(copy);
}

}  // namespace

void BareVPrintf(const char* fmt, va_list ap) {
    format(fmt, ap, false);
}
void BareVPrintfW(const char16_t* fmt, va_list ap) {
    format(fmt, ap, true);
}

void BarePrintf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    BareVPrintf(fmt, ap);
    va_end(ap);
}

extern "C" void BareExit(int status) {
    uint32_t block[2] = {ADP_STOPPED_APPLICATION_EXIT, (uint32_t)status};
    BareSemihost(SEMIHOST_SYS_EXIT_EXTENDED, block);
    for (;;) {
    }
}

extern "C" void BareFatalException(int kind, uint32_t address) {
    static const char* const names[] = {
        "?", "undefined instruction", "software interrupt", "prefetch abort", "data abort", "FIQ"};
    uint32_t far = 0, fsr = 0;
    __asm__ volatile("mrc p15, 0, %0, c6, c0, 0" : "=r"(far));
    __asm__ volatile("mrc p15, 0, %0, c5, c0, 0" : "=r"(fsr));
    BarePrintf("FATAL: %s near 0x%08x (fault address 0x%08x, status 0x%x)\n", names[kind], address, far, fsr);
    BareExit(100);
}

uint32_t BareDisableIrq(void) {
    uint32_t cpsr;
    __asm__ volatile("mrs %0, cpsr" : "=r"(cpsr));
    __asm__ volatile("msr cpsr_c, %0" ::"r"(cpsr | 0x80u) : "memory");
    return cpsr;
}

void BareRestoreIrq(uint32_t cpsr) {
    __asm__ volatile("msr cpsr_c, %0" ::"r"(cpsr) : "memory");
}

void BareEnableIrq(void) {
    uint32_t cpsr;
    __asm__ volatile("mrs %0, cpsr" : "=r"(cpsr));
    __asm__ volatile("msr cpsr_c, %0" ::"r"(cpsr & ~0x80u) : "memory");
}

uint32_t BareTicks(void) {
    return BareRead32(PXA_OSCR0);
}

void BareDelayMs(uint32_t ms) {
    const uint32_t start = BareTicks();
    while (BareTicks() - start < ms * PXA_OSCR_TICKS_PER_MS) {
    }
}

// ---- MMU ------------------------------------------------------------------------------------

namespace {

// First-level table: 4096 section entries. Second-level coarse table for the window megabyte.
alignas(16384) uint32_t g_l1[4096];
alignas(1024) uint32_t g_l2[256];

constexpr uint32_t kSection = 0x2u | 0x10u | (3u << 10);  // section, SBO bit 4, AP = read/write, uncached
constexpr uint32_t kCoarse = 0x1u | 0x10u;                // coarse table, domain 0
constexpr uint32_t kSmallPage = 0x2u | 0xFF0u;            // small page, AP = read/write for all four
                                                          // subpages, uncached and unbuffered

void flushTlb() {
    uint32_t zero = 0;
    __asm__ volatile("mcr p15, 0, %0, c8, c7, 0" ::"r"(zero) : "memory");
}

}  // namespace

void BareMmuInit(void) {
    for (uint32_t i = 0; i < 4096; ++i) g_l1[i] = (i << 20) | kSection;
    for (uint32_t i = 0; i < 256; ++i) g_l2[i] = 0;
    g_l1[BARE_WINDOW_BASE >> 20] = (uint32_t)(uintptr_t)g_l2 | kCoarse;
    const uint32_t ttb = (uint32_t)(uintptr_t)g_l1;
    const uint32_t clientDomain0 = 0x1u;
    __asm__ volatile("mcr p15, 0, %0, c2, c0, 0" ::"r"(ttb));
    __asm__ volatile("mcr p15, 0, %0, c3, c0, 0" ::"r"(clientDomain0));
    flushTlb();
    uint32_t ctl;
    __asm__ volatile("mrc p15, 0, %0, c1, c0, 0" : "=r"(ctl));
    ctl |= 0x1u;  // M: the MMU on; caches stay off
    __asm__ volatile("mcr p15, 0, %0, c1, c0, 0" ::"r"(ctl) : "memory");
}

void BareMapPage(uint32_t va, uint32_t pa, int bind) {
    const uint32_t index = (va - BARE_WINDOW_BASE) >> 12;
    g_l2[index] = bind ? ((pa & 0xFFFFF000u) | kSmallPage) : 0u;
    flushTlb();
}
