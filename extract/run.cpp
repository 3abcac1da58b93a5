#include "extract/run.h"

#include <windows.h>

#include "extract/entries.h"
#include "format/archive_layout.h"
#include "support/errors.h"
#include "support/held_folder.h"
#include "support/log.h"
#include "support/module.h"
#include "support/paths.h"
#include "support/session.h"
#include "support/text.h"
#include "support/version.h"

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
    CopyText(folder, kExtractPathUnits, ownFolder);
    CreateArchiveFolder(folder, kArchiveFolderName);
    CopyText(archiveFolder, kExtractPathUnits, folder);
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

bool CreateArchiveFolder(wchar_t* folder, const wchar_t* name) {
    ArchiveFolderSecurity security;
    // A server applies the descriptor against the user's rights there, and
    // would shut the user out of their own share.
    bool remote = IsOnNetworkDrive(folder);
    for (int n = 1;; ++n) {
        if (n == kMaxArchiveFolderCounter + 1) ThrowErrorText("Can't create tmp directory");
        wchar_t candidate[kExtractPathUnits];
        // A candidate that does not fit would name some other folder.
        if (!FormatW(candidate, kExtractPathUnits, kArchiveFolderFormat, folder, name, n))
            ThrowErrorText("Can't create tmp directory");
        bool created =
            CreateDirectoryW(candidate, remote ? nullptr : security.Attributes()) != FALSE;
        if (!created && GetLastError() == ERROR_ALREADY_EXISTS) continue;
        if (created) {
            // Between the two calls another process may have put a folder
            // or link of its own at the name.
            DWORD refused = archiveFolderHold.Hold(candidate, !remote);
            if (refused) ThrowError("Can't create tmp directory", static_cast<int>(refused));
            if (remote)
                LogFormatW(L"Archive folder on a network drive, default security: %s", candidate);
        }
        CopyText(folder, kExtractPathUnits, candidate);
        return created;
    }
}
