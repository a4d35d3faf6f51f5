# Warnings are errors on our own targets (not on GoogleTest).
function(veltrin_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Werror -Wshadow -Wconversion -Wsign-conversion
    -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual -Wimplicit-fallthrough
    # GCC 12 reports false overlaps in inlined std::string concatenation (GCC bug 105329).
    $<$<CXX_COMPILER_ID:GNU>:-Wno-restrict>)
  target_compile_features(${target} PUBLIC cxx_std_20)
endfunction()
