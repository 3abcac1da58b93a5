# CPack's External generator makes the setup program: after
# find_package(ZentrovaKit) and before include(CPack),
#   set(ZENTROVA_SIGN_COMMAND osslsigncode sign ... -in <IN> -out <OUT>)  # optional
#   include(ZentrovaCPack)
# and `cpack -G External` packs the staged install tree, every component in
# one, into ${CPACK_PACKAGE_FILE_NAME}.exe, signs it with the command (<IN>
# and <OUT> stand for the files) and hands it to CPack, which copies it out
# and writes its checksum when CPACK_PACKAGE_CHECKSUM is set.
if(NOT TARGET ZentrovaKit::zpack)
  message(FATAL_ERROR "include(ZentrovaCPack) needs find_package(ZentrovaKit) first")
endif()
if(CPack_CMake_INCLUDED)
  message(FATAL_ERROR "include(ZentrovaCPack) before include(CPack), which writes what it sets")
endif()
set(CPACK_EXTERNAL_ENABLE_STAGING ON)
set(CPACK_EXTERNAL_PACKAGE_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/ZentrovaCPackSetup.cmake")
set(CPACK_ZENTROVA_ZPACK "${ZentrovaKit_ZPACK}")
set(CPACK_ZENTROVA_STUB "${ZentrovaKit_STUB}")
set(CPACK_ZENTROVA_SIGN_COMMAND "${ZENTROVA_SIGN_COMMAND}")
