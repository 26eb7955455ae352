@ Tamblin.exe, the device build's file, carried in the image as it is (make device makes it).
    .section .rodata.tamblin_exe, "a", %progbits
    .p2align 2
    .global bare_tamblin_exe
    .global bare_tamblin_exe_end
bare_tamblin_exe:
    .incbin TAMBLIN_EXE_PATH
bare_tamblin_exe_end:
    .section .note.GNU-stack, "", %progbits
