#include "support/paths.h"

#include <shlobj.h>
#include <windows.h>

#include "support/errors.h"
#include "support/text.h"

namespace {

// Room for a full UTF-16 NUL after the data even when its length is odd.
constexpr DWORD kContentsPadBytes = 3;
constexpr DWORD kMaxContentsBytes = 0x7FFFFFFF;

class FileHandle {
   public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    bool IsValid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }
    void Close() {
        if (IsValid()) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

   private:
    HANDLE handle_;
};

}  // namespace

void WidenName(wchar_t* dst, size_t capacity, const char* src) {
    WidenBytes(dst, capacity, src);
}

void StripToFolder(wchar_t* path) {
    size_t length = 0;
    while (path[length]) ++length;
    for (size_t i = length; i-- > 1;) {
        if (path[i] == L'\\') {
            path[i] = 0;
            return;
        }
    }
}

void AddBackslash(wchar_t* path, size_t capacity) {
    size_t length = 0;
    while (length < capacity && path[length]) ++length;
    if (length == 0 || length + 1 >= capacity || path[length - 1] == L'\\') return;
    path[length] = L'\\';
    path[length + 1] = 0;
}

void UseBackslashes(wchar_t* path) {
    for (; *path; ++path)
        if (*path == L'/') *path = L'\\';
}

bool IsAbsolutePath(const wchar_t* path) {
    wchar_t drive = path[0];
    if (((drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z')) && path[1] == L':' &&
        path[2] == L'\\')
        return true;
    if (path[0] != L'\\' || path[1] != L'\\') return false;
    const wchar_t* server = path + 2;
    size_t length = 0;
    while (server[length] && server[length] != L'\\') ++length;
    if (length == 0 || server[length] != L'\\') return false;
    // Device and raw-namespace prefixes, not servers.
    if (length == 1 && (server[0] == L'.' || server[0] == L'?')) return false;
    const wchar_t* share = server + length + 1;
    return share[0] && share[0] != L'\\';
}

bool IsOnNetworkDrive(const wchar_t* path) {
    wchar_t root[kPathUnits];
    if (!GetVolumePathNameW(path, root, kPathUnits)) return false;
    return GetDriveTypeW(root) == DRIVE_REMOTE;
}

bool KeepsPermissions(const wchar_t* path) {
    // By a handle, which any folder gives: by name only a drive's root
    // answers on some systems, not a volume mounted in a folder.
    FileHandle folder(CreateFileW(path, FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    DWORD flags = 0;
    return folder.IsValid() &&
           GetVolumeInformationByHandleW(folder.Get(), nullptr, 0, nullptr, nullptr, &flags,
                                         nullptr, 0) &&
           (flags & FILE_PERSISTENT_ACLS);
}

bool IsLinkOrSharedFile(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return true;
    FileHandle file(CreateFileW(
        path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    // What cannot be looked at is not trusted to be a plain file.
    if (!file.IsValid() || !GetFileInformationByHandle(file.Get(), &info)) return true;
    return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || info.nNumberOfLinks > 1;
}

bool FileExists(const wchar_t* path) {
    FileHandle file(
        CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.IsValid();
}

bool ClearReadOnly(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    return SetFileAttributesW(path, attributes ? attributes : FILE_ATTRIBUTE_NORMAL) != 0;
}

bool DeleteFileEvenReadOnly(const wchar_t* path) {
    if (DeleteFileW(path)) return true;
    return GetLastError() == ERROR_ACCESS_DENIED && ClearReadOnly(path) && DeleteFileW(path);
}

wchar_t* ReadFileContents(const wchar_t* path) {
    FileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        ShowErrorFmtW(L"Could not open file \"%s\"", path);
        return nullptr;
    }
    DWORD size = GetFileSize(file.Get(), nullptr);
    if (size == 0 || size == INVALID_FILE_SIZE) {
        file.Close();
        ShowErrorA("ReadFileContents empty");
        return nullptr;
    }
    unsigned char* buffer = nullptr;
    if (size <= kMaxContentsBytes - kContentsPadBytes)
        buffer = static_cast<unsigned char*>(
            HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size + kContentsPadBytes));
    if (!buffer) {
        file.Close();
        ShowErrorA("Memory error");
        return nullptr;
    }
    DWORD total = 0;
    while (total < size) {
        DWORD got = 0;
        if (!ReadFile(file.Get(), buffer + total, size - total, &got, nullptr)) got = 0;
        if (got == 0) {
            file.Close();
            HeapFree(GetProcessHeap(), 0, buffer);
            ShowErrorA("Error reading file. Readlen=0");
            return nullptr;
        }
        total += got;
    }
    return reinterpret_cast<wchar_t*>(buffer);
}

void FreeFileContents(wchar_t* contents) {
    if (contents) HeapFree(GetProcessHeap(), 0, contents);
}

bool GetSpecialFolder(wchar_t* path, int csidl) {
    LPITEMIDLIST items = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, csidl, &items))) return false;
    BOOL found = SHGetPathFromIDListW(items, path);
    CoTaskMemFree(items);
    if (!found) return false;
    size_t length = 0;
    while (path[length]) ++length;
    // A folder that fills the buffer leaves no room for its backslash.
    if (length + 1 >= kPathUnits) return false;
    AddBackslash(path, kPathUnits);
    return true;
}

bool GetDesktopFolder(wchar_t* path) {
    return GetSpecialFolder(path, kCsidlDesktopDirectory);
}

bool GetProgramFilesFolder(wchar_t* path) {
    return GetSpecialFolder(path, kCsidlProgramFiles);
}

bool GetDocumentsFolder(wchar_t* path) {
    return GetSpecialFolder(path, kCsidlPersonal);
}

bool GetProgramsMenuFolder(wchar_t* path, const wchar_t* sub) {
    if (!GetSpecialFolder(path, kCsidlPrograms)) return false;
    return AppendText(path, kPathUnits, sub);
}

int GetOwnModulePath(wchar_t* path) {
    DWORD length = GetModuleFileNameW(nullptr, path, kExtractPathUnits);
    DWORD error = GetLastError();
    if (length > 0 && length < kExtractPathUnits) return static_cast<int>(length);
    // A full buffer means the path was cut short and would name another folder.
    if (length > 0) error = ERROR_INSUFFICIENT_BUFFER;
    path[0] = 0;
    SetLastError(error);
    return 0;
}
