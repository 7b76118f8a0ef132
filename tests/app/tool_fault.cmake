# The tool fault test drives the built, signed helper as the app tests do.
if(TARGET tool_fault_test)
  target_link_libraries(tool_fault_test PRIVATE zefra_client)
  add_dependencies(tool_fault_test zefra-helper zefra-helper-client)
  target_compile_definitions(tool_fault_test PRIVATE
    ZEFRA_TEST_HELPER="${ZEFRA_BUNDLE_DIR}/Contents/Linux/zefra-helper"
    ZEFRA_TEST_CLIENT="$<TARGET_FILE:zefra-helper-client>")
  zefra_sign_executable(tool_fault_test "com.ovak.zefra.tests")
endif()
