# Cross-compiles for 64-bit Windows with Debian's mingw-w64: the test build
# for hosts whose kernel runs no 32-bit code, where Wine runs 64-bit only.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
