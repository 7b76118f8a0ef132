# The end-to-end tests drive the built, signed helper and client; they are
# signed themselves so that the helper serves them as it serves Zefra Writer.
file(GLOB integration_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_test.cc)
foreach(source ${integration_sources})
  get_filename_component(test ${source} NAME_WE)
  target_link_libraries(${test} PRIVATE zefra_client)
  add_dependencies(${test} zefra-helper zefra-helper-client)
  target_compile_definitions(${test} PRIVATE
    ZEFRA_TEST_HELPER="${ZEFRA_BUNDLE_DIR}/Contents/Linux/zefra-helper"
    ZEFRA_TEST_CLIENT="$<TARGET_FILE:zefra-helper-client>")
  zefra_sign_executable(${test} "com.ovak.zefra.tests")
endforeach()
