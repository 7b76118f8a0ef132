# The agent tests read the unit templates and desktop entries from the source.
if(TARGET agent_service_test)
  target_compile_definitions(agent_service_test PRIVATE
    ZEFRA_TEST_AGENT_RESOURCES="${PROJECT_SOURCE_DIR}/src/app/resources")
endif()
