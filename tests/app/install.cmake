# `cmake --install` of this build into a scratch DESTDIR. Included by the test
# tree it registers the test; run with -P it is the test.
if(NOT CMAKE_SCRIPT_MODE_FILE)
  add_test(NAME CMakeInstall.PlacesTheVerifiedBundleItsMenuEntryAndThePackage
           COMMAND ${CMAKE_COMMAND} -DBUILD=${CMAKE_BINARY_DIR}
                   -DWORK=${CMAKE_BINARY_DIR}/tests/install-check -P ${CMAKE_CURRENT_LIST_FILE})
  set_tests_properties(CMakeInstall.PlacesTheVerifiedBundleItsMenuEntryAndThePackage
                       PROPERTIES LABELS unit TIMEOUT 300)
  return()
endif()

# Installs BUILD under a chosen prefix into WORK, over a stale bundle with a
# file the new one lacks, and checks what a user and a host developer find.
set(prefix "/opt/zefra")
set(root "${WORK}/root")
set(bundle "${root}${prefix}/Applications/Zefra Helper.app")
file(REMOVE_RECURSE "${WORK}")
file(WRITE "${bundle}/Contents/Resources/left-over" "from an older bundle")

execute_process(
  COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${root} ${CMAKE_COMMAND} --install ${BUILD}
          --prefix ${prefix}
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${output}")
endif()
if(NOT output MATCHES "Signature verified: ")
  message(FATAL_ERROR "the installed bundle was not verified:\n${output}")
endif()
if(EXISTS "${bundle}/Contents/Resources/left-over")
  message(FATAL_ERROR "a file of the older bundle survived the install")
endif()

file(READ "${root}${prefix}/share/applications/com.ovak.zefra.helper.app.desktop" entry)
set(exec "Exec=env ZEFRA_LAUNCH_EVENT=aevt:oapp \"${prefix}/Applications/Zefra Helper.app/Contents/Linux/zefra-helper\"\n")
string(FIND "${entry}" "${exec}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the menu entry does not open the installed bundle:\n${entry}")
endif()

foreach(file bin/zefra-helper-client lib/libzefra_client.a include/zefra-helper/client/remote_proxy.h
             lib/cmake/ZefraHelper/ZefraHelperConfig.cmake lib/cmake/ZefraHelper/ZefraHelperTargets.cmake)
  if(NOT EXISTS "${root}${prefix}/${file}")
    message(FATAL_ERROR "${prefix}/${file} was not installed")
  endif()
endforeach()
file(REMOVE_RECURSE "${WORK}")
