# Cross build for the device's instruction set: ARMv5TE, ARM mode, soft float, Linux EABI user space.
#
# Compiler: Debian's clang, targeting arm-linux-gnueabi. Debian's own cross gcc
# (g++-arm-linux-gnueabi) conflicts with gcc-multilib, which the 32-bit host build needs, so the two
# cannot be installed side by side. Clang uses Debian's cross binutils, glibc and libstdc++
# (binutils-arm-linux-gnueabi, libc6-dev-armel-cross, libstdc++-12-dev-armel-cross,
# libgcc-12-dev-armel-cross), which it finds through the GCC cross installation in
# /usr/lib/gcc-cross/arm-linux-gnueabi/12. No --sysroot: Debian's cross libraries live in
# /usr/arm-linux-gnueabi and their linker scripts name absolute paths there.
#
# Executables run under qemu-arm (Debian's qemu-user) with the cross libraries as the root, on an
# XScale PXA270 core (ARMv5TE): qemu-arm's default CPU is an ARMv8 one on which user code may read
# the main ID register, as an arm64 kernel allows; on the ARMv5 parts the program runs on, that read
# is an undefined instruction in user mode.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(TAMBLIN_ARM_TRIPLE arm-linux-gnueabi)
set(TAMBLIN_ARM_FLAGS "--target=${TAMBLIN_ARM_TRIPLE} -march=armv5te -marm -mfloat-abi=soft")

find_program(TAMBLIN_CLANG NAMES clang clang-14 REQUIRED)
find_program(TAMBLIN_CLANGXX NAMES clang++ clang++-14 REQUIRED)
set(CMAKE_C_COMPILER ${TAMBLIN_CLANG})
set(CMAKE_CXX_COMPILER ${TAMBLIN_CLANGXX})
set(CMAKE_C_COMPILER_TARGET ${TAMBLIN_ARM_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${TAMBLIN_ARM_TRIPLE})
set(CMAKE_C_FLAGS_INIT "${TAMBLIN_ARM_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${TAMBLIN_ARM_FLAGS}")
set(CMAKE_ASM_FLAGS_INIT "${TAMBLIN_ARM_FLAGS}")
# Static programs: qemu-arm would otherwise run the dynamic loader's relocation of libstdc++ at
# every start of every program, and the suite starts thousands of them. LLVM's linker links a
# static test program in a fraction of a second, where the armel binutils' took eight.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -static")
# ARMv5 has no exclusive loads and stores: clang makes the atomics of libstdc++ (shared_ptr counts,
# std::atomic) into __atomic_* calls, which GCC's libatomic supplies on top of the kernel helpers.
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-latomic")
set(CMAKE_C_STANDARD_LIBRARIES_INIT "-latomic")

set(CMAKE_AR /usr/bin/${TAMBLIN_ARM_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/${TAMBLIN_ARM_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJCOPY /usr/bin/${TAMBLIN_ARM_TRIPLE}-objcopy CACHE FILEPATH "")
set(CMAKE_SIZE /usr/bin/${TAMBLIN_ARM_TRIPLE}-size CACHE FILEPATH "")

set(TAMBLIN_ARM_LIBROOT /usr/${TAMBLIN_ARM_TRIPLE})
set(TAMBLIN_ARM_CPU pxa270)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm;-cpu;${TAMBLIN_ARM_CPU};-L;${TAMBLIN_ARM_LIBROOT})

# Header-only libraries (nlohmann-json, CLI11) and googletest's sources are architecture-free and
# come from the host's /usr; libraries and programs must be the target's.
set(CMAKE_FIND_ROOT_PATH ${TAMBLIN_ARM_LIBROOT} /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
