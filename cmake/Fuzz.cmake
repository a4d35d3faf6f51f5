# libFuzzer targets (Debian's clang): built by the native preset from the
# same objects as its tests, and alone by the preset "fuzz". Each target
# comes with a seeder: a plain program that writes a seed corpus into the
# folder it is given. scripts/fuzz runs every seeder, then every fuzzer for
# a bounded time. The target "fuzzers" builds them all.
if(VELTRIN_FUZZ)
  add_custom_target(fuzzers)
endif()
function(veltrin_add_fuzzer name)
  cmake_parse_arguments(arg "" "" "SOURCES;SEEDER;LIBS" ${ARGN})
  add_executable(fuzz_${name} ${arg_SOURCES})
  target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(fuzz_${name} PRIVATE ${arg_LIBS})
  add_executable(seed_${name} ${arg_SEEDER})
  target_link_libraries(seed_${name} PRIVATE ${arg_LIBS})
  set_target_properties(fuzz_${name} seed_${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzzers)
  add_dependencies(fuzzers fuzz_${name} seed_${name})
endfunction()
