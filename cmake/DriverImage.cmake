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

# Places a MODULE at its path under the system root, exporting only what the
# version script names and binding everything else inside itself.
function(tonvane_system_image target system_path exports)
  get_filename_component(directory ${system_path} DIRECTORY)
  get_filename_component(file ${system_path} NAME)
  target_link_options(${target} PRIVATE -Wl,-Bsymbolic -Wl,--version-script=${exports})
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    SUFFIX ""
    OUTPUT_NAME ${file}
    LIBRARY_OUTPUT_DIRECTORY ${TONVANE_SYSTEM_ROOT}/${directory}
    POSITION_INDEPENDENT_CODE ON
    LINK_DEPENDS ${exports})
endfunction()

# tonvane_driver_image(<target> SOURCES ... [LIBS ...]
#                      SYSTEM_PATH System32/Drivers/<name>.sys)
function(tonvane_driver_image target)
  cmake_parse_arguments(D "" "SYSTEM_PATH" "SOURCES;LIBS" ${ARGN})
  if(NOT D_SYSTEM_PATH)
    message(FATAL_ERROR "tonvane_driver_image(${target}): SYSTEM_PATH is required")
  endif()
  add_library(${target} MODULE ${D_SOURCES})
  target_link_libraries(${target} PRIVATE ntoskrnl ${D_LIBS})
  tonvane_system_image(${target} ${D_SYSTEM_PATH} ${TONVANE_DRIVER_EXPORTS})
endfunction()

# User-mode images: an installable driver or any DLL that LoadLibrary finds.
# A shared object under the system root (SYSTEM_PATH System32/<name>.dll),
# linked against the user-mode stand-in DLLs, exporting only EXPORTS
# (undecorated, as a .def file names them) and binding everything else
# inside itself. Every process that loads it gets its own copy.
# tonvane_user_image(<target> SOURCES ... [LIBS ...]
#                    SYSTEM_PATH System32/<name>.dll EXPORTS <name>...)
function(tonvane_user_image target)
  cmake_parse_arguments(U "" "SYSTEM_PATH" "SOURCES;LIBS;EXPORTS" ${ARGN})
  if(NOT U_SYSTEM_PATH OR NOT U_EXPORTS)
    message(FATAL_ERROR "tonvane_user_image(${target}): SYSTEM_PATH and EXPORTS are required")
  endif()
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  list(JOIN U_EXPORTS "; " exported)
  file(WRITE ${map} "{ global: ${exported}; local: *; };\n")
  add_library(${target} MODULE ${U_SOURCES})
  target_link_libraries(${target} PRIVATE kernel32 user32 advapi32 winmm ${U_LIBS})
  tonvane_system_image(${target} ${U_SYSTEM_PATH} ${map})
endfunction()
