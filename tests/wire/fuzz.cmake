# A short, bounded libFuzzer run of the frame decoder inside the suite. The
# fuzzer needs clang, so fuzz/ is configured apart with clang++; without a
# clang that can build a libFuzzer target the test reports itself skipped.
include(ExternalProject)
set(zefra_fuzz_dir ${CMAKE_BINARY_DIR}/fuzz-build)
set(zefra_fuzzer ${zefra_fuzz_dir}/frame_decoder_fuzz)

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
  ExternalProject_Add(zefra_frame_decoder_fuzz
    SOURCE_DIR ${PROJECT_SOURCE_DIR}/fuzz
    BINARY_DIR ${zefra_fuzz_dir}
    CMAKE_ARGS -DCMAKE_CXX_COMPILER=${ZEFRA_FUZZ_CXX} -DCMAKE_BUILD_TYPE=RelWithDebInfo
    # One job: the main build already uses the machine's cores.
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> -j 1
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
else()
  message(STATUS "No clang++ with libFuzzer: the frame decoder fuzz test will be skipped")
endif()

add_test(NAME frame_decoder_fuzz
  COMMAND sh -c "if [ ! -x '${zefra_fuzzer}' ]; then echo 'fuzzer not built'; exit 77; fi
    mkdir -p '${zefra_fuzz_dir}/corpus' &&
    exec '${zefra_fuzzer}' -runs=20000 -max_total_time=60 -max_len=4096 -seed=1
      '${zefra_fuzz_dir}/corpus' '${PROJECT_SOURCE_DIR}/fuzz/corpus/frame_decoder'")
set_tests_properties(frame_decoder_fuzz PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
