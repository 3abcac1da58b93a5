# Writes build_date.h with the build date in the compiler's __DATE__ form
# ("Dec  8 2026"). string(TIMESTAMP) honours SOURCE_DATE_EPOCH, so a build
# with a fixed epoch is reproducible. Rewrites only on change.
string(TIMESTAMP month "%b" UTC)
string(TIMESTAMP day "%d" UTC)
string(TIMESTAMP year "%Y" UTC)
string(REGEX REPLACE "^0" " " day "${day}")
set(text "#pragma once\n#define ZENTROVA_BUILD_DATE \"${month} ${day} ${year}\"\n")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT "${old}" STREQUAL "${text}")
  file(WRITE "${OUTPUT}" "${text}")
endif()
