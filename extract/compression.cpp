#include "extract/compression.h"

#include <windows.h>

#include "extract/entries.h"
#include "support/errors.h"

namespace {

constexpr int kBindingErrorCode = 100;

// Looked up in this order; the binding needs every one of them.
const char* const kExportNames[] = {
    "inflateEnd", "inflate",  "inflateInit_", "inflateInit2_", "deflateEnd",
    "deflate",    "deflateInit_", "gzopen",   "gzclose",       "gzread",
    "gzwrite",    "inflateSync",  "crc32",    "get_crc_table", "deflateInit2_",
};
constexpr int kExportCount = sizeof kExportNames / sizeof kExportNames[0];
enum { kInflateEnd = 0, kInflate = 1, kInflateInit = 2 };

FARPROC entryPoints[kExportCount];

// GetProcAddress knows no signatures; the typedefs carry zlib's own.
template <typename Proc>
Proc EntryPoint(int index) {
    return reinterpret_cast<Proc>(reinterpret_cast<void*>(entryPoints[index]));
}

int compressionTried = 0;
HMODULE compressionModule = nullptr;

}  // namespace

void EnsureCompression() {
    if (compressionTried) return;
    compressionModule = LoadLibraryW(zlibPath);
    if (!compressionModule) ShowSystemErrorA("%s %d", "No zip", kBindingErrorCode);
    bool complete = true;
    for (int i = 0; i < kExportCount; ++i) {
        entryPoints[i] =
            compressionModule ? GetProcAddress(compressionModule, kExportNames[i]) : nullptr;
        if (!entryPoints[i]) complete = false;
    }
    if (!complete) {
        if (compressionModule) FreeLibrary(compressionModule);
        compressionModule = nullptr;
        // A half-bound library must not be called through.
        for (FARPROC& entry : entryPoints) entry = nullptr;
        ShowSystemErrorA("%s %d", "No zip procs", kBindingErrorCode);
    }
    compressionTried = 1;
}

int CallInflateInit(ZStream* stream, const char* version, int streamSize) {
    EnsureCompression();
    if (!entryPoints[kInflateInit]) return kZStreamError;
    return EntryPoint<InflateInitProc>(kInflateInit)(stream, version, streamSize);
}

int CallInflate(ZStream* stream, int flush) {
    EnsureCompression();
    if (!entryPoints[kInflate]) return kZStreamError;
    return EntryPoint<InflateProc>(kInflate)(stream, flush);
}

int CallInflateEnd(ZStream* stream) {
    EnsureCompression();
    if (!entryPoints[kInflateEnd]) return kZStreamError;
    return EntryPoint<InflateEndProc>(kInflateEnd)(stream);
}

void ReleaseCompression() {
    // Nothing may call into an unloaded library.
    for (FARPROC& entry : entryPoints) entry = nullptr;
    if (!compressionModule) return;
    FreeLibrary(compressionModule);
    compressionModule = nullptr;
}
