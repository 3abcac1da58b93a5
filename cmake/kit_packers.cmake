# The packer as the vendor kit ships it, each a build of packer/ of its own:
# zpack for Linux x86-64 and zpack.exe for Windows x86-64, both linked
# statically, with zlib and libdeflate. A further static library goes into
# packer/CMakeLists.txt once and reaches both.
#   ZENTROVA_KIT_ZPACK        the Linux zpack (with pe_checksum beside it)
#   ZENTROVA_KIT_ZPACK_EXE    the Windows zpack.exe, missing when libdeflate
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

# The Debian package's zpack, as Debian wants its programs: linked against
# the system's zlib and libdeflate, which the package depends on, with
# Debian's hardening flags (dpkg-buildflags), and stripped.
#   ZENTROVA_KIT_DEB_ZPACK
foreach(_flags CPPFLAGS CXXFLAGS LDFLAGS)
  execute_process(COMMAND dpkg-buildflags --get ${_flags} OUTPUT_VARIABLE _kit_deb_${_flags}
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
endforeach()
set(_kit_deb_zpack_dir ${CMAKE_BINARY_DIR}/kit-deb-zpack)
zentrova_forget_other_source(${_kit_deb_zpack_dir} ${CMAKE_SOURCE_DIR}/packer
                             ${CMAKE_BINARY_DIR}/zentrova_kit_deb_zpack-prefix)
ExternalProject_Add(zentrova_kit_deb_zpack
  SOURCE_DIR ${CMAKE_SOURCE_DIR}/packer
  BINARY_DIR ${_kit_deb_zpack_dir}
  CMAKE_ARGS -G Ninja -DCMAKE_BUILD_TYPE=Release -DZENTROVA_PACKER_ONLY=ON
             -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
             "-DCMAKE_CXX_FLAGS=${_kit_deb_CPPFLAGS} ${_kit_deb_CXXFLAGS}"
             "-DCMAKE_EXE_LINKER_FLAGS=${_kit_deb_LDFLAGS} -s"
  BUILD_COMMAND ${CMAKE_COMMAND} --build ${_kit_deb_zpack_dir} --target zpack
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  EXCLUDE_FROM_ALL ON
  BUILD_BYPRODUCTS ${_kit_deb_zpack_dir}/zpack)
set(ZENTROVA_KIT_DEB_ZPACK ${_kit_deb_zpack_dir}/zpack)

# zpack.exe compresses with the libdeflate of the native zpack, built for
# Windows from Debian's source package (fetched once into the cache) by
# zentrova_kit_windows, so only when something needs zpack.exe and never
# while configuring, which then works offline. A mirror that cannot serve
# that source costs zpack.exe alone: the target says why, in a line and in
# ZENTROVA_KIT_ZPACK_EXE_WHY, and still succeeds, so that everything else
# builds and tests as before.
set(ZENTROVA_LIBDEFLATE_CACHE "" CACHE PATH
    "Where Debian's libdeflate source is kept (empty: ~/.cache/zentrova)")
set(_kit_windows_dir ${CMAKE_BINARY_DIR}/kit-windows)
zentrova_forget_other_source(${_kit_windows_dir} ${CMAKE_SOURCE_DIR}/packer
                             ${CMAKE_BINARY_DIR}/zentrova_kit_windows-prefix)
set(ZENTROVA_KIT_ZPACK_EXE ${_kit_windows_dir}/zpack.exe)
set(ZENTROVA_KIT_ZPACK_EXE_WHY ${_kit_windows_dir}/no-zpack.exe.txt)
add_custom_target(zentrova_kit_windows
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DBINARY_DIR=${_kit_windows_dir}
          "-DARGS=${_kit_common}" -DLIBDEFLATE=${CMAKE_BINARY_DIR}/libdeflate-mingw-x86_64
          -DLIBDEFLATE_CACHE=${ZENTROVA_LIBDEFLATE_CACHE} -DWHY=${ZENTROVA_KIT_ZPACK_EXE_WHY}
          -P ${CMAKE_SOURCE_DIR}/cmake/kit_windows.cmake
  BYPRODUCTS ${ZENTROVA_KIT_ZPACK_EXE}
  COMMENT "Building zpack.exe"
  VERBATIM)
