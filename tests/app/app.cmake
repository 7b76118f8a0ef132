# The app tests drive the built, signed helper and client; they are signed
# themselves so that the helper serves them as it serves Zefra Writer.
foreach(test end_to_end_test helper_delegate_test install_test hostile_test streaming_test)
  if(NOT TARGET ${test})
    continue()
  endif()
  target_link_libraries(${test} PRIVATE zefra_client)
  add_dependencies(${test} zefra-helper zefra-helper-client zefra-codesign)
  target_compile_definitions(${test} PRIVATE
    ZEFRA_TEST_HELPER="${ZEFRA_BUNDLE_DIR}/Contents/Linux/zefra-helper"
    ZEFRA_TEST_CLIENT="$<TARGET_FILE:zefra-helper-client>"
    ZEFRA_TEST_SIGNING_KEY="${ZEFRA_CODESIGN_KEY}"
    ZEFRA_TEST_SIGNING_CHAIN="${ZEFRA_CODESIGN_CHAIN}"
    ZEFRA_TEST_CODESIGN_TOOL="$<TARGET_FILE:zefra-codesign>")
  zefra_sign_executable(${test} "com.ovak.zefra.tests")
endforeach()
# Under the user manager, install_test also updates the copy it installed.
if(TARGET install_test)
  add_dependencies(install_test zefra-make-update)
  target_compile_definitions(install_test PRIVATE
    ZEFRA_TEST_MAKE_UPDATE="$<TARGET_FILE:zefra-make-update>")
endif()

# The protocol's Python client runs under a copy of the system's interpreter,
# signed for the tests only: the helper serves nothing unsigned. Only the
# system's own build will do, as the helper refuses a peer that maps
# libraries from outside the system's library folders.
if(TARGET streaming_test)
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
    add_dependencies(streaming_test zefra_test_signed_python)
  endif()
  target_compile_definitions(streaming_test PRIVATE
    ZEFRA_TEST_PYTHON="${signed_python}"
    ZEFRA_TEST_PROTOCOL_CLIENT="${CMAKE_CURRENT_LIST_DIR}/protocol_client.py")
endif()
