@ The program's calls into COREDLL.dll. Each import is a thunk that jumps through its slot of the
@ import address table, which the platform's loader fills with the export's address before the
@ entry point runs; `ldr pc` interworks, so the export may be ARM or Thumb code. A thunk and its
@ slot live in sections of their own: the link keeps exactly the imports the program calls.
    .syntax unified
    .arm

.macro IMPORT name
    .section .text.import.\name, "ax", %progbits
    .global \name
    .type \name, %function
    .p2align 2
\name:
    ldr ip, 1f
    ldr pc, [ip]
1:  .word __imp_\name
    .size \name, . - \name

    .section .idata.iat.\name, "aw", %progbits
    .global __imp_\name
    .p2align 2
__imp_\name:
    .word 0
.endm

#define COREDLL_IMPORT(name, words) IMPORT name
#define COREDLL_CRT_IMPORT(name, words) IMPORT name
#define COREDLL_VARIADIC_IMPORT(name, words, vname) IMPORT name
#include "coredll_imports.h"
