# Optional Authenticode signature of the setup program. Set both
# ZENTROVA_SIGN_CERT and ZENTROVA_SIGN_KEY (PEM files) to sign; leave both
# empty for an unsigned build.
set(ZENTROVA_SIGN_CERT "" CACHE FILEPATH
    "PEM certificate (and chain) to sign ZentrovaSetup.exe with; empty for no signature")
set(ZENTROVA_SIGN_KEY "" CACHE FILEPATH "Unencrypted PEM private key of ZENTROVA_SIGN_CERT")
set(ZENTROVA_SIGN_TIMESTAMP_URL "" CACHE STRING
    "RFC 3161 timestamp server; empty to take the signing time from SOURCE_DATE_EPOCH")

# Checked at configure time, so that a release build cannot end unsigned
# halfway through because of a typing error. Sets commands_var to the
# COMMAND that signs file in place, for the custom command that makes it,
# and depends_var to what a new signature depends on; both empty when
# nothing signs.
function(zentrova_sign_step file commands_var depends_var)
  set(${commands_var} "" PARENT_SCOPE)
  set(${depends_var} "" PARENT_SCOPE)
  if(NOT ZENTROVA_SIGN_CERT AND NOT ZENTROVA_SIGN_KEY)
    if(ZENTROVA_SIGN_TIMESTAMP_URL)
      message(FATAL_ERROR "ZENTROVA_SIGN_TIMESTAMP_URL is set but nothing signs: "
                          "give ZENTROVA_SIGN_CERT and ZENTROVA_SIGN_KEY too")
    endif()
    return()
  endif()
  if(NOT ZENTROVA_SIGN_CERT OR NOT ZENTROVA_SIGN_KEY)
    message(FATAL_ERROR "Signing needs both ZENTROVA_SIGN_CERT and ZENTROVA_SIGN_KEY "
                        "(cert: \"${ZENTROVA_SIGN_CERT}\", key: \"${ZENTROVA_SIGN_KEY}\")")
  endif()
  foreach(var ZENTROVA_SIGN_CERT ZENTROVA_SIGN_KEY)
    if(NOT EXISTS "${${var}}" OR IS_DIRECTORY "${${var}}")
      message(FATAL_ERROR "${var}: no such file: ${${var}}")
    endif()
  endforeach()
  find_program(ZENTROVA_OSSLSIGNCODE osslsigncode)
  if(NOT ZENTROVA_OSSLSIGNCODE OR NOT EXISTS "${ZENTROVA_OSSLSIGNCODE}")
    message(FATAL_ERROR "Signing needs osslsigncode, which was not found "
                        "(scripts/setup.sh installs it): ${ZENTROVA_OSSLSIGNCODE}")
  endif()
  get_filename_component(_name "${file}" NAME)
  message(STATUS "Signing ${_name} with ${ZENTROVA_SIGN_CERT}")
  set(${commands_var}
    COMMAND ${CMAKE_COMMAND}
            -DOSSLSIGNCODE=${ZENTROVA_OSSLSIGNCODE}
            -DCERT=${ZENTROVA_SIGN_CERT} -DKEY=${ZENTROVA_SIGN_KEY}
            -DTIMESTAMP_URL=${ZENTROVA_SIGN_TIMESTAMP_URL}
            "-DDESCRIPTION=Zentrova Installer"
            -DFILE=${file}
            -P ${CMAKE_SOURCE_DIR}/cmake/sign_file.cmake
    PARENT_SCOPE)
  # A new certificate or key signs anew.
  set(${depends_var} ${ZENTROVA_SIGN_CERT} ${ZENTROVA_SIGN_KEY}
      ${CMAKE_SOURCE_DIR}/cmake/sign_file.cmake PARENT_SCOPE)
endfunction()
