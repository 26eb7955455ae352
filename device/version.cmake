# Writes the header that Tamblin.exe's version resource (tamblin.rc) is compiled with:
#
#   cmake -DTOP=<source tree> -DOUT=<version.h> -P version.cmake
#
# The version is the source tree's `git describe`: the last tag of the form vMAJOR[.MINOR[.PATCH]]
# with the commits since it and the commit ("1.2-5-g6b588eb"), the tag alone on a tagged commit
# ("1.2"), the commit alone where no tag is reachable ("6b588eb"), each with "-dirty" when tracked
# files differ from the commit. The resource's four numbers are MAJOR, MINOR, PATCH and the commits
# since the tag; without a tag they are 0.0.0.0, since a commit name has no order.
#
# A tree that is no git checkout (a tarball) takes what `git archive` wrote into version.txt
# (.gitattributes: export-subst); a copy made any other way is "unknown", 0.0.0.0.
#
# The header is rewritten only when the version changed, so a build of the same commit compiles
# nothing again and two builds of one commit carry the same bytes.
set(version "")
find_program(GIT git)
if(GIT)
  # Only the tree's own repository: a tarball unpacked inside another checkout is no checkout.
  execute_process(COMMAND ${GIT} -C ${TOP} rev-parse --show-toplevel OUTPUT_VARIABLE toplevel
                  RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(rc EQUAL 0)
    get_filename_component(toplevel "${toplevel}" REALPATH)
    get_filename_component(top "${TOP}" REALPATH)
  endif()
  if(rc EQUAL 0 AND toplevel STREQUAL top)
    # --no-optional-locks: the dirty check must not write the index that a git command running
    # beside the build may hold.
    execute_process(COMMAND ${GIT} --no-optional-locks -C ${TOP} describe --tags --match "v[0-9]*" --always --dirty
                    OUTPUT_VARIABLE version RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT rc EQUAL 0)
      set(version "")
    endif()
  endif()
endif()
if(version STREQUAL "" AND EXISTS ${TOP}/device/version.txt)
  # Line 1: the archived commit's description (empty without a tag), line 2: its commit.
  file(STRINGS ${TOP}/device/version.txt lines)
  foreach(line ${lines})
    if(version STREQUAL "" AND NOT line MATCHES "^\\$Format:" AND NOT line STREQUAL "")
      set(version "${line}")
    endif()
  endforeach()
endif()
if(version STREQUAL "")
  set(version "unknown")
endif()

string(REGEX REPLACE "^v" "" version "${version}")
# The text goes into a resource string: only what a version is written with (an archive's file
# could hold anything, a tag may hold quotes).
string(REGEX REPLACE "[^A-Za-z0-9._+-]" "_" version "${version}")
set(numbers 0 0 0 0)
if(version MATCHES "^([0-9]+)(\\.([0-9]+))?(\\.([0-9]+))?(-([0-9]+)-g[0-9a-f]+)?(-dirty)?$")
  set(numbers "")
  set(fits TRUE)
  # MAJOR, MINOR, PATCH and the commits since the tag; a part the version leaves out is 0.
  foreach(group 1 3 5 7)
    set(n "${CMAKE_MATCH_${group}}")
    if(n STREQUAL "")
      set(n 0)
    endif()
    # Each number of the resource is 16 bits wide: a wider one would be cut to another version.
    string(LENGTH "${n}" digits)
    if(digits GREATER 5 OR n GREATER 65535)
      set(fits FALSE)
    endif()
    list(APPEND numbers ${n})
  endforeach()
  if(NOT fits)
    message("Tamblin.exe: the version ${version} has a number above 65535; its file version is 0.0.0.0")
    set(numbers 0 0 0 0)
  endif()
endif()
string(REPLACE ";" "," numbers "${numbers}")

set(content "/* Written by version.cmake for tamblin.rc. */\n#define TAMBLIN_VERSION_NUMBERS ${numbers}\n")
string(APPEND content "#define TAMBLIN_VERSION_TEXT \"${version}\"\n")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
endif()
if(NOT old STREQUAL content)
  file(WRITE ${OUT} "${content}")
endif()
