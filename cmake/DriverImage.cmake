# Driver images for the host: a driver is a shared object placed in the build
# tree's system root under the path its service names, loaded by the stand-in
# ntoskrnl with its own symbols (RTLD_LOCAL). Only DriverEntry is exported;
# every other symbol binds inside the image (-Bsymbolic), so two drivers may
# carry copies of the same code.
include_guard(GLOBAL)

# Cache entries, so that every directory sees them after the first include.
set(TONVANE_SYSTEM_ROOT ${CMAKE_BINARY_DIR}/systemroot CACHE INTERNAL "")
set(TONVANE_DRIVER_EXPORTS ${CMAKE_BINARY_DIR}/driver_image.map CACHE INTERNAL "")
file(WRITE ${TONVANE_DRIVER_EXPORTS} "{ global: DriverEntry; local: *; };\n")

# tonvane_driver_image(<target> SOURCES ... [LIBS ...]
#                      SYSTEM_PATH System32/Drivers/<name>.sys)
function(tonvane_driver_image target)
  cmake_parse_arguments(D "" "SYSTEM_PATH" "SOURCES;LIBS" ${ARGN})
  if(NOT D_SYSTEM_PATH)
    message(FATAL_ERROR "tonvane_driver_image(${target}): SYSTEM_PATH is required")
  endif()
  get_filename_component(directory ${D_SYSTEM_PATH} DIRECTORY)
  get_filename_component(file ${D_SYSTEM_PATH} NAME)
  add_library(${target} MODULE ${D_SOURCES})
  target_link_libraries(${target} PRIVATE ntoskrnl ${D_LIBS})
  target_link_options(${target} PRIVATE
    -Wl,-Bsymbolic -Wl,--version-script=${TONVANE_DRIVER_EXPORTS})
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    SUFFIX ""
    OUTPUT_NAME ${file}
    LIBRARY_OUTPUT_DIRECTORY ${TONVANE_SYSTEM_ROOT}/${directory}
    POSITION_INDEPENDENT_CODE ON
    LINK_DEPENDS ${TONVANE_DRIVER_EXPORTS})
endfunction()
