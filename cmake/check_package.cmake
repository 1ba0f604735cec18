# Checks the Windows package (cmake -P; see WindowsPackage.cmake): ARCHIVE
# holds exactly the names of ENTRIES ("name=built file" joined with '|'),
# each the same bytes as its built file, text files with CRLF line ends.
# Unpacks the archive into UNPACKED for the image checks.
cmake_minimum_required(VERSION 3.25)

foreach(var ARCHIVE UNPACKED ENTRIES)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "check_package: ${var} not set")
  endif()
endforeach()
if(NOT EXISTS "${ARCHIVE}")
  message(FATAL_ERROR "${ARCHIVE} is missing: cmake --build --preset win32 --target package")
endif()

string(REPLACE "|" ";" ENTRIES "${ENTRIES}")
set(wanted "")
foreach(entry IN LISTS ENTRIES)
  string(REGEX MATCH "^([^=]+)=(.*)$" unused "${entry}")
  list(APPEND wanted "${CMAKE_MATCH_1}")
  set("built_${CMAKE_MATCH_1}" "${CMAKE_MATCH_2}")
endforeach()

file(REMOVE_RECURSE "${UNPACKED}")
file(MAKE_DIRECTORY "${UNPACKED}")
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf "${ARCHIVE}"
  WORKING_DIRECTORY "${UNPACKED}" RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot unpack ${ARCHIVE}: ${err}")
endif()
file(GLOB_RECURSE found RELATIVE "${UNPACKED}" LIST_DIRECTORIES TRUE "${UNPACKED}/*")

set(failures "")
list(SORT found)
list(SORT wanted)
if(NOT "${found}" STREQUAL "${wanted}")
  string(REPLACE ";" ", " have "${found}")
  string(REPLACE ";" ", " want "${wanted}")
  list(APPEND failures "holds [${have}], not [${want}]")
endif()

foreach(name IN LISTS wanted)
  set(file "${UNPACKED}/${name}")
  if(NOT EXISTS "${file}")
    continue()
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${file}" "${built_${name}}"
    RESULT_VARIABLE differs)
  if(NOT differs EQUAL 0)
    list(APPEND failures "${name} differs from ${built_${name}} (archive older than the build?)")
  endif()
  if(name MATCHES "\\.txt$")
    # Byte by byte: file(READ) as text would drop the carriage returns.
    file(READ "${file}" bytes HEX)
    string(REGEX REPLACE "(..)" " \\1" bytes "${bytes}")
    string(REPLACE " 0d 0a" "" bytes "${bytes}")
    if(bytes MATCHES " 0a")
      list(APPEND failures "${name} has a line end without carriage return")
    endif()
  endif()
endforeach()

if(failures)
  string(REPLACE ";" "\n- " text "${failures}")
  message(FATAL_ERROR "${ARCHIVE}:\n- ${text}")
endif()
string(REPLACE ";" ", " names "${wanted}")
message(STATUS "${ARCHIVE}: [${names}], each as built")
