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
# A host builds against the package alone, linking nothing it did not ask for.
file(READ "${root}${prefix}/lib/cmake/ZefraHelper/ZefraHelperTargets.cmake" targets)
if(targets MATCHES "OpenSSL|LIBARCHIVE|nlohmann")
  message(FATAL_ERROR "the client library's link interface names a library hosts do not need")
endif()
file(WRITE "${WORK}/host/CMakeLists.txt" "cmake_minimum_required(VERSION 3.25)
project(host CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(ZefraHelper REQUIRED)
add_executable(host main.cc)
target_link_libraries(host PRIVATE ZefraHelper::client)
")
file(WRITE "${WORK}/host/main.cc" "#include <client/remote_proxy.h>
#include <xpc/interface.h>
int main() {
  auto proxy = zefra::client::RemoteProxy::connect(zefra::xpc::machServiceNames[0],
                                                   [](const zefra::base::Error&) {});
  return proxy.ok() ? 0 : 1;
}
")
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${WORK}/host -B ${WORK}/host/build -G Ninja
          -DCMAKE_PREFIX_PATH=${root}${prefix}
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(status EQUAL 0)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/host/build
                  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
endif()
if(NOT status EQUAL 0)
  message(FATAL_ERROR "a host cannot build against the installed package:\n${output}")
endif()
file(REMOVE_RECURSE "${WORK}")
