# Builds the kit's zpack.exe (cmake/kit_packers.cmake), as a build step:
# libdeflate for Windows first (scripts/libdeflate-mingw.sh, which fetches
# Debian's source the first time), then packer/ against it in BINARY_DIR.
# When libdeflate cannot be had it says why, in a line and in WHY, leaves no
# zpack.exe and succeeds: only what needs zpack.exe goes without.
file(REMOVE ${WHY})
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env ZENTROVA_LIBDEFLATE_CACHE=${LIBDEFLATE_CACHE}
          ${SOURCE_DIR}/scripts/libdeflate-mingw.sh ${LIBDEFLATE}
  OUTPUT_QUIET ERROR_VARIABLE _why RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  file(REMOVE ${BINARY_DIR}/zpack.exe)
  string(STRIP "${_why}" _why)
  set(_why "No zpack.exe: libdeflate for Windows could not be built: ${_why}")
  file(WRITE ${WHY} "${_why}\n")
  message(WARNING "${_why}")
  return()
endif()

# Configured every time, so that a changed argument reaches the build; the
# output only when it fails.
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/packer -B ${BINARY_DIR} ${ARGS}
          -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/mingw-x86_64.cmake
          -DLIBDEFLATE_ROOT=${LIBDEFLATE}
  OUTPUT_VARIABLE _log ERROR_VARIABLE _log RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "Could not configure zpack.exe in ${BINARY_DIR}:\n${_log}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY_DIR} --target zpack
                COMMAND_ERROR_IS_FATAL ANY)
