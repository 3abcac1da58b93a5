#include "extract/run.h"

#include <windows.h>

#include "app/dialog.h"
#include "extract/entries.h"
#include "support/errors.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/text.h"
#include "support/version.h"

// The trailer holds the entries' total length; the walk leaves it out.
constexpr DWORD kArchiveTrailerBytes = 4;

int RunExtraction(wchar_t* archiveFolder, wchar_t* ownFolder) {
    wchar_t modulePath[kExtractPathUnits];
    GetOwnModulePath(modulePath);
    CopyText(ownFolder, kExtractPathUnits, modulePath);
    StripToFolder(ownFolder);
    CreateLog(ownFolder);
    LogLineA(ZENTROVA_BUILD_DATE);
    LogLineW(modulePath);
    CopyText(archiveFolder, kExtractPathUnits, ownFolder);
    CreateArchiveFolder(archiveFolder, L"tmp");
    LogFormatW(L"Path=\"%s\" archiveDir=\"%s\"", modulePath, archiveFolder);

    HRSRC resource = FindResourceA(instanceHandle, MAKEINTRESOURCEA(kPayloadResourceId),
                                   MAKEINTRESOURCEA(10));
    if (!resource) {
        MessageBoxW(nullptr, L"Error finding installer application", L"Error", MB_ICONERROR);
        return -1;
    }
    HGLOBAL loaded = LoadResource(instanceHandle, resource);
    if (!loaded) {
        MessageBoxW(nullptr, L"Error loading installer application", L"Error", MB_ICONERROR);
        return -1;
    }
    DWORD size = SizeofResource(instanceHandle, resource);
    // A resource shorter than its trailer walks nothing.
    int32_t length = size >= kArchiveTrailerBytes ? static_cast<int32_t>(size - kArchiveTrailerBytes) : 0;
    int count = ExtractFiles(static_cast<const unsigned char*>(LockResource(loaded)),
                             archiveFolder, length);
    FreeResource(loaded);
    return count;
}

void CreateArchiveFolder(wchar_t* folder, const wchar_t* name) {
    for (int n = 1;; ++n) {
        if (n == kMaxArchiveFolderCounter + 1) ThrowErrorText("Can't create tmp directory");
        wchar_t candidate[kExtractPathUnits];
        // A candidate that does not fit would name some other folder.
        if (!FormatW(candidate, kExtractPathUnits, L"%s\\%s-%d", folder, name, n))
            ThrowErrorText("Can't create tmp directory");
        if (!CreateDirectoryW(candidate, nullptr) && GetLastError() == ERROR_ALREADY_EXISTS)
            continue;
        CopyText(folder, kExtractPathUnits, candidate);
        return;
    }
}
