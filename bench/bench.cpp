// zentrova_bench: timings and memory figures of the extraction under Wine.
// Each mode runs once per process and prints one line of key=value fields;
// with --memory first it also samples memory, which costs time of its own.
//   extract PAYLOAD DEST       the product's ExtractFiles, log beside DEST
//   limit PAYLOAD DEST         our minimal inflate loop, no log
//   copy PAYLOAD SRC DEST      write-only: the unpacked files, preloaded, same order
//   run EXE [ARGS]             one whole process, timed from its start to its end
//   embed EXE OUT PAYLOAD      OUT = EXE with PAYLOAD as resource 100
#include <windows.h>
// psapi.h builds on windows.h's types.
#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "extract/compression.h"
#include "extract/entries.h"
#include "extract/inflate.h"
#include "extract/run.h"
#include "format/archive.h"
#include "format/archive_layout.h"
#include "support/errors.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/system_libraries.h"

namespace {

constexpr size_t kBenchPathUnits = 1024;
constexpr size_t kCommandUnits = 4096;
constexpr DWORD kSampleMs = 5;
constexpr DWORD kRunTimeoutMs = 900000;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr WORD kPayloadLanguage = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK);

bool sampleMemory = false;

class Handle {
   public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (Valid()) CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE Get() const { return handle_; }

   private:
    HANDLE handle_;
};

struct Payload {
    unsigned char* data = nullptr;
    int32_t size = 0;
    ~Payload() {
        if (data) VirtualFree(data, 0, MEM_RELEASE);
    }
};

double Seconds(LONGLONG ticks) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}

LONGLONG Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

int Fail(const char* what, const wchar_t* path) {
    std::printf("error=\"%s %ls (%lu)\"\n", what, path ? path : L"", GetLastError());
    return kExitFailed;
}

bool ReadPayload(const wchar_t* path, Payload* payload) {
    Handle file(
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size;
    if (!file.Valid() || !GetFileSizeEx(file.Get(), &size) || size.QuadPart < kTrailerBytes ||
        size.QuadPart > INT32_MAX)
        return false;
    payload->size = static_cast<int32_t>(size.QuadPart);
    payload->data = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, payload->size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!payload->data) return false;
    DWORD got = 0;
    return ReadFile(file.Get(), payload->data, payload->size, &got, nullptr) &&
           got == static_cast<DWORD>(payload->size);
}

// Committed memory of one type (MEM_PRIVATE, MEM_IMAGE), summed region by
// region: Wine's PrivateUsage is always 0, and its PagefileUsage counts the
// image sections it reads into anonymous memory.
SIZE_T CommittedBytes(HANDLE process, DWORD type) {
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION info;
    for (const char* at = nullptr; VirtualQueryEx(process, at, &info, sizeof info) == sizeof info;
         at = static_cast<const char*>(info.BaseAddress) + info.RegionSize) {
        if (info.State == MEM_COMMIT && info.Type == type) total += info.RegionSize;
    }
    return total;
}

struct MemoryPeaks {
    SIZE_T workingSet = 0;
    SIZE_T pagefile = 0;
    SIZE_T privateUsage = 0;
    SIZE_T privateCommit = 0;
    SIZE_T imageCommit = 0;
};

void Sample(HANDLE process, MemoryPeaks* peaks) {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof counters)) {
        if (counters.PeakWorkingSetSize > peaks->workingSet)
            peaks->workingSet = counters.PeakWorkingSetSize;
        if (counters.PeakPagefileUsage > peaks->pagefile)
            peaks->pagefile = counters.PeakPagefileUsage;
        if (counters.PrivateUsage > peaks->privateUsage)
            peaks->privateUsage = counters.PrivateUsage;
    }
    SIZE_T commit = CommittedBytes(process, MEM_PRIVATE);
    if (commit > peaks->privateCommit) peaks->privateCommit = commit;
    commit = CommittedBytes(process, MEM_IMAGE);
    if (commit > peaks->imageCommit) peaks->imageCommit = commit;
}

