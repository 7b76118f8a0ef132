# Signing the build's products with zefra-codesign after each link, using
# ZEFRA_CODESIGN_KEY and ZEFRA_CODESIGN_CHAIN from pki.cmake.

# A new signing identity (say, a regenerated development PKI) relinks and
# so re-signs.
function(zefra_signing_inputs target)
  add_dependencies(${target} zefra-codesign)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
               "${ZEFRA_CODESIGN_KEY}" "${ZEFRA_CODESIGN_CHAIN}")
endfunction()

# Signs `path` with `identifier` each time `target` has been linked.
function(zefra_sign_after_link target identifier path)
  zefra_signing_inputs(${target})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND zefra-codesign sign --key "${ZEFRA_CODESIGN_KEY}" --cert "${ZEFRA_CODESIGN_CHAIN}"
            --identifier "${identifier}" "${path}"
    COMMENT "Signing ${path} as ${identifier}"
    VERBATIM)
endfunction()

# Signs the executable of `target` (any executable target, tests included)
# with `identifier`.
function(zefra_sign_executable target identifier)
  zefra_sign_after_link(${target} "${identifier}" "$<TARGET_FILE:${target}>")
endfunction()

# Signs the bundle ${ZEFRA_BUNDLE_DIR} whose main executable `target` builds:
# the seal covers what the bundle holds when `target` has just been linked,
# so everything else must be in place by then. A file of the bundle that
# changes later must relink `target` (LINK_DEPENDS) to be sealed again;
# Contents/Info.json is registered here.
function(zefra_sign_bundle target identifier)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${ZEFRA_BUNDLE_DIR}/Contents/Info.json")
  zefra_sign_after_link(${target} "${identifier}" "${ZEFRA_BUNDLE_DIR}")
endfunction()
