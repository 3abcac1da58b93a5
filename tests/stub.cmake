# The setup program linked the old way, the payload put in by the resource
# compiler and the linker: an independent check of the resource section
# that the packer writes into the stub. Tests only.
set(ZENTROVA_PAYLOAD ${CMAKE_BINARY_DIR}/payload.bin)
add_custom_command(OUTPUT ${ZENTROVA_PAYLOAD}
  COMMAND ${ZPACK} create-dir ${ZENTROVA_ZPACK_TEST_FLAGS} ${ZENTROVA_PAYLOAD}
          ${ZENTROVA_PACKED_DIR}
  DEPENDS zentrova_host ${ZPACK} ${ZENTROVA_PACKED_TARGETS} ${ZENTROVA_PACKED_FILES}
  COMMENT "Packing ${ZENTROVA_PACKED_DIR}"
  VERBATIM)
add_custom_target(zentrova_payload DEPENDS ${ZENTROVA_PAYLOAD})
file(WRITE ${ZENTROVA_GENERATED}/payload.rc.in "ZENTROVA_PAYLOAD_RESOURCE RCDATA \"@ZENTROVA_PAYLOAD@\"\n")
configure_file(${ZENTROVA_GENERATED}/payload.rc.in ${ZENTROVA_GENERATED}/payload.rc @ONLY)

add_executable(ZentrovaSetup-linked WIN32 ${CMAKE_SOURCE_DIR}/app/main.cpp
               ${CMAKE_SOURCE_DIR}/resources/zentrova.rc)
target_link_libraries(ZentrovaSetup-linked PRIVATE zentrova_core)
target_compile_definitions(ZentrovaSetup-linked PRIVATE
  $<$<COMPILE_LANGUAGE:RC>:ZENTROVA_WITH_PAYLOAD>)
target_include_directories(ZentrovaSetup-linked PRIVATE ${CMAKE_SOURCE_DIR}/resources)
set_source_files_properties(${CMAKE_SOURCE_DIR}/resources/zentrova.rc PROPERTIES
  OBJECT_DEPENDS "${ZENTROVA_PAYLOAD};${CMAKE_SOURCE_DIR}/resources/zentrova.ico;${ZENTROVA_GENERATED}/zentrova.manifest;${ZENTROVA_GENERATED}/build_date.h")
add_dependencies(ZentrovaSetup-linked zentrova_payload zentrova_build_date)
add_dependencies(zentrova_test_suite ZentrovaSetup-linked)

# The same three programs through an independent PE reader, Debian's
# python3-pefile, and signed and verified by osslsigncode.
set(ZENTROVA_PYTHON3 /usr/bin/python3 CACHE FILEPATH "Python 3 that has python3-pefile")
add_test(NAME Stub.IndependentReaderAgrees
  COMMAND ${ZENTROVA_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/stub_check.py
          ${ZENTROVA_SETUP} $<TARGET_FILE:ZentrovaSetup-stub>
          $<TARGET_FILE:ZentrovaSetup-linked> ${ZENTROVA_PAYLOAD})
