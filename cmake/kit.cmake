# The vendor kit: `cmake --build build --target kit` makes
# build/zentrova-kit-<version>/ and, from it, build/zentrova-kit-<version>.zip
# with CPack's ZIP generator, which stamps every file with SOURCE_DATE_EPOCH
# when it is set, so that two builds of one commit give the same zip.
# Only a 32-bit build has the stub that ships.
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
          "-DLICENCES=${ZENTROVA_KIT_LICENCES}" -P ${CMAKE_SOURCE_DIR}/cmake/kit_stage.cmake
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${_kit_cpack_config}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/kit-cpack/${ZENTROVA_KIT_NAME}.zip
          ${ZENTROVA_KIT_ZIP}
  DEPENDS ZentrovaSetup-stub zentrova_kit_linux zentrova_kit_windows
  BYPRODUCTS ${ZENTROVA_KIT_ZIP}
  COMMENT "Making ${ZENTROVA_KIT_ZIP}"
  VERBATIM)
