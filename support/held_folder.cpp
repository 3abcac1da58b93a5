#include "support/held_folder.h"

#include <winternl.h>

#include "support/security.h"

HeldFolder archiveFolderHold;

namespace {

// Reading the entries takes part in sharing, as attributes alone do not:
// without delete shared, nobody may rename the folder. Others may still
// list it and make it their current folder, which shares no delete either.
constexpr DWORD kHoldAccess =
    FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
constexpr DWORD kDeleteAccess = kHoldAccess | DELETE;
constexpr DWORD kHoldSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kLookSharing = kHoldSharing | FILE_SHARE_DELETE;

// The folder itself, never what a link at path points to.
HANDLE OpenFolder(const wchar_t* path, DWORD access, DWORD sharing) {
    HANDLE folder = CreateFileW(path, access, sharing, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return folder == INVALID_HANDLE_VALUE ? nullptr : folder;
}

// Some file systems show a link only to a look by its path; the handle
// keeps the path from changing meanwhile. A failed look refuses too.
bool IsRealFolder(HANDLE folder, const wchar_t* path) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(folder, &info)) return false;
    DWORD attributes = info.dwFileAttributes | GetFileAttributesW(path);
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// CreateDirectoryW returns no handle, and between it and an open by path
// the name can be given to another folder: the native call does both.
struct NativeCalls {
    decltype(&RtlDosPathNameToNtPathName_U) toNtPath;
    decltype(&RtlFreeUnicodeString) freeString;
    decltype(&NtCreateFile) createFile;
    decltype(&RtlNtStatusToDosError) toError;
};

bool LoadNativeCalls(NativeCalls* calls) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!ntdll) return false;
    auto find = [ntdll](const char* name) {
        return reinterpret_cast<void*>(GetProcAddress(ntdll, name));
    };
    calls->toNtPath =
        reinterpret_cast<decltype(calls->toNtPath)>(find("RtlDosPathNameToNtPathName_U"));
    calls->freeString = reinterpret_cast<decltype(calls->freeString)>(find("RtlFreeUnicodeString"));
    calls->createFile = reinterpret_cast<decltype(calls->createFile)>(find("NtCreateFile"));
    calls->toError = reinterpret_cast<decltype(calls->toError)>(find("RtlNtStatusToDosError"));
    return calls->toNtPath && calls->freeString && calls->createFile && calls->toError;
}

DWORD CreateFolderOpen(const wchar_t* path, SECURITY_ATTRIBUTES* security, HANDLE* folder) {
    *folder = nullptr;
    NativeCalls calls;
    if (!LoadNativeCalls(&calls)) return ERROR_PROC_NOT_FOUND;
    UNICODE_STRING name;
    if (!calls.toNtPath(path, &name, nullptr, nullptr)) return ERROR_PATH_NOT_FOUND;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr,
                               security ? security->lpSecurityDescriptor : nullptr);
    IO_STATUS_BLOCK status;
    HANDLE handle = nullptr;
    NTSTATUS result = calls.createFile(
        &handle, kHoldAccess, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, kHoldSharing,
        FILE_CREATE, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT,
        nullptr, 0);
    calls.freeString(&name);
    if (result < 0) return calls.toError(result);
    *folder = handle;
    return 0;
}

}  // namespace

DWORD HeldFolder::Create(const wchar_t* path, SECURITY_ATTRIBUTES* security) {
    Release();
    HANDLE folder = nullptr;
    DWORD error = CreateFolderOpen(path, security, &folder);
    // As CreateDirectoryW tells a taken name.
    if (error == ERROR_FILE_EXISTS) error = ERROR_ALREADY_EXISTS;
    return error ? error : Keep(folder);
}

DWORD HeldFolder::Hold(const wchar_t* path, bool checkProtection) {
    Release();
    HANDLE folder = OpenFolder(path, kHoldAccess, kHoldSharing);
    if (!folder) return GetLastError();
    DWORD error = 0;
    if (!IsRealFolder(folder, path))
        error = ERROR_DIRECTORY;
    else if (checkProtection)
        error = CheckFolderProtection(folder);
    if (error) {
        CloseHandle(folder);
        return error;
    }
    return Keep(folder);
}

DWORD HeldFolder::Keep(HANDLE folder) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(folder, &info)) {
        DWORD error = GetLastError();
        CloseHandle(folder);
        return error;
    }
    handle_ = folder;
    volume_ = info.dwVolumeSerialNumber;
    indexHigh_ = info.nFileIndexHigh;
    indexLow_ = info.nFileIndexLow;
    return 0;
}

bool HeldFolder::IsSame(HANDLE folder) const {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(folder, &info) && info.dwVolumeSerialNumber == volume_ &&
           info.nFileIndexHigh == indexHigh_ && info.nFileIndexLow == indexLow_;
}

bool HeldFolder::IsAt(const wchar_t* path) const {
    if (!IsHeld()) return false;
    HANDLE folder = OpenFolder(path, FILE_READ_ATTRIBUTES | SYNCHRONIZE, kLookSharing);
    if (!folder) return false;
    bool same = IsSame(folder);
    CloseHandle(folder);
    return same;
}

bool HeldFolder::Remove(const wchar_t* path) {
    if (!IsHeld()) return false;
    // The hold shares no delete, not even with this process: it gives way
    // for a moment to a handle that may delete, checked to be of the same
    // folder. That handle is not kept, since while it is open no one may
    // list the folder or make it their current folder.
    Release();
    HANDLE deleter = OpenFolder(path, kDeleteAccess, kHoldSharing);
    bool same = deleter && IsSame(deleter);
    bool removed = false;
    if (same) {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        removed = SetFileInformationByHandle(deleter, FileDispositionInfo, &disposition,
                                             sizeof disposition) != FALSE;
    }
    if (deleter) CloseHandle(deleter);
    // Held again only when the name still gives the same folder, whatever
    // refused the delete (someone listing the folder, say): one renamed
    // meanwhile is lost, and nothing more is done by its path.
    if (!removed) {
        HANDLE folder = OpenFolder(path, kHoldAccess, kHoldSharing);
        if (folder && IsSame(folder))
            handle_ = folder;
        else if (folder)
            CloseHandle(folder);
    }
    return removed;
}

void HeldFolder::Release() {
    if (!handle_) return;
    CloseHandle(handle_);
    handle_ = nullptr;
}
