# Code generation for everything that runs inside tonkern (common/ and kernel/),
# applied in the host presets too so tests and benchmarks run the same scalar
# code shape as the driver: freestanding, no exceptions, no RTTI, no
# thread-safe statics (no CRT to back them) and no x87/SSE state.
set(TONVANE_KERNEL_FLAGS
  -ffreestanding
  -fno-exceptions
  -fno-rtti
  -fno-threadsafe-statics
  -fno-asynchronous-unwind-tables
  -mgeneral-regs-only)

if(NOT TONVANE_HOST)
  # The cross toolchain's DDK headers redeclare two interlocked bit-test
  # intrinsics that its intrin.h already defines inline; in C++ that is a hard
  # error. These two defines tell intrin.h to leave them to the DDK.
  set(TONVANE_DDK_DEFINES
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet
    __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
  set(TONVANE_DDK_INCLUDE "${TONVANE_MINGW_SYSROOT}/include/ddk")
endif()

# tonvane_kernel_code(<target>): mark a target as kernel code.
function(tonvane_kernel_code target)
  target_compile_options(${target} PRIVATE ${TONVANE_KERNEL_FLAGS})
  if(TONVANE_HOST)
    target_link_libraries(${target} PUBLIC ntoskrnl)
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    # A checked build on the host, so that the driver's ASSERTs (IRQL, lock
    # ownership) fire in every test; the Windows product is a free build.
    target_compile_definitions(${target} PRIVATE DBG=1)
  else()
    target_compile_definitions(${target} PUBLIC ${TONVANE_DDK_DEFINES})
    target_include_directories(${target} SYSTEM PUBLIC "${TONVANE_DDK_INCLUDE}")
  endif()
endfunction()
