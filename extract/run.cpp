#include "extract/run.h"

#include <windows.h>

#include "extract/entries.h"
#include "format/archive_layout.h"
#include "support/errors.h"
#include "support/held_folder.h"
#include "support/log.h"
#include "support/module.h"
#include "support/paths.h"
#include "support/security.h"
#include "support/session.h"
#include "support/text.h"
#include "support/version.h"

namespace {

// Where the system's own elevated work keeps its files: only
// administrators may change what they make there.
const wchar_t kSystemTempSubfolder[] = L"\\Temp";

}  // namespace

int RunExtraction(wchar_t* archiveFolder, wchar_t* ownFolder) {
    wchar_t modulePath[kExtractPathUnits];
    // Without it the log and the archive folder would land in the current
    // folder, System32 for an elevated start, and at the drive's root.
    if (!GetOwnModulePath(modulePath)) {
        int error = static_cast<int>(GetLastError());
        ThrowError("Can't find the setup program's own path", error);
    }
    CopyText(ownFolder, kExtractPathUnits, modulePath);
    StripToFolder(ownFolder);
    CreateLog(ownFolder);
    LogLineA(ZENTROVA_BUILD_DATE);
    LogLineW(modulePath);
    // The caller's buffer names the archive folder only once it exists: a
    // run that stops before must not remove the program's own folder.
    wchar_t folder[kExtractPathUnits];
    const wchar_t* unprotectable = ChooseArchivePlace(folder, ownFolder);
    CreateArchiveFolder(folder, kArchiveFolderName);
    CopyText(archiveFolder, kExtractPathUnits, folder);
    if (unprotectable)
        LogFormatW(L"Archive folder in %s, since the program's folder %s", archiveFolder,
                   unprotectable);
    LogFormatW(L"Path=\"%s\" archiveDir=\"%s\"", modulePath, archiveFolder);

    HRSRC resource =
        FindResourceA(instanceHandle, MAKEINTRESOURCEA(kPayloadResourceId), MAKEINTRESOURCEA(10));
    if (!resource) {
        KeepLog();
        SessionHoldPause pause;
        MessageBoxW(nullptr, L"Error finding installer application", L"Error", MB_ICONERROR);
        return -1;
    }
    HGLOBAL loaded = LoadResource(instanceHandle, resource);
    if (!loaded) {
        KeepLog();
        SessionHoldPause pause;
        MessageBoxW(nullptr, L"Error loading installer application", L"Error", MB_ICONERROR);
        return -1;
    }
    DWORD size = SizeofResource(instanceHandle, resource);
    // A resource shorter than its trailer walks nothing.
    int32_t length = size >= kTrailerBytes ? static_cast<int32_t>(size - kTrailerBytes) : 0;
    int count = ExtractFiles(static_cast<const unsigned char*>(LockResource(loaded)), archiveFolder,
                             length);
    FreeResource(loaded);
    return count;
}

// The folder sits where an unelevated process can write, and the elevated
// program loads zlib1.dll and starts the installer from it.
ArchiveFolderSecurity::ArchiveFolderSecurity() : ProtectedSecurity(kArchiveFolderSddl) {
    if (Error()) ThrowError("Can't create tmp directory", static_cast<int>(Error()));
}

const wchar_t* ChooseArchivePlace(wchar_t* place, const wchar_t* ownFolder) {
    const wchar_t* unprotectable = nullptr;
    // Unelevated, the files are the user's own wherever they go.
    if (RunsAsAdministrator()) {
        // A server applies a descriptor against the user's rights there.
        if (IsOnNetworkDrive(ownFolder))
            unprotectable = L"is on a network drive";
        else if (!KeepsPermissions(ownFolder))
            unprotectable = L"keeps no permissions";
    }
    if (!unprotectable) {
        CopyText(place, kExtractPathUnits, ownFolder);
        return nullptr;
    }
    // Not GetWindowsDirectoryW, which may name a folder of the user's.
    UINT length = GetSystemWindowsDirectoryW(place, kExtractPathUnits);
    if (length == 0 || length >= kExtractPathUnits) {
        int error = length ? ERROR_INSUFFICIENT_BUFFER : static_cast<int>(GetLastError());
        ThrowError("Can't create tmp directory", error);
    }
    if (!AppendText(place, kExtractPathUnits, kSystemTempSubfolder))
        ThrowError("Can't create tmp directory", ERROR_FILENAME_EXCED_RANGE);
    return unprotectable;
}

void CreateArchiveFolder(wchar_t* folder, const wchar_t* name) {
    ArchiveFolderSecurity security;
    for (int n = 1;; ++n) {
        if (n == kMaxArchiveFolderCounter + 1) ThrowErrorText("Can't create tmp directory");
        wchar_t candidate[kExtractPathUnits];
        // A candidate that does not fit would name some other folder.
        if (!FormatW(candidate, kExtractPathUnits, kArchiveFolderFormat, folder, name, n))
            ThrowErrorText("Can't create tmp directory");
        // Made and held in one step: a folder or link that another process
        // puts at the name is never the one written to.
        DWORD error = archiveFolderHold.Create(candidate, security.Attributes());
        if (error == ERROR_ALREADY_EXISTS) continue;
        if (error) ThrowError("Can't create tmp directory", static_cast<int>(error));
        CopyText(folder, kExtractPathUnits, candidate);
        return;
    }
}
