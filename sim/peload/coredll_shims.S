@ The calling-convention bridge between a Windows CE program and the platform layer it runs on.
@
@ The program is built for the platform's APCS: the stack is only 4-byte aligned at a call, and a
@ 64-bit argument is not moved to an even register pair. The platform layers here are built for
@ AAPCS, whose functions may rely on an 8-byte aligned stack (ldrd/strd of their locals). Each
@ shim therefore realigns the stack, copies the arguments that the caller left on its stack (the
@ fifth word on) to the new place, calls the function of the export's name and puts the stack
@ back. No export this program imports takes a 64-bit argument; one that does would need its
@ words moved and is not bridged here.
@
@ NKDbgPrintfW is variadic: its shim lays the words after the format (r1-r3, then the caller's
@ stacked words) out as one array and hands that to NKvDbgPrintfW as its va_list, which on AAPCS
@ is a pointer to the next argument word. The debug print has no 64-bit conversion, so every
@ argument is one word and the array is read as the caller wrote it.
@
@ The other direction needs no bridge: the platform calls into the program only through the
@ kernel-call bridge, with at most four word arguments, all in r0-r3 under either convention,
@ and an 8-byte aligned stack is also 4-byte aligned.
@
@ Unwinding stops at a shim (.cantunwind): a C++ exception from the platform layer cannot pass
@ through the program's frames, which carry no unwind tables; the loader turns it into a board
@ fault.
    .syntax unified
    .arm
    .text

.macro SHIM_ENTRY name
    .global tamblin_shim_\name
    .type tamblin_shim_\name, %function
    .p2align 2
tamblin_shim_\name:
    .fnstart
    .cantunwind
.endm

.macro SHIM_END name
    .fnend
    .size tamblin_shim_\name, . - tamblin_shim_\name
.endm

.macro SHIM name, target, words
    SHIM_ENTRY \name
    push {r4, lr}
    mov r4, sp
    .if \words > 4
    sub sp, sp, #(4 * (\words - 4))
    .endif
    bic sp, sp, #7
    .if \words > 4
    .set shim_word, 0
    .rept \words - 4
    ldr ip, [r4, #(8 + 4 * shim_word)]
    str ip, [sp, #(4 * shim_word)]
    .set shim_word, shim_word + 1
    .endr
    .endif
    bl \target
    mov sp, r4
    pop {r4, pc}
    SHIM_END \name
.endm

.macro VARIADIC_SHIM name, words, vtarget
    .if \words != 1
    .error "variadic shims take the format as their one fixed argument"
    .endif
    SHIM_ENTRY \name
    push {r1, r2, r3}
    push {r4, lr}
    mov r4, sp
    add r1, sp, #8
    bic sp, sp, #7
    bl \vtarget
    mov sp, r4
    pop {r4, lr}
    add sp, sp, #12
    bx lr
    SHIM_END \name
.endm

#define COREDLL_IMPORT(name, words) SHIM name, name, words
#define COREDLL_CRT_IMPORT(name, words) SHIM name, tamblin_crt_##name, words
#define COREDLL_VARIADIC_IMPORT(name, words, vname) VARIADIC_SHIM name, words, vname
#include "../../device/coredll_imports.h"

    .section .note.GNU-stack, "", %progbits
