# The device's own build: Windows CE 5.0 on ARMv5TE, ARM state, the platform's calling convention.
#
# Debian's clang compiles freestanding code (no C library: the platform's C run-time is COREDLL's)
# with the platform's APCS calling convention (-mabi=apcs-gnu: 4-byte stack alignment at calls,
# 64-bit arguments not moved to even register pairs), 16-bit wchar_t and int-sized enums. UNDER_CE
# and _WIN32_WCE are the platform build's own macros. ld.lld links; device/elf2pe.py turns the
# linked ELF into the PE32 file.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

find_program(TAMBLIN_CLANG NAMES clang clang-14 REQUIRED)
find_program(TAMBLIN_CLANGXX NAMES clang++ clang++-14 REQUIRED)
find_program(TAMBLIN_LLD NAMES ld.lld ld.lld-14 REQUIRED)
set(CMAKE_C_COMPILER ${TAMBLIN_CLANG})
set(CMAKE_CXX_COMPILER ${TAMBLIN_CLANGXX})
set(CMAKE_ASM_COMPILER ${TAMBLIN_CLANG})
set(TAMBLIN_CE_TRIPLE armv5te-none-eabi)
set(CMAKE_C_COMPILER_TARGET ${TAMBLIN_CE_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${TAMBLIN_CE_TRIPLE})
set(CMAKE_ASM_COMPILER_TARGET ${TAMBLIN_CE_TRIPLE})
set(_ce_flags "-march=armv5te -marm -mabi=apcs-gnu -mfloat-abi=soft -ffreestanding -fshort-wchar -fno-short-enums")
set(_ce_flags "${_ce_flags} -DUNDER_CE -D_WIN32_WCE=0x500")
set(CMAKE_C_FLAGS_INIT "${_ce_flags}")
set(CMAKE_CXX_FLAGS_INIT
    "${_ce_flags} -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-unwind-tables -fno-asynchronous-unwind-tables")
set(CMAKE_ASM_FLAGS_INIT "-march=armv5te -marm -mabi=apcs-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-nostdlib -fuse-ld=${TAMBLIN_LLD}")

set(CMAKE_AR /usr/bin/arm-linux-gnueabi-ar CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/arm-linux-gnueabi-ranlib CACHE FILEPATH "")
# Integer division helpers, should the code need any: Debian ships no compiler-rt builtins for ARM
# on an x86-64 host, so they come from GCC's armel libgcc (its hand-written assembly routines take
# word arguments in registers and use no stack, the same under either calling convention).
set(TAMBLIN_LIBGCC /usr/lib/gcc-cross/arm-linux-gnueabi/12/libgcc.a)