void PrintMemory(const MemoryPeaks& peaks) {
    std::printf(
        " peak_ws=%lu peak_pagefile=%lu peak_private_usage=%lu peak_private_commit=%lu"
        " peak_image_commit=%lu",
        static_cast<unsigned long>(peaks.workingSet), static_cast<unsigned long>(peaks.pagefile),
        static_cast<unsigned long>(peaks.privateUsage),
        static_cast<unsigned long>(peaks.privateCommit),
        static_cast<unsigned long>(peaks.imageCommit));
}

// Samples this process's memory while the work runs on the main thread.
struct SelfSampler {
    MemoryPeaks peaks;
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = nullptr;

    static DWORD WINAPI Loop(void* self) {
        SelfSampler* sampler = static_cast<SelfSampler*>(self);
        do Sample(GetCurrentProcess(), &sampler->peaks);
        while (WaitForSingleObject(sampler->stop, kSampleMs) == WAIT_TIMEOUT);
        return 0;
    }
    void Start() {
        if (sampleMemory) thread = CreateThread(nullptr, 0, Loop, this, 0, nullptr);
    }
    void Finish() {
        if (!sampleMemory) return;
        SetEvent(stop);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        CloseHandle(stop);
        Sample(GetCurrentProcess(), &peaks);
    }
};

// The product calls Windows through this program's imports; the slots of
// FlushFileBuffers (the log) and CreateDirectoryW (entry folders) are
// redirected to count and time each call.
typedef BOOL(WINAPI* FlushProc)(HANDLE file);
FlushProc realFlush = nullptr;
LONGLONG flushTicks = 0;
int flushCalls = 0;

BOOL WINAPI TimedFlush(HANDLE file) {
    LONGLONG start = Now();
    BOOL result = realFlush(file);
    flushTicks += Now() - start;
    ++flushCalls;
    return result;
}

typedef BOOL(WINAPI* CreateDirectoryProc)(const wchar_t* path, SECURITY_ATTRIBUTES* security);
CreateDirectoryProc realCreateDirectory = nullptr;
LONGLONG createDirectoryTicks = 0;
int createDirectoryCalls = 0;

BOOL WINAPI TimedCreateDirectory(const wchar_t* path, SECURITY_ATTRIBUTES* security) {
    LONGLONG start = Now();
    BOOL result = realCreateDirectory(path, security);
    createDirectoryTicks += Now() - start;
    ++createDirectoryCalls;
    return result;
}

bool HookImport(const char* name, void* hook, void** original) {
    unsigned char* base = reinterpret_cast<unsigned char*>(GetModuleHandleW(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
    for (; module->Name; ++module) {
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) != 0) continue;
            DWORD protection;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE,
                           &protection);
            *original = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(hook);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
            return true;
        }
    }
    return false;
}

bool JoinPath(wchar_t* out, const wchar_t* folder, const wchar_t* name) {
    int n = _snwprintf(out, kBenchPathUnits, L"%ls\\%ls", folder, name);
    out[kBenchPathUnits - 1] = 0;
    return n >= 0 && static_cast<size_t>(n) < kBenchPathUnits;
}

// Names are plain ASCII here; one byte to one unit.
void EntryName(const ArchiveEntry& entry, wchar_t* out) {
    for (uint32_t i = 0; i < entry.filenameSize; ++i) out[i] = entry.name[i];
    out[entry.filenameSize] = 0;
}

void PrintZlibModule(HMODULE module) {
    wchar_t path[kBenchPathUnits] = L"?";
    if (module) GetModuleFileNameW(module, path, kBenchPathUnits);
    path[kBenchPathUnits - 1] = 0;
    std::printf(" zlib=\"%ls\"", path);
}

