#include "extract/compression.h"

#include <windows.h>

#include <new>

#include "extract/entries.h"
#include "format/pe_checksum.h"
#include "format/shared_names.h"
#include "support/errors.h"
#include "support/log.h"

namespace {

constexpr int kBindingErrorCode = 100;

// Looked up in this order; the binding needs every one of them.
const char* const kExportNames[] = {ZENTROVA_ZLIB_EXPORTS};
constexpr int kExportCount = sizeof kExportNames / sizeof kExportNames[0];
static_assert(kExportCount == kZlibExportCount, "every export the packer checks for");
enum { kInflateEnd = 0, kInflate = 1, kInflateInit = 2 };

FARPROC entryPoints[kExportCount];

// GetProcAddress knows no signatures; the typedefs carry zlib's own.
template <typename Proc>
Proc EntryPoint(int index) {
    return reinterpret_cast<Proc>(reinterpret_cast<void*>(entryPoints[index]));
}

int compressionTried = 0;
HMODULE compressionModule = nullptr;

enum LibraryCheck { kLibraryIntact, kLibraryDamaged, kLibraryUnreadable };

// Read, never mapped: a read error in a mapped view (a network share, a
// removed medium) raises an exception in this process instead of failing
// a call. The library is about 140 KB.
LibraryCheck CheckLibrary(HANDLE file, const wchar_t* path) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart <= 0 ||
        static_cast<uint64_t>(size.QuadPart) > kMaxPeChecksumBytes)
        return kLibraryDamaged;
    const DWORD length = static_cast<DWORD>(size.QuadPart);
    unsigned char* data = new (std::nothrow) unsigned char[length];
    if (!data) {
        LogFormatW(L"Error reading file %s %d", path, ERROR_NOT_ENOUGH_MEMORY);
        return kLibraryUnreadable;
    }
    DWORD read = 0;
    BOOL ok = ReadFile(file, data, length, &read, nullptr);
    int error = ok ? ERROR_HANDLE_EOF : static_cast<int>(GetLastError());
    LibraryCheck check = kLibraryUnreadable;
    if (ok && read == length) {
        uint32_t stored, computed;
        PeChecksumStatus status = CheckPeChecksum(data, length, &stored, &computed);
        bool intact = status == kPeChecksumMatches || status == kPeChecksumUnset;
        check = intact ? kLibraryIntact : kLibraryDamaged;
    } else {
        LogFormatW(L"Error reading file %s %d", path, error);
    }
    delete[] data;
    return check;
}

// A damaged download must end in the box of a library that does not load,
// never run in this elevated process. The file stays open without write
// sharing until it is loaded, so what was checked is what loads.
HMODULE LoadCheckedLibrary(const wchar_t* path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    HMODULE module = nullptr;
    LibraryCheck check = CheckLibrary(file, path);
    if (check == kLibraryIntact)
        module = LoadLibraryW(path);
    else if (check == kLibraryDamaged)
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
