# Targets of the ARM cross build (cmake/arm-linux-gnueabi.cmake), included by the top-level
# CMakeLists.txt after the host targets.
#
# Two builds of the product code live side by side here:
# - the device build (tamblin_device_*): the product folders with the real seams (mrs, mrc p15,
#   plain volatile register accesses), -Os, for the code size and the tests of the seams;
# - the host suite cross-built for ARM: every target of the host build, with TAMBLIN_HOST_SEAMS so
#   that the seams come from the virtual board as they do on the host.

# Every host target takes the platform headers through ceapi_headers. A target marked
# TAMBLIN_DEVICE keeps the real seams even when it links the host stand-in.
target_compile_definitions(ceapi_headers
                           INTERFACE $<$<NOT:$<BOOL:$<TARGET_PROPERTY:TAMBLIN_DEVICE>>>:TAMBLIN_HOST_SEAMS>)

# Programs that the tests start (vboard, tamblin) are ARM executables; the host kernel cannot run
# them without binfmt_misc, which containers and CI machines rarely have. Each is built under a
# .arm name, and a shell wrapper with the plain name runs it under qemu-arm. /proc/self/exe of a
# program under qemu-arm is the .arm file, so the wrappers sit in the same directory.
foreach(prog tamblin vboard)
  set_target_properties(${prog} PROPERTIES OUTPUT_NAME ${prog}.arm)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/bin/${prog}
       CONTENT "#!/bin/sh\nexec /usr/bin/qemu-arm -cpu ${TAMBLIN_ARM_CPU} -L ${TAMBLIN_ARM_LIBROOT} \"$(dirname \"$0\")/${prog}.arm\" \"$@\"\n"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()

# ---- Device build of the product code -------------------------------------------------------
set(TAMBLIN_DEVICE_LIBS "")
foreach(sub app rtc i2c gpiolib platform)
  if(${sub}_SOURCES)
    add_library(tamblin_device_${sub} STATIC ${${sub}_SOURCES})
    target_include_directories(tamblin_device_${sub} PUBLIC ${CMAKE_SOURCE_DIR}/sim/ceapi/include)
    # Plain C-style code: nothing of the C++ run time beyond what C would need.
    target_compile_options(tamblin_device_${sub} PRIVATE -Os -fno-exceptions -fno-rtti -ffunction-sections
                                                         -fdata-sections)
    set_target_properties(tamblin_device_${sub} PROPERTIES ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/device
                                                           TAMBLIN_DEVICE ON)
    list(APPEND TAMBLIN_DEVICE_LIBS tamblin_device_${sub})
  endif()
endforeach()

# Size of the product code: text + rodata of every product object, as the device build makes it.
set(_size_files "")
foreach(lib ${TAMBLIN_DEVICE_LIBS})
  list(APPEND _size_files $<TARGET_FILE:${lib}>)
endforeach()
add_custom_target(product-size
                  COMMAND ${CMAKE_COMMAND} -DSIZE=${CMAKE_SIZE} -DREADELF=/usr/bin/${TAMBLIN_ARM_TRIPLE}-readelf
                          "-DLIBS=${_size_files}" -P ${CMAKE_SOURCE_DIR}/cmake/product-size.cmake
                  DEPENDS ${TAMBLIN_DEVICE_LIBS}
                  VERBATIM)

