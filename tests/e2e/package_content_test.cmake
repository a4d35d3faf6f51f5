# Unpacks the release zip and checks its exact contents: the two programs as
# built, the payload folders holding exactly the payload's mod files (byte for
# byte) and nothing else, and Backups with its two empty folders.
#   cmake -DZIP=... -DPAYLOAD=... -DINSTALL_EXE=... -DINSTALL_PLUG=... -DWORK=... -P package_content_test.cmake
foreach(var ZIP PAYLOAD INSTALL_EXE INSTALL_PLUG WORK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} not given")
  endif()
endforeach()
if(NOT EXISTS "${ZIP}")
  message(FATAL_ERROR "the build made no package: ${ZIP}")
endif()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar xf "${ZIP}" WORKING_DIRECTORY "${WORK}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the package cannot be unpacked: ${status}")
endif()

# Everything in the zip, folders marked with a trailing slash.
file(GLOB_RECURSE found LIST_DIRECTORIES true RELATIVE "${WORK}" "${WORK}/*")
set(actual "")
foreach(entry IN LISTS found)
  if(IS_DIRECTORY "${WORK}/${entry}")
    list(APPEND actual "${entry}/")
  else()
    list(APPEND actual "${entry}")
  endif()
endforeach()
list(SORT actual)

# What it must hold. The payload's mod files are its .dff and .txd files in
# any case; anything else in the payload folders stays out of the package.
set(top VeltrinMOD-V1)
set(expected
  "${top}/" "${top}/Install.exe" "${top}/Install.plug"
  "${top}/Backups/" "${top}/Backups/gta3.img/" "${top}/Backups/player.img/"
  "${top}/gta3.img/" "${top}/player.img/")
set(mod_files "")
foreach(folder gta3.img player.img)
  file(GLOB candidates LIST_DIRECTORIES false RELATIVE "${PAYLOAD}/${folder}" "${PAYLOAD}/${folder}/*")
  foreach(name IN LISTS candidates)
    string(TOLOWER "${name}" lower)
    if(lower MATCHES "^[^.].*\\.(dff|txd)$")
      list(APPEND expected "${top}/${folder}/${name}")
      list(APPEND mod_files "${folder}/${name}")
    endif()
  endforeach()
endforeach()
list(SORT expected)
list(LENGTH mod_files mod_count)
if(mod_count EQUAL 0)
  message(FATAL_ERROR "the payload ${PAYLOAD} holds no mod files")
endif()

if(NOT actual STREQUAL expected)
  string(REPLACE ";" "\n  " a "${actual}")
  string(REPLACE ";" "\n  " e "${expected}")
  message(FATAL_ERROR "the package holds\n  ${a}\nbut should hold\n  ${e}")
endif()

foreach(pair "Install.exe=${INSTALL_EXE}" "Install.plug=${INSTALL_PLUG}")
  string(REGEX MATCH "^([^=]*)=(.*)$" _ "${pair}")
  file(SHA256 "${WORK}/${top}/${CMAKE_MATCH_1}" packed)
  file(SHA256 "${CMAKE_MATCH_2}" built)
  if(NOT packed STREQUAL built)
    message(FATAL_ERROR "${CMAKE_MATCH_1} in the package is not the program the build made")
  endif()
endforeach()
foreach(file IN LISTS mod_files)
  file(SHA256 "${WORK}/${top}/${file}" packed)
  file(SHA256 "${PAYLOAD}/${file}" source)
  if(NOT packed STREQUAL source)
    message(FATAL_ERROR "${file} in the package differs from the payload's")
  endif()
endforeach()
message(STATUS "the package holds ${mod_count} mod files, both programs and the empty backup folders")
