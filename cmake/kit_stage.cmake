# Lays out the vendor kit's folder anew (cmake/kit.cmake): the programs, the
# checksummed zlib1.dll, the README, the licences and SHA256SUMS, each with
# fixed permissions so that the zip does not depend on the umask.
# Without zpack.exe (no libdeflate for Windows) there is no kit.
if(NOT EXISTS ${ZPACK_EXE})
  file(READ ${ZPACK_EXE_WHY} _why)
  message(FATAL_ERROR "No kit: ${_why}")
endif()
file(REMOVE_RECURSE ${KIT_DIR})
file(MAKE_DIRECTORY ${KIT_DIR}/licences ${KIT_DIR}/lib/cmake/ZentrovaKit)
set(_programs OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
              WORLD_EXECUTE)
set(_texts OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

function(kit_file source name permissions)
  file(COPY_FILE ${source} ${KIT_DIR}/${name})
  file(CHMOD ${KIT_DIR}/${name} FILE_PERMISSIONS ${${permissions}})
endfunction()

kit_file(${STUB} ZentrovaSetup-stub.exe _texts)
kit_file(${ZPACK} zpack _programs)
kit_file(${ZPACK_EXE} zpack.exe _texts)
# The README is docs/vendor.md as plain text: the same words, without the
# backticks of its code.
file(READ ${README} _readme)
string(REPLACE "`" "" _readme "${_readme}")
file(WRITE ${KIT_DIR}/README.txt "${_readme}")
file(CHMOD ${KIT_DIR}/README.txt FILE_PERMISSIONS ${_texts})
# The CMake package, found relative to itself (lib/cmake/ZentrovaKit/).
foreach(_file IN LISTS CMAKE_PACKAGE)
  get_filename_component(_name ${_file} NAME)
  kit_file(${_file} lib/cmake/ZentrovaKit/${_name} _texts)
endforeach()
foreach(_licence IN LISTS LICENCES)
  string(REPLACE "=" ";" _pair "${_licence}")
  list(GET _pair 0 _name)
  list(GET _pair 1 _source)
  kit_file(${_source} licences/${_name} _texts)
endforeach()
execute_process(COMMAND ${PE_CHECKSUM} ${ZLIB_DLL} ${KIT_DIR}/zlib1.dll RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "Could not fill in the PE checksum of ${ZLIB_DLL}")
endif()
file(CHMOD ${KIT_DIR}/zlib1.dll FILE_PERMISSIONS ${_texts})

file(GLOB_RECURSE _files RELATIVE ${KIT_DIR} ${KIT_DIR}/*)
list(SORT _files)
set(_sums "")
foreach(_file IN LISTS _files)
  file(SHA256 ${KIT_DIR}/${_file} _hash)
  string(APPEND _sums "${_hash}  ${_file}\n")
endforeach()
file(WRITE ${KIT_DIR}/SHA256SUMS "${_sums}")
file(CHMOD ${KIT_DIR}/SHA256SUMS FILE_PERMISSIONS ${_texts})
