#include "extract/entries.h"

#include <cstring>

#include "extract/inflate.h"
#include "format/archive.h"
#include "support/errors.h"
#include "support/log.h"
#include "support/text.h"
#include "support/wait.h"

wchar_t zlibPath[kPathUnits];

namespace {

constexpr size_t kNameBytes = kMaxEntryNameBytes + 1;

// The file being written; left open, as the run's end leaves it, when its
// entry fails.
HANDLE entryFile = INVALID_HANDLE_VALUE;

[[noreturn]] void ThrowDamaged(ArchiveStatus status) {
    ThrowErrorFmt("Damaged installer archive: %s", ArchiveStatusText(status));
}

}  // namespace

int ExtractFiles(const unsigned char* data, const wchar_t* archiveFolder, int32_t length) {
    LogFormatW(L"ExtractFiles destDir=%s", archiveFolder);
    int32_t offset = 0;
    int count = 0;
    while (offset < length) {
        ArchiveEntry entry;
        ArchiveStatus status = ReadArchiveEntry(data, length, &offset, &entry);
        if (status != kArchiveOk) ThrowDamaged(status);

        char name[kNameBytes];
        std::memcpy(name, entry.name, entry.filenameSize);
        name[entry.filenameSize] = 0;
        wchar_t wideName[kExtractPathUnits];
        WidenName(wideName, kExtractPathUnits, name);

        wchar_t target[kExtractPathUnits];
        bool fits = CopyText(target, kExtractPathUnits, archiveFolder) &&
                    AppendText(target, kExtractPathUnits, L"\\") &&
                    AppendText(target, kExtractPathUnits, wideName);
        if (!fits) ThrowErrorW(L"Target path too long", target, -1);
        size_t folderLength = 0;
        while (archiveFolder[folderLength]) ++folderLength;
        CreateParentFolders(target, folderLength + 1);

        LogFormatW(L"Unarchiving file \"%s\", zippedSize=%d", target,
                   static_cast<int>(entry.fileSize));
        HANDLE file = CreateFileW(target, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            int error = static_cast<int>(GetLastError());
            ThrowErrorW(L"Error creating target file", target, error);
        }
        entryFile = file;
        if (IsStoredEntryName(entry.name, entry.filenameSize)) {
            CopyText(zlibPath, kPathUnits, target);
            WriteRawEntry(file, entry.data, entry.fileSize);
        } else {
            unzipFrom(file, entry.data, entry.fileSize);
        }
        CloseHandle(file);
        entryFile = INVALID_HANDLE_VALUE;
        ++count;
        KeepAnswering();
    }
    return count;
}

void CloseEntryBeingWritten() {
    if (entryFile == INVALID_HANDLE_VALUE) return;
    CloseHandle(entryFile);
    entryFile = INVALID_HANDLE_VALUE;
}

void CreateParentFolders(const wchar_t* path, size_t start) {
    wchar_t folder[kExtractPathUnits];
    CopyText(folder, kExtractPathUnits, path);
    for (size_t i = start; i < kExtractPathUnits && folder[i]; ++i) {
        if (folder[i] != L'\\') continue;
        folder[i] = 0;
        LogFormatW(L"CreateDirectory %s", folder);
        if (!CreateDirectoryW(folder, nullptr)) {
            int error = static_cast<int>(GetLastError());
            if (error != ERROR_ALREADY_EXISTS)
                ThrowErrorW(L"Error creating directory", folder, error);
        }
        folder[i] = L'\\';
    }
}

int WriteRawEntry(HANDLE file, const void* data, DWORD count) {
    WriteBlock(data, count, file, "Writing raw data");
    return static_cast<int>(count);
}

void WriteBlock(const void* data, DWORD count, HANDLE file, const char* label) {
    DWORD written = 0;
    if (!WriteFile(file, data, count, &written, nullptr) || written != count)
        ThrowErrorFmt("Error writing %s", label);
}
