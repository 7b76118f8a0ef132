# Fixtures of the code-identity tests: an unsigned peer program, a copy the
# build signs with its own identity, and the paths of the build's PKI.
add_executable(zefra_test_peer ${CMAKE_CURRENT_LIST_DIR}/peer_program.cc)
add_executable(zefra_test_peer_signed ${CMAKE_CURRENT_LIST_DIR}/peer_program.cc)
set_target_properties(zefra_test_peer zefra_test_peer_signed PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
# The shared test headers only: the peer maps nothing but system libraries.
target_include_directories(zefra_test_peer PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_include_directories(zefra_test_peer_signed PRIVATE ${PROJECT_SOURCE_DIR}/tests)
zefra_sign_executable(zefra_test_peer_signed "com.ovak.zefra.test-peer")

foreach(test signature_block_test peer_validation_test)
  if(NOT TARGET ${test})
    continue()
  endif()
  add_dependencies(${test} zefra_test_peer zefra_test_peer_signed zefra-codesign)
  target_compile_definitions(${test} PRIVATE
    ZEFRA_TEST_PEER_PROGRAM="$<TARGET_FILE:zefra_test_peer>"
    ZEFRA_TEST_SIGNED_PEER="$<TARGET_FILE:zefra_test_peer_signed>"
    ZEFRA_TEST_CODESIGN_TOOL="$<TARGET_FILE:zefra-codesign>"
    ZEFRA_TEST_ANCHOR_FILE="${ZEFRA_ANCHOR_FILE}"
    ZEFRA_TEST_ANCHOR_KEY="${ZEFRA_DEV_ANCHOR_KEY}"
    ZEFRA_TEST_SIGNING_KEY="${ZEFRA_CODESIGN_KEY}"
    ZEFRA_TEST_SIGNING_CHAIN="${ZEFRA_CODESIGN_CHAIN}"
    ZEFRA_TEST_BUNDLE_DIR="${ZEFRA_BUNDLE_DIR}")
endforeach()

# The build's own products are checked by the signature block test.
if(TARGET signature_block_test)
  add_dependencies(signature_block_test zefra-helper zefra-helper-client)
endif()

# peerIsTrusted is tested end to end: the test program links the IPC layer,
# and is itself signed so that it can connect to itself like the helper's
# own probe does.
if(TARGET peer_validation_test)
  zefra_sign_executable(peer_validation_test "com.ovak.zefra.tests")
endif()
