#include "support/held_folder.h"

#include "support/security.h"

HeldFolder archiveFolderHold;

namespace {

// Enough to read what the folder is; no delete, so that other processes
// may still make it their current folder, which shares no delete either.
constexpr DWORD kHoldAccess = FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
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
bool IsRealFolder(HANDLE folder, const wchar_t* path, BY_HANDLE_FILE_INFORMATION* info) {
    if (!GetFileInformationByHandle(folder, info)) return false;
    DWORD attributes = info->dwFileAttributes | GetFileAttributesW(path);
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

DWORD HeldFolder::Hold(const wchar_t* path, bool checkOwner) {
    Release();
    HANDLE folder = OpenFolder(path, kHoldAccess, kHoldSharing);
    if (!folder) return GetLastError();
    BY_HANDLE_FILE_INFORMATION info;
    DWORD error = 0;
    if (!IsRealFolder(folder, path, &info))
        error = ERROR_DIRECTORY;
    else if (checkOwner)
        error = CheckFolderOwner(folder, path);
    if (error) {
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
    bool removed = false;
    if (deleter && IsSame(deleter)) {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        removed = SetFileInformationByHandle(deleter, FileDispositionInfo, &disposition,
                                             sizeof disposition) != FALSE;
    }
    DWORD error = GetLastError();
    if (deleter) CloseHandle(deleter);
    if (!removed) {
        HANDLE folder = OpenFolder(path, kHoldAccess, kHoldSharing);
        if (folder && IsSame(folder))
            handle_ = folder;
        else if (folder)
            CloseHandle(folder);
    }
    SetLastError(error);
    return removed;
}

void HeldFolder::Release() {
    if (!handle_) return;
    CloseHandle(handle_);
    handle_ = nullptr;
}