# ---- Tests of the real seams (ARM only, run under qemu-arm) ---------------------------------
# In a Linux user process the CPU really is in user mode, and CP15 really is out of reach.
file(GLOB ARM_SEAM_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/arm/*.cpp)
if(ARM_SEAM_TEST_SOURCES AND TARGET tamblin_device_platform AND TARGET tamblin_device_gpiolib)
  add_executable(arm_seam_tests ${ARM_SEAM_TEST_SOURCES})
  target_include_directories(arm_seam_tests PRIVATE ${CMAKE_SOURCE_DIR})
  set_target_properties(arm_seam_tests PROPERTIES TAMBLIN_DEVICE ON)
  # The platform calls that the device objects import come from the host stand-in; the tests
  # only reach the seams, which the device objects carry inline.
  target_link_libraries(arm_seam_tests PRIVATE tamblin_device_gpiolib tamblin_device_platform tamblin_sim
                                               GTest::gtest_main)
  tamblin_gtests(arm_seam_tests 1)
endif()

# ---- Tamblin.exe on the virtual board: the loader (sim/peload) ------------------------------
# The device's own file (make device: build-device/Tamblin.exe), loaded, relocated and bound to
# the stand-in by celoader, its instructions run by qemu-arm. bin/tamblin-exe runs it with the
# arguments given, as bin/tamblin runs the host build.
enable_language(ASM)
set(TAMBLIN_DEVICE_EXE ${CMAKE_SOURCE_DIR}/build-device/Tamblin.exe CACHE FILEPATH "the device build's Tamblin.exe")
add_executable(celoader ${CMAKE_SOURCE_DIR}/sim/peload/celoader.cpp ${CMAKE_SOURCE_DIR}/sim/peload/pe_loader.cpp
                        ${CMAKE_SOURCE_DIR}/sim/peload/coredll_exports.cpp ${CMAKE_SOURCE_DIR}/sim/peload/coredll_shims.S)
target_include_directories(celoader PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(celoader PRIVATE tamblin_seams tamblin_sim)
set_target_properties(celoader PROPERTIES OUTPUT_NAME celoader.arm)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/bin/celoader
     CONTENT "#!/bin/sh\nexec /usr/bin/qemu-arm -cpu ${TAMBLIN_ARM_CPU} -L ${TAMBLIN_ARM_LIBROOT} \"$(dirname \"$0\")/celoader.arm\" \"$@\"\n"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/bin/tamblin-exe
     CONTENT "#!/bin/sh\nexec \"$(dirname \"$0\")/celoader\" ${TAMBLIN_DEVICE_EXE} \"$@\"\n"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The product's sources as the platform's own compilers take them (C++03, Microsoft extensions, no
# exceptions or RTTI, 16-bit wchar_t): a syntax pass of clang in that mode.
add_test(NAME DeviceSources.CompileAsThePlatformCompilersOfItsEraTakeThem
         COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tests/device/cxx03_check.py ${TAMBLIN_CLANGXX} ${CMAKE_SOURCE_DIR})

# The file checked by an independent reader, and run beside the host build on twin boards.
add_test(NAME DeviceFile.StructureAsAnIndependentReaderSeesIt
         COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tests/device/check_pe.py ${TAMBLIN_DEVICE_EXE}
                 ${CMAKE_SOURCE_DIR}/device/coredll_imports.h)
# Its version resource read by two independent readers, and the file built again elsewhere.
add_test(NAME DeviceFile.VersionResourceAsIndependentReadersSeeIt
         COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tests/device/check_version.py ${TAMBLIN_DEVICE_EXE}
                 ${CMAKE_SOURCE_DIR})
get_filename_component(_device_dir ${TAMBLIN_DEVICE_EXE} DIRECTORY)
# The conversion's resource directory for resources of every kind, and damaged resource files.
add_test(NAME DeviceFile.ResourcesOfEveryKindAsReadersSeeThem
         COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tests/device/check_resources.py ${_device_dir}/tamblin.elf
                 ${CMAKE_SOURCE_DIR})
add_executable(device_exe_tests ${CMAKE_SOURCE_DIR}/tests/device/exe_run_test.cpp)
target_link_libraries(device_exe_tests PRIVATE tamblin_testsupport GTest::gtest_main)
target_compile_definitions(device_exe_tests PRIVATE TAMBLIN_DEVICE_EXE="${TAMBLIN_DEVICE_EXE}"
                                                    TAMBLIN_DEVICE_ELF="${_device_dir}/tamblin.elf")
add_dependencies(device_exe_tests celoader tamblin vboard)
tamblin_gtests(device_exe_tests 2)

# The README's blocks that need the ARM build and the device file, run as written.
add_test(NAME Readme.DeviceBlocksRunAsWritten
         COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tests/readme_blocks.py ${CMAKE_SOURCE_DIR}/README.md device
                 ${CMAKE_SOURCE_DIR} build-arm=${CMAKE_BINARY_DIR} build-device=${_device_dir})
set_tests_properties(Readme.DeviceBlocksRunAsWritten PROPERTIES TIMEOUT 600)
