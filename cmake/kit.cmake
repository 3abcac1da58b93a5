# The vendor kit: `cmake --build build --target kit` makes
# build/zentrova-kit-<version>/ and, from it, build/zentrova-kit-<version>.zip
# with CPack's ZIP generator, which stamps every file with SOURCE_DATE_EPOCH
# when it is set, so that two builds of one commit give the same zip; and
# the Debian package build/zentrova-kit_<version>_amd64.deb, with CPack's DEB
# generator. Only a 32-bit build has the stub that ships.
set(ZENTROVA_KIT_NAME zentrova-kit-${PROJECT_VERSION})
set(ZENTROVA_KIT_DIR ${CMAKE_BINARY_DIR}/${ZENTROVA_KIT_NAME})
set(ZENTROVA_KIT_ZIP ${CMAKE_BINARY_DIR}/${ZENTROVA_KIT_NAME}.zip)
# Debian's packages whose files the kit holds, and the licence each brings.
set(ZENTROVA_KIT_LICENCES
  "zlib-windows.txt=/usr/share/doc/libz-mingw-w64/copyright"
  "zlib-linux.txt=/usr/share/doc/zlib1g/copyright"
  "libdeflate.txt=/usr/share/doc/libdeflate-dev/copyright"
  "mingw-w64-runtime-and-winpthreads.txt=/usr/share/doc/mingw-w64-x86-64-dev/copyright"
  "libstdc++-windows.txt=/usr/share/doc/gcc-mingw-w64-base/copyright"
  "libstdc++-linux.txt=/usr/share/doc/gcc-12-base/copyright"
  "glibc-linux.txt=/usr/share/doc/libc6/copyright")

