// Inflates one compressed payload entry into its file.
#pragma once

#include <windows.h>

#include <cstdint>

constexpr DWORD kInflateBufferBytes = 100000;
constexpr char kZlibVersion[] = "1.2.3";

// Feeds the whole stream, read in place, to the inflater and writes the
// output in chunks of kInflateBufferBytes. Returns the bytes written, which
// may pass 2 GiB; a damaged or cut-short stream is shown and thrown as
// CException*.
int64_t unzipFrom(HANDLE file, const unsigned char* source, uint32_t sourceLength);
