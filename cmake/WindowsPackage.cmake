# The Windows package: tonvane-<version>-win32.zip, made by CPack
# (cmake --build --preset win32 --target package), holding the three
# deliverables, tonsetup.exe and README.txt, all at the top of the archive.
#
# CTest (label package) checks the archive the build left: its file list,
# that each file is byte for byte the one built, that README.txt has the
# CRLF line ends Notepad needs, and each image with the checks of its
# target (tonvane_check_pe_image).
set(TONVANE_VERSION 2.03)
set(TONVANE_PACKAGE_NAME tonvane-${TONVANE_VERSION}-win32)
set(TONVANE_PACKAGE_IMAGES tonkern_sys tonwave_dll tonrelay tonsetup)

configure_file(${PROJECT_SOURCE_DIR}/setup/README.txt ${CMAKE_BINARY_DIR}/package/README.txt
  @ONLY NEWLINE_STYLE CRLF)

set(entries "")
foreach(target IN LISTS TONVANE_PACKAGE_IMAGES)
  install(FILES $<TARGET_FILE:${target}> DESTINATION .)
  list(APPEND entries "$<TARGET_FILE_NAME:${target}>=$<TARGET_FILE:${target}>")
endforeach()
install(FILES ${CMAKE_BINARY_DIR}/package/README.txt DESTINATION .)
list(APPEND entries "README.txt=${CMAKE_BINARY_DIR}/package/README.txt")

set(CPACK_GENERATOR ZIP)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_PACKAGE_NAME Tonvane)
set(CPACK_PACKAGE_VENDOR Tonvane)
set(CPACK_PACKAGE_VERSION ${TONVANE_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${TONVANE_PACKAGE_NAME})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)

# The archive's contents, unpacked for the image checks below.
set(unpacked ${CMAKE_BINARY_DIR}/package/unpacked)
string(REPLACE ";" "|" entries "${entries}")
add_test(NAME package_contents
  COMMAND ${CMAKE_COMMAND}
    -DARCHIVE=${CMAKE_BINARY_DIR}/${TONVANE_PACKAGE_NAME}.zip
    -DUNPACKED=${unpacked}
    "-DENTRIES=${entries}"
    -P ${CMAKE_CURRENT_LIST_DIR}/check_package.cmake)
set_tests_properties(package_contents PROPERTIES
  LABELS package FIXTURES_SETUP tonvane_package)
foreach(target IN LISTS TONVANE_PACKAGE_IMAGES)
  tonvane_check_pe_image_copy(package_${target}_pe_check ${target}
    ${unpacked}/$<TARGET_FILE_NAME:${target}> LABELS package)
  set_tests_properties(package_${target}_pe_check PROPERTIES
    FIXTURES_REQUIRED tonvane_package)
endforeach()