int Extract(const wchar_t* payloadPath, const wchar_t* dest) {
    Payload payload;
    if (!ReadPayload(payloadPath, &payload)) return Fail("cannot read", payloadPath);
    wchar_t parent[kBenchPathUnits];
    _snwprintf(parent, kBenchPathUnits, L"%ls", dest);
    parent[kBenchPathUnits - 1] = 0;
    StripToFolder(parent);
    CreateDirectoryW(dest, nullptr);
    if (!HookImport("FlushFileBuffers", reinterpret_cast<void*>(TimedFlush),
                    reinterpret_cast<void**>(&realFlush)))
        return Fail("no FlushFileBuffers import", nullptr);
    if (!HookImport("CreateDirectoryW", reinterpret_cast<void*>(TimedCreateDirectory),
                    reinterpret_cast<void**>(&realCreateDirectory)))
        return Fail("no CreateDirectoryW import", nullptr);

    SelfSampler sampler;
    sampler.Start();
    int count = -1;
    LONGLONG start = Now();
    try {
        CreateLog(parent);
        count = ExtractFiles(payload.data, dest, payload.size - kTrailerBytes);
    } catch (CException* e) {
        std::printf("error=\"ExtractFiles threw %d\"\n", e->code);
        return kExitFailed;
    }
    LONGLONG ticks = Now() - start;
    sampler.Finish();
    std::printf(
        "seconds=%.6f files=%d log_lines=%d flush_seconds=%.6f mkdir_calls=%d"
        " mkdir_seconds=%.6f payload_bytes=%ld",
        Seconds(ticks), count, flushCalls, Seconds(flushTicks), createDirectoryCalls,
        Seconds(createDirectoryTicks), static_cast<long>(payload.size));
    PrintZlibModule(GetModuleHandleW(L"zlib1.dll"));
    if (sampleMemory) PrintMemory(sampler.peaks);
    std::printf("\n");
    ReleaseCompression();
    CloseAndDeleteLog();
    return 0;
}

// Creates the entry's folders when they differ from the previous entry's.
void EnsureFolders(const wchar_t* target, size_t start, wchar_t* lastFolder) {
    const wchar_t* slash = std::wcsrchr(target + start, L'\\');
    if (!slash) return;
    size_t length = static_cast<size_t>(slash - target);
    if (std::wcsncmp(lastFolder, target, length) == 0 && lastFolder[length] == 0) return;
    wchar_t folder[kBenchPathUnits];
    std::wmemcpy(folder, target, length);
    folder[length] = 0;
    for (size_t i = start; i <= length; ++i) {
        if (folder[i] != L'\\' && folder[i] != 0) continue;
        wchar_t keep = folder[i];
        folder[i] = 0;
        CreateDirectoryW(folder, nullptr);
        folder[i] = keep;
    }
    std::wmemcpy(lastFolder, folder, length + 1);
}

bool WriteAll(HANDLE file, const void* data, DWORD count) {
    DWORD written = 0;
    return WriteFile(file, data, count, &written, nullptr) && written == count;
}

struct Zlib {
    HMODULE module = nullptr;
    InflateInitProc init = nullptr;
    InflateProc inflate = nullptr;
    InflateEndProc end = nullptr;

    template <typename Proc>
    Proc Find(const char* name) {
        return reinterpret_cast<Proc>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }
    bool Load(const wchar_t* path) {
        module = LoadLibraryW(path);
        if (!module) return false;
        init = Find<InflateInitProc>("inflateInit_");
        inflate = Find<InflateProc>("inflate");
        end = Find<InflateEndProc>("inflateEnd");
        return init && inflate && end;
    }
};

bool InflateEntry(const Zlib& zlib, const ArchiveEntry& entry, unsigned char* buffer, HANDLE file) {
    ZStream stream;
    std::memset(&stream, 0, sizeof stream);
    if (zlib.init(&stream, kZlibVersion, sizeof stream) != kZOk) return false;
    stream.next_in = entry.data;
    stream.avail_in = entry.fileSize;
    int result = kZOk;
    while (result == kZOk) {
        stream.next_out = buffer;
        stream.avail_out = kInflateBufferBytes;
        result = zlib.inflate(&stream, kZNoFlush);
        DWORD produced = kInflateBufferBytes - stream.avail_out;
        if (produced > 0 && !WriteAll(file, buffer, produced)) result = kZBufError;
    }
    zlib.end(&stream);
    return result == kZStreamEnd || (result == kZBufError && entry.fileSize == 0);
}

