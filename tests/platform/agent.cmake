# The agent tests read the unit templates and desktop entries from the source.
if(TARGET desktop_test)
  target_compile_definitions(desktop_test PRIVATE
    ZEFRA_TEST_AGENT_RESOURCES="${PROJECT_SOURCE_DIR}/src/app/resources")
endif()