# The kit's CMake package (cmake/ZentrovaKit/), of this project's version.
include(CMakePackageConfigHelpers)
set(_kit_version_file ${CMAKE_BINARY_DIR}/kit-cmake/ZentrovaKitConfigVersion.cmake)
write_basic_package_version_file(${_kit_version_file} VERSION ${PROJECT_VERSION}
                                 COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
file(GLOB _kit_cmake_files ${CMAKE_SOURCE_DIR}/cmake/ZentrovaKit/*.cmake)
list(APPEND _kit_cmake_files ${_kit_version_file})

set(ZENTROVA_KIT_DEB_NAME zentrova-kit_${PROJECT_VERSION}_amd64)
set(ZENTROVA_KIT_DEB ${CMAKE_BINARY_DIR}/${ZENTROVA_KIT_DEB_NAME}.deb)
set(ZENTROVA_KIT_MAINTAINER "Zentrova Software Ltd <kit@zentrova.example>" CACHE STRING
    "The Debian package's Maintainer field")
file(STRINGS ${CMAKE_SOURCE_DIR}/support/version.h _kit_copyright
     REGEX "^#define ZENTROVA_COPYRIGHT ")
string(REGEX REPLACE ".*\"(.*)\"" "\\1" _kit_copyright "${_kit_copyright}")
set(_kit_deb_root ${CMAKE_BINARY_DIR}/kit-deb-root)
set(_kit_deb_config ${CMAKE_BINARY_DIR}/kit-deb/CPackConfig.cmake)
file(WRITE ${_kit_deb_config}
  "set(CPACK_GENERATOR DEB)\n"
  "set(CPACK_PACKAGE_NAME zentrova-kit)\n"
  "set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})\n"
  "set(CPACK_PACKAGE_FILE_NAME ${ZENTROVA_KIT_DEB_NAME})\n"
  "set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/kit-deb)\n"
  "set(CPACK_INSTALL_CMAKE_PROJECTS \"\")\n"
  "set(CPACK_INSTALLED_DIRECTORIES \"${_kit_deb_root};.\")\n"
  "set(CPACK_PACKAGING_INSTALL_PREFIX /)\n"
  "set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)\n"
  "set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)\n"
  "set(CPACK_DEBIAN_PACKAGE_SECTION devel)\n"
  "set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)\n"
  "set(CPACK_DEBIAN_PACKAGE_MAINTAINER \"${ZENTROVA_KIT_MAINTAINER}\")\n"
  "set(CPACK_PACKAGE_DESCRIPTION_SUMMARY \"Zentrova setup vendor kit: packer, stub and CMake package\")\n"
  "set(CPACK_PACKAGE_DESCRIPTION \"zpack makes ZentrovaSetup.exe, the self-extracting setup\\n"
  "program of a Windows release, from a folder of files and the stub in\\n"
  "/usr/share/zentrova. find_package(ZentrovaKit) gives CMake projects\\n"
  "zentrova_add_setup and, with include(ZentrovaCPack), the setup program\\n"
  "from cpack -G External.\")\n")

set(_kit_cpack_config ${CMAKE_BINARY_DIR}/kit-cpack/CPackConfig.cmake)
file(WRITE ${_kit_cpack_config}
  "set(CPACK_GENERATOR ZIP)\n"
  "set(CPACK_PACKAGE_NAME zentrova-kit)\n"
  "set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})\n"
  "set(CPACK_PACKAGE_DESCRIPTION \"Zentrova setup: stub, packer and zlib for vendors\")\n"
  "set(CPACK_PACKAGE_FILE_NAME ${ZENTROVA_KIT_NAME})\n"
  "set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/kit-cpack)\n"
  "set(CPACK_INSTALL_CMAKE_PROJECTS \"\")\n"
  "set(CPACK_INSTALLED_DIRECTORIES \"${ZENTROVA_KIT_DIR};.\")\n"
  "set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)\n")

add_custom_target(kit
  COMMAND ${CMAKE_COMMAND} -DKIT_DIR=${ZENTROVA_KIT_DIR}
          -DSTUB=$<TARGET_FILE:ZentrovaSetup-stub> -DZPACK=${ZENTROVA_KIT_ZPACK}
          -DZPACK_EXE=${ZENTROVA_KIT_ZPACK_EXE} -DZPACK_EXE_WHY=${ZENTROVA_KIT_ZPACK_EXE_WHY}
          -DPE_CHECKSUM=${ZENTROVA_KIT_PE_CHECKSUM} -DZLIB_DLL=${ZENTROVA_KIT_ZLIB_DLL}
          -DREADME=${CMAKE_SOURCE_DIR}/docs/vendor.md
          "-DLICENCES=${ZENTROVA_KIT_LICENCES}" "-DCMAKE_PACKAGE=${_kit_cmake_files}"
          -P ${CMAKE_SOURCE_DIR}/cmake/kit_stage.cmake
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${_kit_cpack_config}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/kit-cpack/${ZENTROVA_KIT_NAME}.zip
          ${ZENTROVA_KIT_ZIP}
  COMMAND ${CMAKE_COMMAND} -DKIT_DIR=${ZENTROVA_KIT_DIR} -DDEB_ROOT=${_kit_deb_root}
          -DZPACK=${ZENTROVA_KIT_DEB_ZPACK}
          -DVERSION=${PROJECT_VERSION} "-DCOPYRIGHT=${_kit_copyright}"
          "-DMAINTAINER=${ZENTROVA_KIT_MAINTAINER}" -P ${CMAKE_SOURCE_DIR}/cmake/kit_deb_stage.cmake
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${_kit_deb_config}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/kit-deb/${ZENTROVA_KIT_DEB_NAME}.deb
          ${ZENTROVA_KIT_DEB}
  DEPENDS ZentrovaSetup-stub zentrova_kit_linux zentrova_kit_windows zentrova_kit_deb_zpack
  BYPRODUCTS ${ZENTROVA_KIT_ZIP} ${ZENTROVA_KIT_DEB}
  COMMENT "Making ${ZENTROVA_KIT_ZIP} and ${ZENTROVA_KIT_DEB}"
  VERBATIM)