int Limit(const wchar_t* payloadPath, const wchar_t* dest) {
    Payload payload;
    if (!ReadPayload(payloadPath, &payload)) return Fail("cannot read", payloadPath);
    unsigned char* buffer =
        static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), 0, kInflateBufferBytes));
    size_t destLength = std::wcslen(dest);
    wchar_t lastFolder[kBenchPathUnits] = L"";
    Zlib zlib;
    int count = 0;

    LONGLONG start = Now();
    CreateDirectoryW(dest, nullptr);
    int32_t length = payload.size - kTrailerBytes;
    for (int32_t offset = 0; offset < length; ++count) {
        ArchiveEntry entry;
        if (ReadArchiveEntry(payload.data, length, &offset, &entry) != kArchiveOk)
            return Fail("damaged payload", payloadPath);
        wchar_t name[kMaxEntryNameBytes + 1];
        EntryName(entry, name);
        wchar_t target[kBenchPathUnits];
        if (!JoinPath(target, dest, name)) return Fail("path too long", name);
        EnsureFolders(target, destLength + 1, lastFolder);
        bool stored = IsStoredEntryName(entry.name, entry.filenameSize);
        {
            Handle file(CreateFileW(target, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file.Valid()) return Fail("cannot create", target);
            bool ok = stored ? WriteAll(file.Get(), entry.data, entry.fileSize)
                             : zlib.module && InflateEntry(zlib, entry, buffer, file.Get());
            if (!ok) return Fail("cannot unpack", target);
        }
        // Loaded once written and closed, as the product does.
        if (stored && !zlib.module && !zlib.Load(target)) return Fail("cannot bind zlib", target);
    }
    LONGLONG ticks = Now() - start;
    std::printf("seconds=%.6f files=%d", Seconds(ticks), count);
    PrintZlibModule(zlib.module);
    std::printf("\n");
    HeapFree(GetProcessHeap(), 0, buffer);
    return 0;
}

struct UnpackedFile {
    std::wstring name;
    size_t offset;
    DWORD size;
};

