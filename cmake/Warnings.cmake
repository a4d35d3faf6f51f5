# Warnings are errors on our own targets (not on GoogleTest).
function(veltrin_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Werror -Wshadow -Wconversion -Wsign-conversion
    -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual -Wimplicit-fallthrough
    # GCC 12 reports false overlaps in inlined std::string concatenation (GCC bug 105329).
    $<$<CXX_COMPILER_ID:GNU>:-Wno-restrict>)
  target_compile_features(${target} PUBLIC cxx_std_20)
endfunction()

# A GoogleTest executable registered with CTest. Under the cross build CTest
# runs it through the Wine emulator.
function(veltrin_add_test name)
  cmake_parse_arguments(arg "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${arg_SOURCES})
  veltrin_warnings(${name})
  target_link_libraries(${name} PRIVATE ${arg_LIBS} GTest::gtest_main)
  # Header-only helpers shared by the tests of several areas.
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  add_test(NAME ${name} COMMAND ${name})
endfunction()
