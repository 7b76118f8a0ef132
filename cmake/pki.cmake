# The trust anchor compiled into the helper, and the identity that signs the
# build's executables.
#
# ZEFRA_ANCHOR empty (the default): a development PKI is generated once in
# ${CMAKE_BINARY_DIR}/pki (reused on every reconfigure): an anchor CA and a
# code-signing leaf for team K4T9QZ2M7B, with their keys.
# ZEFRA_ANCHOR set: that PEM is the anchor, and ZEFRA_SIGNING_KEY with
# ZEFRA_SIGNING_CHAIN (leaf first, then intermediates) sign.
#
# Results:
#   ZEFRA_ANCHOR_PEM       the anchor's PEM text (compiled into zefra_platform)
#   ZEFRA_ANCHOR_FILE      the anchor's PEM file
#   ZEFRA_CODESIGN_KEY     key that signs the build's executables
#   ZEFRA_CODESIGN_CHAIN   its certificate chain
#   ZEFRA_DEV_PKI_DIR      the development PKI directory, empty for a release anchor
#   ZEFRA_DEV_ANCHOR_KEY   the development anchor's key (tests make more leaves with it)

set(ZEFRA_TEAM_IDENTIFIER "K4T9QZ2M7B")

if(ZEFRA_ANCHOR)
  foreach(file ZEFRA_ANCHOR ZEFRA_SIGNING_KEY ZEFRA_SIGNING_CHAIN)
    if(NOT ${file} OR NOT EXISTS "${${file}}")
      message(FATAL_ERROR "ZEFRA_ANCHOR needs ZEFRA_SIGNING_KEY and ZEFRA_SIGNING_CHAIN; "
                          "${file} is missing (\"${${file}}\")")
    endif()
  endforeach()
  set(ZEFRA_ANCHOR_FILE "${ZEFRA_ANCHOR}")
  set(ZEFRA_CODESIGN_KEY "${ZEFRA_SIGNING_KEY}")
  set(ZEFRA_CODESIGN_CHAIN "${ZEFRA_SIGNING_CHAIN}")
  set(ZEFRA_DEV_PKI_DIR "")
  set(ZEFRA_DEV_ANCHOR_KEY "")
else()
  if(ZEFRA_SIGNING_KEY OR ZEFRA_SIGNING_CHAIN)
    message(FATAL_ERROR "ZEFRA_SIGNING_KEY and ZEFRA_SIGNING_CHAIN need ZEFRA_ANCHOR")
  endif()
  set(ZEFRA_DEV_PKI_DIR "${CMAKE_BINARY_DIR}/pki")
  set(ZEFRA_ANCHOR_FILE "${ZEFRA_DEV_PKI_DIR}/anchor.pem")
  set(ZEFRA_DEV_ANCHOR_KEY "${ZEFRA_DEV_PKI_DIR}/anchor.key")
  set(ZEFRA_CODESIGN_KEY "${ZEFRA_DEV_PKI_DIR}/signing.key")
  set(ZEFRA_CODESIGN_CHAIN "${ZEFRA_DEV_PKI_DIR}/signing.pem")

  if(NOT EXISTS "${ZEFRA_ANCHOR_FILE}" OR NOT EXISTS "${ZEFRA_DEV_ANCHOR_KEY}"
     OR NOT EXISTS "${ZEFRA_CODESIGN_KEY}" OR NOT EXISTS "${ZEFRA_CODESIGN_CHAIN}")
    find_program(ZEFRA_OPENSSL_COMMAND openssl REQUIRED)
    message(STATUS "Generating the development PKI in ${ZEFRA_DEV_PKI_DIR}")
    # Built in a scratch directory and moved into place whole, so that an
    # interrupted run is never mistaken for a finished one.
    set(work "${CMAKE_BINARY_DIR}/pki.tmp")
    file(REMOVE_RECURSE "${work}")
    file(MAKE_DIRECTORY "${work}")
    file(WRITE "${work}/extensions.cnf"
      "[req]\n"
      "distinguished_name = subject\n"
      "[subject]\n"
      "[anchor]\n"
      "basicConstraints = critical, CA:TRUE\n"
      "keyUsage = critical, keyCertSign, cRLSign\n"
      "subjectKeyIdentifier = hash\n"
      "[leaf]\n"
      "basicConstraints = critical, CA:FALSE\n"
      "keyUsage = critical, digitalSignature\n"
      "extendedKeyUsage = critical, codeSigning\n"
      "subjectKeyIdentifier = hash\n"
      "authorityKeyIdentifier = keyid\n")
    string(RANDOM LENGTH 16 ALPHABET 0123456789abcdef anchor_serial)
    string(RANDOM LENGTH 16 ALPHABET 0123456789abcdef leaf_serial)
    set(steps
      "genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out anchor.key"
      "req -new -x509 -key anchor.key -out anchor.pem -days 7300 -sha256 -set_serial 0x1${anchor_serial} -subj /O=Zefra\\ Development/CN=Zefra\\ Development\\ Anchor -config extensions.cnf -extensions anchor"
      "genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out signing.key"
      "req -new -key signing.key -out signing.csr -subj /O=Zefra\\ Development/OU=${ZEFRA_TEAM_IDENTIFIER}/CN=Zefra\\ Development\\ Code\\ Signing -config extensions.cnf"
      "x509 -req -in signing.csr -CA anchor.pem -CAkey anchor.key -out signing.pem -days 3650 -sha256 -set_serial 0x1${leaf_serial} -extfile extensions.cnf -extensions leaf")
    foreach(step ${steps})
      separate_arguments(step_args UNIX_COMMAND "${step}")
      execute_process(COMMAND "${ZEFRA_OPENSSL_COMMAND}" ${step_args}
                      WORKING_DIRECTORY "${work}"
                      RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
      if(NOT status EQUAL 0)
        message(FATAL_ERROR "Generating the development PKI failed at 'openssl ${step}':\n${output}")
      endif()
    endforeach()
    file(CHMOD "${work}/anchor.key" "${work}/signing.key" PERMISSIONS OWNER_READ OWNER_WRITE)
    file(REMOVE "${work}/signing.csr" "${work}/extensions.cnf")
    file(REMOVE_RECURSE "${ZEFRA_DEV_PKI_DIR}")
    file(RENAME "${work}" "${ZEFRA_DEV_PKI_DIR}")
  endif()
endif()

file(READ "${ZEFRA_ANCHOR_FILE}" ZEFRA_ANCHOR_PEM)
string(STRIP "${ZEFRA_ANCHOR_PEM}" ZEFRA_ANCHOR_PEM)
if(NOT ZEFRA_ANCHOR_PEM MATCHES "^-----BEGIN CERTIFICATE-----[^-]+-----END CERTIFICATE-----$")
  message(FATAL_ERROR "${ZEFRA_ANCHOR_FILE} must hold exactly one PEM certificate")
endif()
# A changed anchor file reconfigures, so the compiled anchor follows it.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${ZEFRA_ANCHOR_FILE}")
