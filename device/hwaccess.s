; The two instructions of the hardware seams (platform/hwaccess.h) for the platform's own build of
; Tamblin.exe (device/sources, ARM_SOURCES), whose ARM compiler takes no inline assembly. armasm
; syntax, with the platform's kxarm.h entry macros. Clang's device build takes the seams inline
; and does not use this file.

        INCLUDE kxarm.h

        TEXTAREA

; DWORD HwReadCpsr(void): the processor's mode bits (user mode or a privileged one).
        LEAF_ENTRY HwReadCpsr
        mrs     r0, cpsr
        bx      lr
        ENTRY_END

; DWORD HwReadMainId(void): the main ID register. An undefined instruction in user mode: the
; program asks the kernel-call bridge for it there.
        LEAF_ENTRY HwReadMainId
        mrc     p15, 0, r0, c0, c0, 0
        bx      lr
        ENTRY_END

        END
