#include "extract/compression.h"

#include <windows.h>

#include "extract/entries.h"
#include "extract/pe_checksum.h"
#include "support/errors.h"
#include "support/log.h"

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

// True when the file's PE checksum, where its linker set one, matches its
// bytes. A file too short for its headers, or whose headers point past its
// end, is damaged too.
bool IsIntactLibrary(HANDLE file) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart <= 0 ||
        static_cast<uint64_t>(size.QuadPart) > kMaxPeChecksumBytes)
        return false;
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!mapping) return false;
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    bool intact = false;
    if (view) {
        uint32_t stored, computed;
        PeChecksumStatus status =
            CheckPeChecksum(static_cast<const unsigned char*>(view),
                            static_cast<size_t>(size.QuadPart), &stored, &computed);
        intact = status == kPeChecksumMatches || status == kPeChecksumUnset;
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    return intact;
}

// A damaged download must end in the box of a library that does not load,
// never run in this elevated process. The file stays open without write
// sharing until it is loaded, so what was checked is what loads.
HMODULE LoadCheckedLibrary(const wchar_t* path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    HMODULE module = nullptr;
    if (IsIntactLibrary(file))
        module = LoadLibraryW(path);
    else
        LogFormatW(L"Damaged file, not loaded: %s", path);
    CloseHandle(file);
    return module;
}

}  // namespace

void EnsureCompression() {
    if (compressionTried) return;
    compressionModule = LoadCheckedLibrary(zlibPath);
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
