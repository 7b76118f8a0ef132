# The app tests drive the built, signed helper and client; they are signed
# themselves so that the helper serves them as it serves Zefra Writer.
foreach(test end_to_end_test helper_delegate_test install_test hostile_test)
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
