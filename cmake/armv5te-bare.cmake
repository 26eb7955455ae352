# Bare-metal build for ARMv5TE (ARM mode, soft float), no operating system and no C library:
# Debian's clang as the compiler, Debian's arm-linux-gnueabi binutils as the linker, and GCC's
# libgcc from the armel cross packages for the arithmetic helpers. Used by bare/CMakeLists.txt.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

find_program(TAMBLIN_CLANG NAMES clang clang-14 REQUIRED)
find_program(TAMBLIN_CLANGXX NAMES clang++ clang++-14 REQUIRED)
set(CMAKE_C_COMPILER ${TAMBLIN_CLANG})
set(CMAKE_CXX_COMPILER ${TAMBLIN_CLANGXX})
set(CMAKE_ASM_COMPILER ${TAMBLIN_CLANG})
set(TAMBLIN_BARE_TRIPLE arm-none-eabi)
set(CMAKE_C_COMPILER_TARGET ${TAMBLIN_BARE_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${TAMBLIN_BARE_TRIPLE})
set(CMAKE_ASM_COMPILER_TARGET ${TAMBLIN_BARE_TRIPLE})
set(_bare_flags "-march=armv5te -marm -mfloat-abi=soft -ffreestanding -fno-builtin")
set(CMAKE_C_FLAGS_INIT "${_bare_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_bare_flags} -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit")
set(CMAKE_ASM_FLAGS_INIT "-march=armv5te -marm")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-nostdlib -fuse-ld=/usr/bin/arm-linux-gnueabi-ld")

set(CMAKE_AR /usr/bin/arm-linux-gnueabi-ar CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/arm-linux-gnueabi-ranlib CACHE FILEPATH "")
set(TAMBLIN_LIBGCC /usr/lib/gcc-cross/arm-linux-gnueabi/12/libgcc.a)
