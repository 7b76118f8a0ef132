# The integration tests drive the built, signed helper and client as separate
# processes; they are signed themselves so that the helper serves them as it
# serves Zefra Writer.
# The soak is one of them, with a main of its own that reads its options.
add_executable(soak ${CMAKE_CURRENT_LIST_DIR}/soak.cc)
target_link_libraries(soak PRIVATE zefra_app zefra_test_support GTest::gtest)
set_target_properties(soak PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
foreach(test end_to_end_test install_test soak)
  if(NOT TARGET ${test})
    continue()
  endif()
  target_link_libraries(${test} PRIVATE zefra_client)
  add_dependencies(${test} zefra-helper zefra-helper-client zefra-codesign zefra-make-update)
  target_compile_definitions(${test} PRIVATE
    ZEFRA_TEST_BUNDLE="${ZEFRA_BUNDLE_DIR}"
    ZEFRA_TEST_HELPER="${ZEFRA_BUNDLE_DIR}/Contents/Linux/zefra-helper"
    ZEFRA_TEST_CLIENT="$<TARGET_FILE:zefra-helper-client>"
    ZEFRA_TEST_SIGNING_KEY="${ZEFRA_CODESIGN_KEY}"
    ZEFRA_TEST_SIGNING_CHAIN="${ZEFRA_CODESIGN_CHAIN}"
    ZEFRA_TEST_CODESIGN_TOOL="$<TARGET_FILE:zefra-codesign>"
    ZEFRA_TEST_MAKE_UPDATE="$<TARGET_FILE:zefra-make-update>")
  zefra_sign_executable(${test} "com.ovak.zefra.tests")
endforeach()

# The protocol's Python client runs under a copy of the system's interpreter,
# signed for the tests only: the helper serves nothing unsigned. Only the
# system's own build will do, as the helper refuses a peer that maps
# libraries from outside the system's library folders.
if(TARGET end_to_end_test)
  find_program(ZEFRA_TEST_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
  set(signed_python "")
  if(ZEFRA_TEST_SYSTEM_PYTHON)
    file(REAL_PATH "${ZEFRA_TEST_SYSTEM_PYTHON}" system_python)
    set(signed_python "${CMAKE_BINARY_DIR}/tests/python3-signed")
    add_custom_command(OUTPUT "${signed_python}"
      COMMAND ${CMAKE_COMMAND} -E copy "${system_python}" "${signed_python}"
      COMMAND zefra-codesign sign --key "${ZEFRA_CODESIGN_KEY}" --cert "${ZEFRA_CODESIGN_CHAIN}"
              --identifier com.ovak.zefra.tests "${signed_python}"
      DEPENDS "${system_python}" zefra-codesign "${ZEFRA_CODESIGN_KEY}" "${ZEFRA_CODESIGN_CHAIN}"
      COMMENT "Signing a copy of ${system_python} for the protocol client"
      VERBATIM)
    add_custom_target(zefra_test_signed_python DEPENDS "${signed_python}")
    add_dependencies(end_to_end_test zefra_test_signed_python)
  endif()
  target_compile_definitions(end_to_end_test PRIVATE
    ZEFRA_TEST_PYTHON="${signed_python}"
    ZEFRA_TEST_PROTOCOL_CLIENT="${CMAKE_CURRENT_LIST_DIR}/protocol_client.py")
endif()

# The soak: many clients, thousands of runs with random cancels and
# disconnects. It takes minutes, so it carries the label "soak" and
# scripts/test runs only a short round of it; `ctest --test-dir build -L soak`
# runs it whole. Its
# burst of connections from a client signed moments before takes seconds and
# stays in the suite: the helper hashes such a client at every connect.
add_test(NAME Soak.EveryRunAnsweredOnceAndNothingLeft COMMAND soak)
set_tests_properties(Soak.EveryRunAnsweredOnceAndNothingLeft PROPERTIES LABELS soak TIMEOUT 1200)
# A short round of the same in every run of the suite.
add_test(NAME Soak.ShortRoundAnswersEveryRunOnceAndLeavesNothing
         COMMAND soak --clients 16 --runs 500 --seed 3 --max-seconds 240)
set_tests_properties(Soak.ShortRoundAnswersEveryRunOnceAndLeavesNothing
                     PROPERTIES LABELS integration TIMEOUT 300)
add_test(NAME Soak.EveryConnectionOfAFreshlySignedClientAnswered
         COMMAND sh -c "cp \"$1\" \"$1-fresh\" && \"$2\" sign --key \"$3\" --cert \"$4\" \
                        --identifier com.ovak.zefra.tests \"$1-fresh\" && exec \"$1-fresh\" --burst 4 --clients 12"
                 sh $<TARGET_FILE:soak> $<TARGET_FILE:zefra-codesign> ${ZEFRA_CODESIGN_KEY}
                 ${ZEFRA_CODESIGN_CHAIN})
set_tests_properties(Soak.EveryConnectionOfAFreshlySignedClientAnswered
                     PROPERTIES LABELS integration TIMEOUT 300)
