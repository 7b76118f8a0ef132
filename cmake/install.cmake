# `cmake --install`: the bundle with its desktop entry (install_bundle.cmake),
# the command-line client, and the client library as the CMake package
# ZefraHelper (target ZefraHelper::client).
include(CMakePackageConfigHelpers)

install(CODE "
  set(ZEFRA_USER_PREFIX \"${ZEFRA_USER_PREFIX}\")
  set(ZEFRA_BUNDLE_SOURCE \"${ZEFRA_BUNDLE_DIR}\")
  set(ZEFRA_CODESIGN \"$<TARGET_FILE:zefra-codesign>\")
  set(ZEFRA_DATADIR \"${CMAKE_INSTALL_DATADIR}\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/install_bundle.cmake\")
")
install(PROGRAMS "${ZEFRA_BIN_DIR}/zefra-helper-client" DESTINATION ${CMAKE_INSTALL_BINDIR})

# The library and what it stands on; hosts link only ZefraHelper::client.
set(zefra_client_libraries zefra_client zefra_xpc zefra_ipc zefra_platform zefra_wire zefra_base)
foreach(library ${zefra_client_libraries})
  string(REPLACE "zefra_" "" name ${library})
  set_target_properties(${library} PROPERTIES EXPORT_NAME ${name})
endforeach()
install(TARGETS ${zefra_client_libraries} EXPORT ZefraHelperTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# Only the headers that client/remote_proxy.h and the service names
# (xpc/interface.h) bring in; the install test builds a host against them.
foreach(header base/bytes.h base/result.h base/unique_fd.h client/remote_proxy.h
               ipc/client_connection.h ipc/exported_interface.h platform/dispatch/queue.h
               platform/dispatch/wakeup.h
               platform/process/output_sink.h wire/codec.h wire/message.h wire/value.h
               xpc/interface.h xpc/operations.h xpc/protocol.h xpc/run_options.h
               xpc/run_options_wire.h xpc/wire_types.h)
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES "${PROJECT_SOURCE_DIR}/src/${header}"
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zefra-helper/${dir})
endforeach()
set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/ZefraHelper)
install(EXPORT ZefraHelperTargets NAMESPACE ZefraHelper:: DESTINATION ${package_dir})
configure_package_config_file(cmake/ZefraHelperConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/ZefraHelperConfig.cmake
                              INSTALL_DESTINATION ${package_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/ZefraHelperConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/ZefraHelperConfig.cmake
              ${CMAKE_BINARY_DIR}/ZefraHelperConfigVersion.cmake
        DESTINATION ${package_dir})
