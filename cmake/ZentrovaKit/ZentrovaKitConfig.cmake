# The vendor kit as a CMake package, found relative to this file: in the
# unpacked kit (its top holds the programs) or installed under a prefix
# (bin/zpack, share/zentrova/), as the Debian package has it.
#   find_package(ZentrovaKit 1.2 REQUIRED)
#   ZentrovaKit::zpack      the packer for this host (zpack.exe on Windows)
#   ZentrovaKit_STUB        ZentrovaSetup-stub.exe
#   ZentrovaKit_ZLIB_DLL    the 32-bit zlib1.dll the setup program unpacks with
#   zentrova_add_setup(<target> OUTPUT <file> DIRECTORY <dir> [BEST]
#                      [ZLIB <dll>] [DEPENDS <file>...])
#                           a target, built by default, that writes the setup
#                           program of <dir> when an input changed
# include(ZentrovaCPack) then makes the setup program with `cpack -G External`.
get_filename_component(_zentrova_top "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(EXISTS "${_zentrova_top}/ZentrovaSetup-stub.exe")
  set(_zentrova_programs "${_zentrova_top}")
  set(_zentrova_files "${_zentrova_top}")
else()
  set(_zentrova_programs "${_zentrova_top}/bin")
  set(_zentrova_files "${_zentrova_top}/share/zentrova")
endif()
if(CMAKE_HOST_WIN32)
  set(ZentrovaKit_ZPACK "${_zentrova_programs}/zpack.exe")
else()
  set(ZentrovaKit_ZPACK "${_zentrova_programs}/zpack")
endif()
set(ZentrovaKit_STUB "${_zentrova_files}/ZentrovaSetup-stub.exe")
set(ZentrovaKit_ZLIB_DLL "${_zentrova_files}/zlib1.dll")
foreach(_zentrova_file IN ITEMS "${ZentrovaKit_ZPACK}" "${ZentrovaKit_STUB}"
                                "${ZentrovaKit_ZLIB_DLL}")
  if(NOT EXISTS "${_zentrova_file}")
    set(ZentrovaKit_FOUND FALSE)
    set(ZentrovaKit_NOT_FOUND_MESSAGE "the kit in ${_zentrova_top} has no ${_zentrova_file}")
    return()
  endif()
endforeach()

if(NOT TARGET ZentrovaKit::zpack)
  add_executable(ZentrovaKit::zpack IMPORTED)
  set_target_properties(ZentrovaKit::zpack PROPERTIES IMPORTED_LOCATION "${ZentrovaKit_ZPACK}")
endif()
# For include(ZentrovaCPack).
if(NOT "${CMAKE_CURRENT_LIST_DIR}" IN_LIST CMAKE_MODULE_PATH)
  list(APPEND CMAKE_MODULE_PATH "${CMAKE_CURRENT_LIST_DIR}")
endif()

function(zentrova_add_setup target)
  cmake_parse_arguments(PARSE_ARGV 1 _arg "BEST" "OUTPUT;DIRECTORY;ZLIB" "DEPENDS")
  if(_arg_UNPARSED_ARGUMENTS OR NOT _arg_OUTPUT OR NOT _arg_DIRECTORY)
    message(FATAL_ERROR "zentrova_add_setup(<target> OUTPUT <file> DIRECTORY <dir> [BEST] "
                        "[ZLIB <dll>] [DEPENDS <file>...]), not: ${ARGV}")
  endif()
  get_filename_component(_out "${_arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  get_filename_component(_dir "${_arg_DIRECTORY}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  set(_options -q)
  if(_arg_BEST)
    list(APPEND _options --best)
  endif()
  set(_depends "${ZentrovaKit_ZPACK}" "${ZentrovaKit_STUB}" ${_arg_DEPENDS})
  if(_arg_ZLIB)
    get_filename_component(_zlib "${_arg_ZLIB}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND _options --zlib "${_zlib}")
    list(APPEND _depends "${_zlib}")
  endif()
  # The folder's files now; one added later configures anew. A folder made
  # by the build names what makes it in DEPENDS.
  file(GLOB_RECURSE _files CONFIGURE_DEPENDS "${_dir}/*")
  get_filename_component(_name "${_out}" NAME)
  add_custom_command(OUTPUT "${_out}"
    COMMAND ZentrovaKit::zpack create-setup ${_options} "${_out}" "${ZentrovaKit_STUB}" "${_dir}"
    DEPENDS ${_depends} ${_files}
    COMMENT "Making ${_name} from ${_dir}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${_out}")
endfunction()
