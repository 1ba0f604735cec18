# tonvane_check_pe_image(<target>
#     SUBSYSTEM native|windows|console
#     [EXPORTS <name>...]            exactly these exported names (none if omitted)
#     [ALLOWLIST <file>...]          every import must be listed there
#     [FLOOR <release>]              oldest Windows release to load on (NT4.0)
#     [VERSION_STRINGS <key=value>...]  VERSIONINFO string values
#     [GENERAL_REGS_ONLY]            no x87, MMX or SSE instruction
#     [LABELS <label>...])
#
# Adds a CTest test <target>_pe_check that inspects the built image with the
# cross objdump; tonvane_check_pe_image_copy() checks a copy of it the same
# way. The machine follows the toolchain (i386 or x86-64); the subsystem
# version must be the oldest the machine's Windows has: 4.0 on i386, so that
# NT 4.0 loads the image, and 5.2 on x86-64.
#
# An allowlist line is "<dll> <routine> <first release that exports it>";
# '#' starts a comment. An import that is not listed, or whose first release
# is newer than FLOOR, fails the check until someone decides otherwise.
set(TONVANE_PE_CHECK_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/check_pe_image.cmake)

function(tonvane_check_pe_image target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "GENERAL_REGS_ONLY" "SUBSYSTEM;FLOOR"
    "EXPORTS;ALLOWLIST;VERSION_STRINGS;LABELS")
  if(NOT arg_SUBSYSTEM)
    message(FATAL_ERROR "tonvane_check_pe_image(${target}): SUBSYSTEM is required")
  endif()
  if(NOT arg_FLOOR)
    set(arg_FLOOR NT4.0)
  endif()
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "64")
    set(format pei-x86-64)
  else()
    set(format pei-i386)
  endif()
  # Lists travel to the script joined with '|', as ';' would split arguments.
  string(REPLACE ";" "|" exports "${arg_EXPORTS}")
  string(REPLACE ";" "|" allowlists "${arg_ALLOWLIST}")
  string(REPLACE ";" "|" versionStrings "${arg_VERSION_STRINGS}")
  set(checkArguments
    -DOBJDUMP=${CMAKE_OBJDUMP}
    -DFORMAT=${format}
    -DSUBSYSTEM=${arg_SUBSYSTEM}
    -DFLOOR=${arg_FLOOR}
    "-DEXPORTS=${exports}"
    "-DALLOWLISTS=${allowlists}"
    "-DVERSION_STRINGS=${versionStrings}"
    -DGENERAL_REGS_ONLY=${arg_GENERAL_REGS_ONLY})
  # Kept for checking a copy of the image, such as the one in the package.
  set_property(GLOBAL PROPERTY TONVANE_PE_CHECK_${target} "${checkArguments}")
  add_test(NAME ${target}_pe_check
    COMMAND ${CMAKE_COMMAND} -DIMAGE=$<TARGET_FILE:${target}> ${checkArguments}
      -P ${TONVANE_PE_CHECK_SCRIPT})
  set_tests_properties(${target}_pe_check PROPERTIES LABELS "pe;${arg_LABELS}")
endfunction()

# tonvane_check_pe_image_copy(<test name> <target> <image path> [LABELS <label>...])
# Checks the file at <image path>, a copy of <target>'s image, as
# tonvane_check_pe_image(<target> ...) checks the original.
function(tonvane_check_pe_image_copy name target image)
  cmake_parse_arguments(PARSE_ARGV 3 arg "" "" "LABELS")
  get_property(checkArguments GLOBAL PROPERTY TONVANE_PE_CHECK_${target})
  if(NOT checkArguments)
    message(FATAL_ERROR "tonvane_check_pe_image_copy: ${target} has no image check")
  endif()
  add_test(NAME ${name}
    COMMAND ${CMAKE_COMMAND} -DIMAGE=${image} ${checkArguments} -P ${TONVANE_PE_CHECK_SCRIPT})
  set_tests_properties(${name} PROPERTIES LABELS "pe;${arg_LABELS}")
endfunction()
