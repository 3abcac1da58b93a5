# `cpack -G External` runs this (ZentrovaCPack.cmake) once the install tree
# is staged in CPACK_TEMPORARY_DIRECTORY: one folder, or one per component.
set(_staged "${CPACK_TEMPORARY_DIRECTORY}")
set(_tree "${CPACK_TOPLEVEL_DIRECTORY}/zentrova-setup-tree")
file(REMOVE_RECURSE "${_tree}")
if(CPACK_COMPONENTS_ALL)
  # Every component into the one setup program.
  foreach(_component IN LISTS CPACK_COMPONENTS_ALL)
    if(IS_DIRECTORY "${_staged}/${_component}")
      file(COPY "${_staged}/${_component}/" DESTINATION "${_tree}")
    endif()
  endforeach()
else()
  set(_tree "${_staged}")
endif()
if(NOT EXISTS "${_tree}/InstallZentrova.exe")
  message(FATAL_ERROR "The staged install tree has no InstallZentrova.exe at its top, which the "
                      "setup program starts: install your installer there")
endif()

set(_setup "${CPACK_TOPLEVEL_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.exe")
set(_unsigned "${_setup}")
if(CPACK_ZENTROVA_SIGN_COMMAND)
  set(_unsigned "${CPACK_TOPLEVEL_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}-unsigned.exe")
endif()
file(REMOVE "${_setup}" "${_unsigned}")
execute_process(
  COMMAND "${CPACK_ZENTROVA_ZPACK}" create-setup -q "${_unsigned}" "${CPACK_ZENTROVA_STUB}"
          "${_tree}"
  RESULT_VARIABLE _rc ERROR_VARIABLE _error)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "zpack could not make ${CPACK_PACKAGE_FILE_NAME}.exe:\n${_error}")
endif()
if(CPACK_ZENTROVA_SIGN_COMMAND)
  set(_sign "${CPACK_ZENTROVA_SIGN_COMMAND}")
  list(TRANSFORM _sign REPLACE "<IN>" "${_unsigned}")
  list(TRANSFORM _sign REPLACE "<OUT>" "${_setup}")
  execute_process(COMMAND ${_sign} RESULT_VARIABLE _rc OUTPUT_VARIABLE _output
                  ERROR_VARIABLE _output)
  if(NOT _rc EQUAL 0 OR NOT EXISTS "${_setup}")
    message(FATAL_ERROR "ZENTROVA_SIGN_COMMAND did not sign ${_unsigned} into ${_setup} "
                        "(${_rc}):\n${_output}")
  endif()
endif()
set(CPACK_EXTERNAL_BUILT_PACKAGES "${_setup}")
