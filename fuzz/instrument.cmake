# Instrumentation of the fuzzing tree: every unit is built with the fuzzer's coverage
# hooks, ASan and UBSan; only the fuzz targets link libFuzzer itself (fuzz/CMakeLists.txt).
# Any undefined behaviour stops the run, so that it counts as a finding.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "WARDEX_BUILD_FUZZ needs clang (configure with CC=clang CXX=clang++)")
endif()
if(NOT WARDEX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "WARDEX_BUILD_FUZZ brings its own sanitizers; leave WARDEX_SANITIZE empty")
endif()

add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                    -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)
