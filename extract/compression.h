// Run-time binding to the payload's own zlib1.dll: the front end is never
// linked against zlib, it loads the library the archive carries.
#pragma once

#include <cstdint>

// zlib's stream record, 1.2.3 interface; the library owns all but the
// input and output fields.
struct ZStream {
    const unsigned char* next_in;
    uint32_t avail_in;
    uint32_t total_in;
    unsigned char* next_out;
    uint32_t avail_out;
    uint32_t total_out;
    const char* msg;
    void* state;
    void* zalloc;
    void* zfree;
    void* opaque;
    int data_type;
    uint32_t adler;
    uint32_t reserved;
};

constexpr int kZOk = 0;
constexpr int kZStreamEnd = 1;
constexpr int kZNeedDict = 2;
constexpr int kZStreamError = -2;
constexpr int kZDataError = -3;
constexpr int kZMemError = -4;
constexpr int kZBufError = -5;
constexpr int kZNoFlush = 0;

typedef int (*InflateInitProc)(ZStream* stream, const char* version, int streamSize);
typedef int (*InflateProc)(ZStream* stream, int flush);
typedef int (*InflateEndProc)(ZStream* stream);

// Tries the binding once per process; failures are shown, never thrown. A
// library whose PE checksum is set but wrong is not loaded: it fails as one
// that does not load.
void EnsureCompression();
// Each returns kZStreamError, calling nothing, when the binding failed.
int CallInflateInit(ZStream* stream, const char* version, int streamSize);
int CallInflate(ZStream* stream, int flush);
int CallInflateEnd(ZStream* stream);
// Unloads the library; the call-through operations return kZStreamError
// from then on.
void ReleaseCompression();
