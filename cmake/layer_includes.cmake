# Refuses an include that crosses a layer of the tree the wrong way. Run by the layer_includes
# target before the libraries compile (cmake -P, with SOURCE_DIR and STAMP).
#
# Each rule, "folder|may reach|may not include", names a folder, the folders and files its quoted
# includes may reach, and the platform headers it may not include at all (lists with commas). A
# quoted include is resolved from the including file's folder, as the compiler does.
set(RULES
  # The product sees only itself (and the platform's API through angle brackets).
  "app|app,rtc,i2c,gpiolib,platform|"
  "rtc|app,rtc,i2c,gpiolib,platform|"
  "i2c|app,rtc,i2c,gpiolib,platform|"
  "gpiolib|app,rtc,i2c,gpiolib,platform|"
  "platform|app,rtc,i2c,gpiolib,platform|"
  # The board knows neither the product nor the platform's API.
  "sim/board|sim/board|windows.h,pkfuncs.h,notify.h"
  # The stand-in sits on the board, and serves the kernel-call bridge with the OAL's handler.
  "sim/ceapi|sim/ceapi,sim/board,device/oal|"
  # The OAL's handler sees the platform's headers only.
  "device/oal|device/oal|"
  # The seams are the only code that sees the product and the board.
  "sim/seams|sim/seams,sim/board,platform,i2c|"
  # The tools use the board and the stand-in's one header for tools.
  "sim/vboard|sim/vboard,sim/board,sim/ceapi/tools_api.h|"
  "sim/crt|sim/crt,sim/board,sim/ceapi/tools_api.h|"
  # The loader of the device's file: the board, the tools' header, the product's seams it answers,
  # and the import list it binds.
  "sim/peload|sim/peload,sim/board,sim/ceapi/tools_api.h,platform/hwaccess.h,device/coredll_imports.h|")

set(problems "")
foreach(rule ${RULES})
  string(REGEX MATCH "^([^|]*)\\|([^|]*)\\|([^|]*)$" parts "${rule}")
  set(folder "${CMAKE_MATCH_1}")
  set(allowed "${CMAKE_MATCH_2}")
  set(forbidden "${CMAKE_MATCH_3}")
  string(REPLACE "," ";" allowed "${allowed}")
  string(REPLACE "," ";" forbidden "${forbidden}")
  file(GLOB sources ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp)
  foreach(src ${sources})
    file(STRINGS ${src} lines REGEX "^[ \t]*#[ \t]*include")
    get_filename_component(srcdir ${src} DIRECTORY)
    file(RELATIVE_PATH relsrc ${SOURCE_DIR} ${src})
    foreach(line ${lines})
      if(line MATCHES "#[ \t]*include[ \t]*\"([^\"]+)\"")
        get_filename_component(target "${srcdir}/${CMAKE_MATCH_1}" ABSOLUTE)
        file(RELATIVE_PATH reltarget ${SOURCE_DIR} ${target})
        set(ok FALSE)
        foreach(a ${allowed})
          if(reltarget STREQUAL a OR reltarget MATCHES "^${a}/[^/]+$")
            set(ok TRUE)
          endif()
        endforeach()
        if(NOT ok)
          string(APPEND problems "  ${relsrc}: includes ${reltarget}, outside what ${folder} may see (${allowed})\n")
        endif()
      elseif(line MATCHES "#[ \t]*include[ \t]*<([^>]+)>")
        list(FIND forbidden "${CMAKE_MATCH_1}" at)
        if(NOT at EQUAL -1)
          string(APPEND problems "  ${relsrc}: includes the platform header <${CMAKE_MATCH_1}>, which ${folder} may not see\n")
        endif()
      endif()
    endforeach()
  endforeach()
endforeach()

if(problems)
  message(FATAL_ERROR "Includes across the layers of the tree:\n${problems}")
endif()
file(WRITE ${STAMP} "")
