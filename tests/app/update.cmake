# The update tests drive a copy of the built, signed helper and feed it
# archives made by the maker's tool from the built bundle.
if(TARGET update_test)
  target_link_libraries(update_test PRIVATE zefra_client)
  add_dependencies(update_test zefra-helper zefra-helper-client zefra-make-update)
  target_compile_definitions(update_test PRIVATE
    ZEFRA_TEST_BUNDLE="${ZEFRA_BUNDLE_DIR}"
    ZEFRA_TEST_HELPER="${ZEFRA_BUNDLE_DIR}/Contents/Linux/zefra-helper"
    ZEFRA_TEST_CLIENT="$<TARGET_FILE:zefra-helper-client>"
    ZEFRA_TEST_SIGNING_KEY="${ZEFRA_CODESIGN_KEY}"
    ZEFRA_TEST_SIGNING_CHAIN="${ZEFRA_CODESIGN_CHAIN}"
    ZEFRA_TEST_MAKE_UPDATE="$<TARGET_FILE:zefra-make-update>")
  zefra_sign_executable(update_test "com.ovak.zefra.tests")
endif()
