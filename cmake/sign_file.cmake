# Signs FILE in place with an Authenticode SHA-256 signature:
#   cmake -DOSSLSIGNCODE=... -DCERT=... -DKEY=... [-DTIMESTAMP_URL=...]
#         -DDESCRIPTION=... -DFILE=... -P sign_file.cmake
# The signature goes to a file beside it that replaces FILE by rename, so that
# an interrupted step never leaves a half-signed program. Without a timestamp
# server the signing time comes from SOURCE_DATE_EPOCH when it is set: with an
# RSA key the same inputs then give the same signed bytes.
set(out "${FILE}.signing")
file(REMOVE "${out}")
set(args sign -h sha256 -certs "${CERT}" -key "${KEY}" -n "${DESCRIPTION}")
if(TIMESTAMP_URL)
  list(APPEND args -ts "${TIMESTAMP_URL}")
elseif(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  # -st, the older name of -time, which every osslsigncode since 2.1 knows.
  list(APPEND args -st "$ENV{SOURCE_DATE_EPOCH}")
endif()
list(APPEND args -in "${FILE}" -out "${out}")
execute_process(COMMAND "${OSSLSIGNCODE}" ${args}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0 OR NOT EXISTS "${out}")
  file(REMOVE "${out}")
  message(FATAL_ERROR "osslsigncode could not sign ${FILE} (${result}):\n${output}")
endif()
file(CHMOD "${out}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
     GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(RENAME "${out}" "${FILE}")
