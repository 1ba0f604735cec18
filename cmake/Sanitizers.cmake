# Sanitizer and fuzzing instrumentation for the host presets, in one place:
# TONVANE_SANITIZER is "address" (AddressSanitizer and
# UndefinedBehaviorSanitizer) or "thread" (ThreadSanitizer); TONVANE_FUZZ
# adds libFuzzer's coverage instrumentation (clang). Everything the build
# compiles and links gets the same flags, driver images included.
set(TONVANE_SANITIZER "" CACHE STRING "address, thread or empty")
option(TONVANE_FUZZ "Build the fuzz targets with libFuzzer" OFF)

if(TONVANE_SANITIZER STREQUAL "address")
  set(sanitizers address,undefined)
  add_compile_options(-fno-sanitize-recover=all)
elseif(TONVANE_SANITIZER STREQUAL "thread")
  set(sanitizers thread)
elseif(NOT TONVANE_SANITIZER STREQUAL "")
  message(FATAL_ERROR "TONVANE_SANITIZER must be address, thread or empty")
endif()

if(sanitizers)
  if(TONVANE_FUZZ)
    # libFuzzer itself is linked only into the fuzz targets.
    add_compile_options(-gline-tables-only -fsanitize=fuzzer-no-link)
  endif()
  add_compile_options(-O1 -fsanitize=${sanitizers} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${sanitizers})
endif()
