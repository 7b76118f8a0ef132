# The delegate's test serves the built client from a delegate of its own;
# it is signed so that its own probe passes the peer checks.
if(TARGET helper_delegate_test)
  target_link_libraries(helper_delegate_test PRIVATE zefra_client)
  add_dependencies(helper_delegate_test zefra-helper zefra-helper-client)
  target_compile_definitions(helper_delegate_test PRIVATE
    ZEFRA_TEST_HELPER="${ZEFRA_BUNDLE_DIR}/Contents/Linux/zefra-helper"
    ZEFRA_TEST_CLIENT="$<TARGET_FILE:zefra-helper-client>")
  zefra_sign_executable(helper_delegate_test "com.ovak.zefra.tests")
endif()
