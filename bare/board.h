// The minimal board layer of the bare-metal image on QEMU's mainstone (PXA27x): serial output,
// the exit status through semihosting, the MMU with the platform's register windows, the
// interrupt controller and the OS timer. Everything here runs in SVC mode.
#pragma once

#include <stdarg.h>
#include <stdint.h>

#define PXA_FFUART_BASE 0x40100000u
#define PXA_INTC_ICIP 0x40D00000u  // IRQ pending (after the mask)
#define PXA_INTC_ICMR 0x40D00004u  // mask: 1 lets the source through
#define PXA_INTC_ICLR 0x40D00008u  // level: 0 = IRQ
#define PXA_INTC_ICPR 0x40D00010u  // raw pending levels
#define PXA_OSCR0 0x40A00010u      // OS timer counter, 3.25 MHz
#define PXA_OSCR_TICKS_PER_MS 3250u
#define PXA_CKEN 0x41300004u
#define PXA_PCFR 0x40F0001Cu
#define PXA_GPIO_BASE 0x40E00000u

static inline uint32_t BareRead32(uint32_t addr) {
    return *(volatile uint32_t*)(uintptr_t)addr;
}
static inline void BareWrite32(uint32_t addr, uint32_t value) {
    *(volatile uint32_t*)(uintptr_t)addr = value;
}

extern "C" {
void BareExit(int status);
void BareFatalException(int kind, uint32_t address);
void BareIrqDispatch(void);
int BareMain(void);
uint32_t BareSemihost(uint32_t op, void* block);
// Calls a program's entry point entry(hInstance, null, commandLine, SW_SHOW) and returns its exit
// code: what it passes to BareEndProgram (from ExitThread), or what the entry returns.
uint32_t BareRunProgram(uint32_t entry, uint32_t hInstance, const char16_t* commandLine);
[[noreturn]] void BareEndProgram(uint32_t exitCode);
}

// Serial output (FFUART). Line feeds go out as they are: the product's messages carry their own
// line ends.
void BarePutc(char c);
void BarePuts(const char* s);
void BarePrintf(const char* fmt, ...);
void BareVPrintf(const char* fmt, va_list ap);
// Also keeps what goes out in `buffer` (NUL-terminated, cut at `size`), until called with null.
void BareCapture(char* buffer, uint32_t size);
// As BareVPrintf, for 16-bit characters (the platform's debug output).
void BareVPrintfW(const char16_t* fmt, va_list ap);

// Interrupts: IRQ masked / unmasked in the CPSR; returns the previous CPSR.
uint32_t BareDisableIrq(void);
void BareRestoreIrq(uint32_t cpsr);
void BareEnableIrq(void);

// OS timer.
uint32_t BareTicks(void);
void BareDelayMs(uint32_t ms);

// MMU: the whole 4 GB identity-mapped in sections, uncached, plus one megabyte of register
// windows made of 4 KB pages that VirtualAlloc reserves and VirtualCopy binds.
void BareMmuInit(void);
#define BARE_WINDOW_BASE 0x50000000u
#define BARE_WINDOW_SPAN 0x00100000u
// Binds the 4 KB page at `va` (inside the window megabyte) to `pa`, or unbinds it when `bind` is 0.
void BareMapPage(uint32_t va, uint32_t pa, int bind);