bool ReadInto(const wchar_t* path, unsigned char* data, DWORD size) {
    Handle in(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD got = 0;
    return in.Valid() && ReadFile(in.Get(), data, size, &got, nullptr) && got == size;
}

// The unpacked files are read into memory first, untimed; then each is
// written in inflate-sized chunks, in the payload's order.
int Copy(const wchar_t* payloadPath, const wchar_t* source, const wchar_t* dest) {
    std::vector<UnpackedFile> files;
    size_t total = 0;
    {
        Payload payload;
        if (!ReadPayload(payloadPath, &payload)) return Fail("cannot read", payloadPath);
        int32_t length = payload.size - kTrailerBytes;
        for (int32_t offset = 0; offset < length;) {
            ArchiveEntry entry;
            if (ReadArchiveEntry(payload.data, length, &offset, &entry) != kArchiveOk)
                return Fail("damaged payload", payloadPath);
            wchar_t name[kMaxEntryNameBytes + 1], from[kBenchPathUnits];
            EntryName(entry, name);
            WIN32_FILE_ATTRIBUTE_DATA attributes;
            if (!JoinPath(from, source, name) ||
                !GetFileAttributesExW(from, GetFileExInfoStandard, &attributes))
                return Fail("cannot find", name);
            files.push_back({name, total, attributes.nFileSizeLow});
            total += attributes.nFileSizeLow;
        }
    }
    unsigned char* data = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, total ? total : 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!data) return Fail("no room for the unpacked files", nullptr);
    for (const UnpackedFile& file : files) {
        wchar_t from[kBenchPathUnits];
        JoinPath(from, source, file.name.c_str());
        if (!ReadInto(from, data + file.offset, file.size)) return Fail("cannot read", from);
    }
    size_t destLength = std::wcslen(dest);
    wchar_t lastFolder[kBenchPathUnits] = L"";

    LONGLONG start = Now();
    CreateDirectoryW(dest, nullptr);
    for (const UnpackedFile& file : files) {
        wchar_t to[kBenchPathUnits];
        if (!JoinPath(to, dest, file.name.c_str())) return Fail("path too long", to);
        EnsureFolders(to, destLength + 1, lastFolder);
        Handle out(CreateFileW(to, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out.Valid()) return Fail("cannot create", to);
        for (DWORD done = 0; done < file.size;) {
            DWORD chunk =
                file.size - done < kInflateBufferBytes ? file.size - done : kInflateBufferBytes;
            if (!WriteAll(out.Get(), data + file.offset + done, chunk)) return Fail("write", to);
            done += chunk;
        }
    }
    LONGLONG ticks = Now() - start;
    std::printf("seconds=%.6f files=%d\n", Seconds(ticks), static_cast<int>(files.size()));
    VirtualFree(data, 0, MEM_RELEASE);
    return 0;
}

int Run(int argc, wchar_t** argv) {
    const wchar_t* exe = argv[0];
    wchar_t folder[kBenchPathUnits];
    _snwprintf(folder, kBenchPathUnits, L"%ls", exe);
    folder[kBenchPathUnits - 1] = 0;
    StripToFolder(folder);
    wchar_t command[kCommandUnits];
    int used = _snwprintf(command, kCommandUnits, L"\"%ls\"", exe);
    for (int i = 1; i < argc && used >= 0; ++i) {
        int n = _snwprintf(command + used, kCommandUnits - used, L" %ls", argv[i]);
        used = n < 0 ? -1 : used + n;
    }
    command[kCommandUnits - 1] = 0;
    if (used < 0) return Fail("command line too long", exe);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    MemoryPeaks peaks;
    LONGLONG start = Now();
    if (!CreateProcessW(exe, command, nullptr, nullptr, FALSE, 0, nullptr, folder, &startup,
                        &process))
        return Fail("cannot start", exe);
    Handle processHandle(process.hProcess), threadHandle(process.hThread);
    ULONGLONG deadline = GetTickCount64() + kRunTimeoutMs;
    DWORD wait;
    while ((wait = WaitForSingleObject(process.hProcess, kSampleMs)) == WAIT_TIMEOUT) {
        if (sampleMemory) Sample(process.hProcess, &peaks);
        if (GetTickCount64() > deadline) {
            TerminateProcess(process.hProcess, kExitFailed);
            return Fail("timed out", exe);
        }
    }
    LONGLONG ticks = Now() - start;
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    std::printf("seconds=%.6f exit=%lu", Seconds(ticks), code);
    if (sampleMemory) PrintMemory(peaks);
    std::printf("\n");
    return 0;
}

int Embed(const wchar_t* exe, const wchar_t* out, const wchar_t* payloadPath) {
    Payload payload;
    if (!ReadPayload(payloadPath, &payload)) return Fail("cannot read", payloadPath);
    if (!CopyFileW(exe, out, FALSE)) return Fail("cannot copy", exe);
    HANDLE update = BeginUpdateResourceW(out, FALSE);
    if (!update) return Fail("cannot open resources of", out);
    if (!UpdateResourceW(update, RT_RCDATA, MAKEINTRESOURCEW(kPayloadResourceId), kPayloadLanguage,
                         payload.data, static_cast<DWORD>(payload.size)) ||
        !EndUpdateResourceW(update, FALSE))
        return Fail("cannot write the payload into", out);
    std::printf("embedded=%ld\n", static_cast<long>(payload.size));
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (!StartSystemLibraries()) return 1;
    if (argc > 1 && std::wcscmp(argv[1], L"--memory") == 0) {
        sampleMemory = true;
        --argc;
        ++argv;
    }
    if (argc >= 4 && std::wcscmp(argv[1], L"extract") == 0) return Extract(argv[2], argv[3]);
    if (argc >= 4 && std::wcscmp(argv[1], L"limit") == 0) return Limit(argv[2], argv[3]);
    if (argc >= 5 && std::wcscmp(argv[1], L"copy") == 0) return Copy(argv[2], argv[3], argv[4]);
    if (argc >= 3 && std::wcscmp(argv[1], L"run") == 0) return Run(argc - 2, argv + 2);
    if (argc >= 5 && std::wcscmp(argv[1], L"embed") == 0) return Embed(argv[2], argv[3], argv[4]);
    std::fputs("usage: zentrova_bench [--memory] extract|limit|copy|run|embed ...\n", stderr);
    return kExitUsage;
}
