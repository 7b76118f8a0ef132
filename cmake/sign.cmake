# Signing the build's products with zefra-codesign after each link, using
# ZEFRA_CODESIGN_KEY and ZEFRA_CODESIGN_CHAIN from pki.cmake.

# Signs the executable of `target` (any executable target, tests included)
# with `identifier`.
function(zefra_sign_executable target identifier)
  add_dependencies(${target} zefra-codesign)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND zefra-codesign sign --key "${ZEFRA_CODESIGN_KEY}" --cert "${ZEFRA_CODESIGN_CHAIN}"
            --identifier "${identifier}" "$<TARGET_FILE:${target}>"
    COMMENT "Signing $<TARGET_FILE_NAME:${target}> as ${identifier}"
    VERBATIM)
endfunction()

# Signs the bundle ${ZEFRA_BUNDLE_DIR} whose main executable `target` builds:
# the seal covers what the bundle holds when `target` has just been linked,
# so everything else must be in place by then.
function(zefra_sign_bundle target identifier)
  add_dependencies(${target} zefra-codesign)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND zefra-codesign sign --key "${ZEFRA_CODESIGN_KEY}" --cert "${ZEFRA_CODESIGN_CHAIN}"
            --identifier "${identifier}" "${ZEFRA_BUNDLE_DIR}"
    COMMENT "Signing the bundle as ${identifier}"
    VERBATIM)
endfunction()
