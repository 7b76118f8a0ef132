# Short, bounded libFuzzer runs of every fuzz target inside the suite. The
# fuzzers need clang, so fuzz/ is configured apart with clang++; without a
# clang that can build a libFuzzer target the tests report themselves skipped.
include(ExternalProject)
include(ProcessorCount)
ProcessorCount(ZEFRA_BUILD_JOBS)
if(ZEFRA_BUILD_JOBS EQUAL 0)
  set(ZEFRA_BUILD_JOBS 1)
endif()
set(zefra_fuzz_dir ${CMAKE_BINARY_DIR}/fuzz-build)
# Each target's seeds are fuzz/corpus/<name without _fuzz>.
set(zefra_fuzz_targets frame_decoder_fuzz code_signature_fuzz info_json_fuzz user_defaults_fuzz)
set(ZEFRA_FUZZ_SECONDS 10 CACHE STRING "Seconds each fuzz target runs in the suite")

find_program(ZEFRA_FUZZ_CXX NAMES clang++ clang++-14 clang++-15 clang++-16)
if(ZEFRA_FUZZ_CXX AND NOT DEFINED ZEFRA_FUZZ_USABLE)
  # Probe once, so a clang without libFuzzer never breaks the main build.
  set(probe_dir ${CMAKE_BINARY_DIR}/fuzz-probe)
  file(WRITE ${probe_dir}/probe.cc
       "#include <cstddef>\n#include <cstdint>\n#include <span>\n"
       "extern \"C\" int LLVMFuzzerTestOneInput(const std::uint8_t* d, std::size_t n) {\n"
       "  return static_cast<int>(std::span<const std::uint8_t>(d, n).size() * 0);\n}\n")
  execute_process(
    COMMAND ${ZEFRA_FUZZ_CXX} -std=c++20 -fsanitize=fuzzer,address,undefined probe.cc -o probe
    WORKING_DIRECTORY ${probe_dir}
    RESULT_VARIABLE probe_result OUTPUT_QUIET ERROR_QUIET)
  if(probe_result EQUAL 0)
    set(ZEFRA_FUZZ_USABLE ON CACHE INTERNAL "clang++ builds libFuzzer targets")
  else()
    set(ZEFRA_FUZZ_USABLE OFF CACHE INTERNAL "clang++ builds libFuzzer targets")
  endif()
endif()

if(ZEFRA_FUZZ_CXX AND ZEFRA_FUZZ_USABLE)
  ExternalProject_Add(zefra_fuzz_targets
    SOURCE_DIR ${PROJECT_SOURCE_DIR}/fuzz
    BINARY_DIR ${zefra_fuzz_dir}
    # fuzz/ sets its own optimisation and debug flags.
    CMAKE_ARGS -DCMAKE_CXX_COMPILER=${ZEFRA_FUZZ_CXX} -DCMAKE_BUILD_TYPE=
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> -j ${ZEFRA_BUILD_JOBS}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
else()
  message(STATUS "No clang++ with libFuzzer: the fuzz tests will be skipped")
endif()

foreach(target ${zefra_fuzz_targets})
  string(REGEX REPLACE "_fuzz$" "" seeds ${target})
  set(fuzzer ${zefra_fuzz_dir}/${target})
  # New inputs go to a corpus of the build; the committed seeds stay as they are.
  # Stderr is closed for the target only: the defaults reader logs every bad file.
  add_test(NAME ${target}
    COMMAND sh -c "if [ ! -x '${fuzzer}' ]; then echo 'fuzzer not built'; exit 77; fi
      mkdir -p '${zefra_fuzz_dir}/corpus/${seeds}' &&
      exec '${fuzzer}' -max_total_time=${ZEFRA_FUZZ_SECONDS} -max_len=8192 -seed=1
        -close_fd_mask=2 -print_final_stats=1
        '${zefra_fuzz_dir}/corpus/${seeds}' '${PROJECT_SOURCE_DIR}/fuzz/corpus/${seeds}'")
  set_tests_properties(${target} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 LABELS fuzz)
endforeach()
