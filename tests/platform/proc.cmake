# Stand-ins for the process layer's tests.
add_executable(proc_tree_stub ${CMAKE_CURRENT_LIST_DIR}/proc_tree_stub.cc)
set_target_properties(proc_tree_stub PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
if(TARGET process_tree_test)
  add_dependencies(process_tree_test proc_tree_stub)
  target_compile_definitions(process_tree_test
                             PRIVATE ZEFRA_PROC_TREE_STUB="$<TARGET_FILE:proc_tree_stub>")
endif()
