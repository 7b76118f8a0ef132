# Runs at `cmake --install` (see install.cmake): copies the signed bundle,
# checks that the copy still passes its seal, and writes the desktop entry
# whose opening registers the agent. Decided here rather than at configure
# time so that `cmake --install build --prefix DIR` moves everything.

# The per-user default prefix ~/.local keeps its applications in ~/Applications.
if(CMAKE_INSTALL_PREFIX STREQUAL ZEFRA_USER_PREFIX)
  set(applications "$ENV{HOME}/Applications")
else()
  set(applications "${CMAKE_INSTALL_PREFIX}/Applications")
endif()
set(bundle "${applications}/Zefra Helper.app")
set(staged "$ENV{DESTDIR}${bundle}")

# A file left over from an older bundle would break the new one's seal.
file(REMOVE_RECURSE "${staged}")
# file(INSTALL) adds DESTDIR itself.
file(INSTALL "${ZEFRA_BUNDLE_SOURCE}" DESTINATION "${applications}" USE_SOURCE_PERMISSIONS)
execute_process(
  COMMAND "${ZEFRA_CODESIGN}" verify --bundle --identifier com.ovak.zefra.helper
          --team K4T9QZ2M7B "${staged}"
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "The installed bundle ${staged} fails its signature check:\n${output}")
endif()
message(STATUS "Signature verified: ${staged}")

file(READ "${staged}/Contents/Resources/Zefra Helper.desktop" entry)
string(REPLACE "%" "%%" executable "${bundle}/Contents/Linux/zefra-helper")
string(REPLACE "@EXECUTABLE@" "\"${executable}\"" entry "${entry}")
set(entry_file "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${ZEFRA_DATADIR}/applications/com.ovak.zefra.helper.app.desktop")
message(STATUS "Installing: ${entry_file}")
file(WRITE "${entry_file}" "${entry}")
