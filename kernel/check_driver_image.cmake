# Checks a kernel driver image with the cross objdump (cmake -P):
#   -DOBJDUMP=<objdump> -DIMAGE=<driver.sys>
# Fails when the image is not i386 PE, is not for the native subsystem,
# imports from any DLL other than ntoskrnl.exe and HAL.dll, or contains any
# x87, MMX or SSE instruction (the kernel does not save that state for us).
cmake_minimum_required(VERSION 3.25)

foreach(var OBJDUMP IMAGE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_driver_image: ${var} not set")
  endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -p ${IMAGE}
  OUTPUT_VARIABLE headers RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump -p failed: ${err}")
endif()

set(failures "")

if(NOT headers MATCHES "file format pei-i386")
  list(APPEND failures "not an i386 PE image")
endif()

string(REGEX MATCH "\nSubsystem[ \t]+([0-9a-fA-F]+)" subsystem "${headers}")
if(NOT CMAKE_MATCH_1 STREQUAL "00000001")
  list(APPEND failures "subsystem is '${CMAKE_MATCH_1}', not native (1)")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]*" dlls "${headers}")
if(NOT dlls)
  list(APPEND failures "no import from ntoskrnl.exe")
endif()
foreach(line IN LISTS dlls)
  string(REGEX REPLACE "DLL Name: *" "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" lower)
  if(NOT lower STREQUAL "ntoskrnl.exe" AND NOT lower STREQUAL "hal.dll")
    list(APPEND failures "imports from ${dll}")
  endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${IMAGE}
  OUTPUT_VARIABLE code RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump -d failed: ${err}")
endif()

# One element per instruction: "<address>:\t<mnemonic> <operands>".
string(REGEX MATCHALL "\n *[0-9a-f]+:\t[^\n]*" instructions "${code}")
list(LENGTH instructions count)
if(count EQUAL 0)
  list(APPEND failures "no code disassembled")
endif()
set(fpu "")
foreach(line IN LISTS instructions)
  string(REGEX REPLACE "^\n *[0-9a-f]+:\t" "" text "${line}")
  string(REGEX MATCH "^[a-z0-9.]+" mnemonic "${text}")
  set(bad FALSE)
  # x87 (every f-mnemonic but the lone fs prefix, and wait), MMX and SSE
  # state instructions, and any operand in an x87, MMX or SSE register.
  if(mnemonic MATCHES "^f" AND NOT mnemonic STREQUAL "fs")
    set(bad TRUE)
  elseif(mnemonic MATCHES "^(wait|emms|femms|ldmxcsr|stmxcsr|[lsm]fence|prefetch.*|movnti|maskmovq|clflush)$")
    set(bad TRUE)
  elseif(text MATCHES "%(st|mm[0-7]|xmm[0-9]|ymm[0-9]|zmm[0-9])")
    set(bad TRUE)
  endif()
  if(bad)
    string(STRIP "${line}" shown)
    list(APPEND fpu "${shown}")
  endif()
endforeach()
list(LENGTH fpu fpuCount)
if(fpuCount GREATER 0)
  list(SUBLIST fpu 0 10 shown)
  string(REPLACE ";" "\n  " shown "${shown}")
  list(APPEND failures "${fpuCount} floating-point/SIMD instruction(s), first ones:\n  ${shown}")
endif()

if(failures)
  string(REPLACE ";" "\n- " text "${failures}")
  message(FATAL_ERROR "${IMAGE}:\n- ${text}")
endif()
message(STATUS "${IMAGE}: native subsystem, imports ${dlls}, ${count} instructions, none x87/MMX/SSE")
