# The tests are built as a few GoogleTest programs, one per area, so that
# GoogleTest and the C++ runtime are compiled and linked a few times rather
# than once per test source. Each test source is still a CTest entry of its
# own, <program>.<source name>, which runs the suites that source holds; the
# entries run side by side, and keep their own fixtures, locks and folders.
# Under the cross build CTest runs every program through the Wine emulator.
#
#   veltrin_test_program(<program>)                     in tests/, before the areas
#   veltrin_test_sources(<program> SOURCES ... [HELPERS ...] [LIBS ...]
#                        [SUITES_APART ...] [SHARDED ...])  in each area
#   veltrin_test_program_check(<program>)               in tests/, after the areas
#
# A suite named in SUITES_APART leaves its file's entry and becomes the entry
# <program>.<suite>, for properties that only its cases need. A source named
# in SHARDED (one whose cases take minutes) becomes four entries,
# <program>.<source name>.<0..3>, each running every fourth of its cases
# (GoogleTest's sharding), started before the others. A suite may
# appear in one source of a program only (configuring fails otherwise), and
# the entry <program>.every_case_runs fails when the program holds a case
# that no entry runs.

function(veltrin_test_program program)
  add_executable(${program})
  veltrin_warnings(${program})
  target_link_libraries(${program} PRIVATE GTest::gtest_main)
  # Header-only helpers shared by the tests of several areas.
  target_include_directories(${program} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  target_precompile_headers(${program} PRIVATE <gtest/gtest.h> <filesystem> <functional> <map> <set> <string>
    <vector>)
  set_property(GLOBAL PROPERTY VELTRIN_SUITES_${program} "")
  set_property(GLOBAL PROPERTY VELTRIN_FILTERS_${program} "")
endfunction()

# The suites a test source defines cases of, in the order they first appear.
function(_veltrin_suites_of source out)
  file(STRINGS ${source} lines REGEX "^[ \t]*TEST(_F|_P)?[ \t]*\\(")
  set(suites "")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "^[ \t]*TEST(_F|_P)?[ \t]*\\([ \t]*([A-Za-z0-9_]+)" ignored "${line}")
    list(APPEND suites ${CMAKE_MATCH_2})
  endforeach()
  list(REMOVE_DUPLICATES suites)
  set(${out} ${suites} PARENT_SCOPE)
endfunction()

# A GoogleTest filter for the suites: plain and parameterised (Prefix/Suite).
function(_veltrin_filter_of out)
  set(patterns "")
  foreach(suite IN LISTS ARGN)
    list(APPEND patterns "${suite}.*" "*/${suite}.*")
  endforeach()
  list(JOIN patterns ":" filter)
  set(${out} "${filter}" PARENT_SCOPE)
endfunction()

set(VELTRIN_TEST_SHARDS 4)

function(_veltrin_add_entry program name sharded)
  _veltrin_filter_of(filter ${ARGN})
  set_property(GLOBAL APPEND PROPERTY VELTRIN_FILTERS_${program} "${filter}")
  if(NOT sharded)
    add_test(NAME ${program}.${name} COMMAND ${program} --gtest_filter=${filter})
    _veltrin_after_wine_drives(${program}.${name})
    return()
  endif()
  math(EXPR last "${VELTRIN_TEST_SHARDS} - 1")
  foreach(shard RANGE ${last})
    set(entry ${program}.${name}.${shard})
    add_test(NAME ${entry} COMMAND ${program} --gtest_filter=${filter})
    set_tests_properties(${entry} PROPERTIES COST 1000
      ENVIRONMENT "GTEST_TOTAL_SHARDS=${VELTRIN_TEST_SHARDS};GTEST_SHARD_INDEX=${shard}")
    _veltrin_after_wine_drives(${entry})
  endforeach()
endfunction()

# Under Wine every entry starts after the drive letters are mapped, since
# mapping them restarts the Wine server (tests/wine_drives.sh).
function(_veltrin_after_wine_drives test)
  if(WIN32)
    set_property(TEST ${test} APPEND PROPERTY FIXTURES_REQUIRED wine_drives)
  endif()
endfunction()

function(veltrin_test_sources program)
  cmake_parse_arguments(arg "" "" "SOURCES;HELPERS;LIBS;SUITES_APART;SHARDED" ${ARGN})
  foreach(source IN LISTS arg_SOURCES arg_HELPERS)
    list(APPEND files ${CMAKE_CURRENT_SOURCE_DIR}/${source})
  endforeach()
  target_sources(${program} PRIVATE ${files})
  if(arg_LIBS)
    target_link_libraries(${program} PRIVATE ${arg_LIBS})
  endif()
  get_property(known GLOBAL PROPERTY VELTRIN_SUITES_${program})
  foreach(source IN LISTS arg_SOURCES)
    set(path ${CMAKE_CURRENT_SOURCE_DIR}/${source})
    # A suite added to the file is seen by the next build.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
    _veltrin_suites_of(${path} suites)
    if(NOT suites)
      message(FATAL_ERROR "${path} holds no test case; list it under HELPERS")
    endif()
    foreach(suite IN LISTS suites)
      if(suite IN_LIST known)
        message(FATAL_ERROR "suite ${suite} of ${path} is also defined in another source of ${program}")
      endif()
    endforeach()
    list(APPEND known ${suites})
    set(own ${suites})
    foreach(suite IN LISTS arg_SUITES_APART)
      if(suite IN_LIST own)
        list(REMOVE_ITEM own ${suite})
        _veltrin_add_entry(${program} ${suite} FALSE ${suite})
      endif()
    endforeach()
    get_filename_component(stem ${source} NAME_WE)
    if(source IN_LIST arg_SHARDED)
      _veltrin_add_entry(${program} ${stem} TRUE ${own})
    else()
      _veltrin_add_entry(${program} ${stem} FALSE ${own})
    endif()
  endforeach()
  set_property(GLOBAL PROPERTY VELTRIN_SUITES_${program} "${known}")
endfunction()

# Compile definitions for one source of a program (other sources of the same
# program may give the same macro another value).
function(veltrin_test_definitions program source)
  set_property(SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/${source} TARGET_DIRECTORY ${program}
    APPEND PROPERTY COMPILE_DEFINITIONS ${ARGN})
endfunction()

function(veltrin_test_program_check program)
  get_property(filters GLOBAL PROPERTY VELTRIN_FILTERS_${program})
  list(JOIN filters ":" all)
  add_test(NAME ${program}.every_case_runs
    COMMAND ${CMAKE_COMMAND} "-DPROGRAM=$<TARGET_FILE:${program}>" "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
      "-DFILTER=-${all}" -P ${PROJECT_SOURCE_DIR}/cmake/every_case_runs.cmake)
  _veltrin_after_wine_drives(${program}.every_case_runs)
endfunction()
