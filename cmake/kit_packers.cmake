# The packer as the vendor kit ships it, each a build of packer/ of its own:
# zpack for Linux x86-64 and zpack.exe for Windows x86-64, both linked
# statically, with zlib and libdeflate. A further static library goes into
# packer/CMakeLists.txt once and reaches both.
#   ZENTROVA_KIT_ZPACK        the Linux zpack (with pe_checksum beside it)
#   ZENTROVA_KIT_ZPACK_EXE    the Windows zpack.exe; empty when libdeflate
#                             could not be built for Windows
# Neither is built by default; the kit and the tests that need one ask.
set(_kit_common -G Ninja -DCMAKE_BUILD_TYPE=Release -DZENTROVA_PACKER_ONLY=ON
                -DZENTROVA_STATIC=ON)

set(_kit_linux_dir ${CMAKE_BINARY_DIR}/kit-linux)
zentrova_forget_other_source(${_kit_linux_dir} ${CMAKE_SOURCE_DIR}/packer
                             ${CMAKE_BINARY_DIR}/zentrova_kit_linux-prefix)
ExternalProject_Add(zentrova_kit_linux
  SOURCE_DIR ${CMAKE_SOURCE_DIR}/packer
  BINARY_DIR ${_kit_linux_dir}
  CMAKE_ARGS ${_kit_common} -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
  BUILD_COMMAND ${CMAKE_COMMAND} --build ${_kit_linux_dir} --target zpack pe_checksum
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  EXCLUDE_FROM_ALL ON
  BUILD_BYPRODUCTS ${_kit_linux_dir}/zpack ${_kit_linux_dir}/pe_checksum)
set(ZENTROVA_KIT_ZPACK ${_kit_linux_dir}/zpack)
set(ZENTROVA_KIT_PE_CHECKSUM ${_kit_linux_dir}/pe_checksum)

# zpack.exe compresses with the libdeflate of the native zpack, built for
# Windows from Debian's source package (fetched once into the cache). A
# mirror that cannot serve that source costs zpack.exe alone, said in a
# line; everything else builds and tests as before.
set(ZENTROVA_LIBDEFLATE_CACHE "" CACHE PATH
    "Where Debian's libdeflate source is kept (empty: ~/.cache/zentrova)")
set(ZENTROVA_KIT_ZPACK_EXE "")
set(_kit_libdeflate ${CMAKE_BINARY_DIR}/libdeflate-mingw-x86_64)
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env ZENTROVA_LIBDEFLATE_CACHE=${ZENTROVA_LIBDEFLATE_CACHE}
          ${CMAKE_SOURCE_DIR}/scripts/libdeflate-mingw.sh ${_kit_libdeflate}
  OUTPUT_QUIET ERROR_VARIABLE _libdeflate_why RESULT_VARIABLE _libdeflate_result)
if(NOT _libdeflate_result EQUAL 0)
  message(WARNING "No zpack.exe: libdeflate for Windows could not be built: ${_libdeflate_why}")
  return()
endif()

set(_kit_windows_dir ${CMAKE_BINARY_DIR}/kit-windows)
zentrova_forget_other_source(${_kit_windows_dir} ${CMAKE_SOURCE_DIR}/packer
                             ${CMAKE_BINARY_DIR}/zentrova_kit_windows-prefix)
ExternalProject_Add(zentrova_kit_windows
  SOURCE_DIR ${CMAKE_SOURCE_DIR}/packer
  BINARY_DIR ${_kit_windows_dir}
  CMAKE_ARGS ${_kit_common}
             -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-x86_64.cmake
             -DLIBDEFLATE_ROOT=${_kit_libdeflate}
  BUILD_COMMAND ${CMAKE_COMMAND} --build ${_kit_windows_dir} --target zpack
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  EXCLUDE_FROM_ALL ON
  BUILD_BYPRODUCTS ${_kit_windows_dir}/zpack.exe)
set(ZENTROVA_KIT_ZPACK_EXE ${_kit_windows_dir}/zpack.exe)
