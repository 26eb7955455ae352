@ Start-up code and exception vectors of the bare-metal image.
@ QEMU's mainstone enters at the ELF entry in SVC mode with the MMU off and IRQ/FIQ masked.
@ The vector section is linked at 0x0 and lands in the boot flash there.

    .syntax unified
    .arm

    .section .vectors, "ax"
    .global bare_vectors
bare_vectors:
    ldr pc, vec_reset
    ldr pc, vec_undef
    ldr pc, vec_swi
    ldr pc, vec_pabort
    ldr pc, vec_dabort
    nop
    ldr pc, vec_irq
    ldr pc, vec_fiq
vec_reset:  .word _start
vec_undef:  .word undef_entry
vec_swi:    .word swi_entry
vec_pabort: .word pabort_entry
vec_dabort: .word dabort_entry
    .word 0
vec_irq:    .word irq_entry
vec_fiq:    .word fiq_entry

    .text
    .global _start
_start:
    @ A stack for every mode that can be entered; interrupts stay masked until the board is set up.
    msr cpsr_c, #0xD2           @ IRQ
    ldr sp, =__irq_stack_top
    msr cpsr_c, #0xD7           @ abort
    ldr sp, =__exc_stack_top
    msr cpsr_c, #0xDB           @ undefined
    ldr sp, =__exc_stack_top
    msr cpsr_c, #0xD1           @ FIQ
    ldr sp, =__exc_stack_top
    msr cpsr_c, #0xD3           @ SVC: the program's mode
    ldr sp, =__svc_stack_top

    ldr r0, =__bss_start
    ldr r1, =__bss_end
    mov r2, #0
1:  cmp r0, r1
    strlo r2, [r0], #4
    blo 1b

    ldr r4, =__init_array_start
    ldr r5, =__init_array_end
2:  cmp r4, r5
    bhs 3f
    ldr r3, [r4], #4
    blx r3
    b 2b
3:
    bl BareMain
    bl BareExit                 @ r0: exit status
4:  b 4b

irq_entry:
    sub lr, lr, #4
    stmfd sp!, {r0-r3, r12, lr}
    bl BareIrqDispatch
    ldmfd sp!, {r0-r3, r12, pc}^

@ Anything else is a fault of the image: report the mode and the address, then stop.
undef_entry:
    mov r1, lr
    mov r0, #1
    b BareFatalException
swi_entry:
    mov r1, lr
    mov r0, #2
    b BareFatalException
pabort_entry:
    mov r1, lr
    mov r0, #3
    b BareFatalException
dabort_entry:
    mov r1, lr
    mov r0, #4
    b BareFatalException
fiq_entry:
    mov r1, lr
    mov r0, #5
    b BareFatalException

    .global BareSemihost
@ r0: operation, r1: parameter block. ARM-state semihosting call.
BareSemihost:
    svc 0x123456
    bx lr

@ r0: a program's entry point, r1: its module address, r2: its command line. The entry is called
@ as the platform's loader calls it, entry(hInstance, null, command line, SW_SHOW); the program
@ ends through BareEndProgram (ExitThread), which comes back here with its exit code in r0.
    .global BareRunProgram
BareRunProgram:
    push {r4-r11, lr}
    ldr ip, =bare_program_sp
    str sp, [ip]
    mov ip, r0
    mov r0, r1
    mov r1, #0
    mov r3, #5
    blx ip
bare_program_ended:
    pop {r4-r11, pc}

    .global BareEndProgram
BareEndProgram:
    ldr ip, =bare_program_sp
    ldr sp, [ip]
    b bare_program_ended

    .bss
    .p2align 2
bare_program_sp:
    .word 0
    .text
    .section .note.GNU-stack, "", %progbits
