// The few places where the program executes a privileged instruction or touches a register.
// On the device they are the instructions themselves; a host build supplies them from the
// virtual board, so everything above this header is the code the device runs.
//
// TAMBLIN_HOST_SEAMS asks for the virtual board's seams even when compiling for ARM: the host
// test suite cross-built for ARM runs against the virtual board, not against real registers.
#pragma once

#include <windows.h>

// Word of the kernel data page that holds the current process's handle.
#define KDATA_CURRENT_PROCESS_ADDR 0xFFFFC80Cu

#if defined(__arm__) && !defined(TAMBLIN_HOST_SEAMS)

static inline DWORD HwReadCpsr(void) {
    DWORD value;
    __asm__ volatile("mrs %0, cpsr" : "=r"(value));
    return value;
}

static inline DWORD HwReadMainId(void) {
    DWORD value;
    __asm__ volatile("mrc p15, 0, %0, c0, c0, 0" : "=r"(value));
    return value;
}

static inline DWORD HwReadKDataWord(DWORD address) {
    return *(volatile DWORD*)(uintptr_t)address;
}

static inline DWORD HwRead32(const volatile DWORD* reg) {
    return *reg;
}

static inline void HwWrite32(volatile DWORD* reg, DWORD value) {
    *reg = value;
}

#else

// Plain C names: a test puts itself between the product and the board by these names (the
// linker's --wrap).
extern "C" {
DWORD HwReadCpsr(void);
DWORD HwReadMainId(void);
DWORD HwReadKDataWord(DWORD address);
DWORD HwRead32(const volatile DWORD* reg);
void HwWrite32(volatile DWORD* reg, DWORD value);
}

#endif
