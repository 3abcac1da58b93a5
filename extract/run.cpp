#include "extract/run.h"

#include <sddl.h>
#include <windows.h>

#include "extract/entries.h"
#include "extract/format.h"
#include "support/errors.h"
#include "support/log.h"
#include "support/module.h"
#include "support/paths.h"
#include "support/text.h"
#include "support/version.h"

namespace {

bool archiveFolderCreated = false;

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
    CopyText(folder, kExtractPathUnits, ownFolder);
    archiveFolderCreated = CreateArchiveFolder(folder, L"tmp");
    CopyText(archiveFolder, kExtractPathUnits, folder);
    LogFormatW(L"Path=\"%s\" archiveDir=\"%s\"", modulePath, archiveFolder);

    HRSRC resource =
        FindResourceA(instanceHandle, MAKEINTRESOURCEA(kPayloadResourceId), MAKEINTRESOURCEA(10));
    if (!resource) {
        KeepLog();
        MessageBoxW(nullptr, L"Error finding installer application", L"Error", MB_ICONERROR);
        return -1;
    }
    HGLOBAL loaded = LoadResource(instanceHandle, resource);
    if (!loaded) {
        KeepLog();
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

namespace {

// The folder sits where an unelevated process can write, and the elevated
// program loads zlib1.dll and starts the installer from it: only SYSTEM and
// Administrators may change anything in it, for files written later too.
constexpr wchar_t kProtectedFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;WD)";

bool RunsAsAdministrator() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                  0, 0, 0, 0, 0, &administrators))
        return false;
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
    FreeSid(administrators);
    return member != FALSE;
}

}  // namespace

ArchiveFolderSecurity::ArchiveFolderSecurity() {
    attributes_.nLength = sizeof(attributes_);
    attributes_.bInheritHandle = FALSE;
    attributes_.lpSecurityDescriptor = nullptr;
    // Without administrator rights the protected folder would shut the
    // program out of its own files, and there is nothing to protect.
    if (!RunsAsAdministrator()) return;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            kProtectedFolderSddl, SDDL_REVISION_1, &attributes_.lpSecurityDescriptor, nullptr)) {
        int error = static_cast<int>(GetLastError());
        ThrowError("Can't create tmp directory", error);
    }
}

ArchiveFolderSecurity::~ArchiveFolderSecurity() {
    LocalFree(attributes_.lpSecurityDescriptor);
}

SECURITY_ATTRIBUTES* ArchiveFolderSecurity::Attributes() {
    return attributes_.lpSecurityDescriptor ? &attributes_ : nullptr;
}

bool ArchiveFolderCreated() {
    return archiveFolderCreated;
}

bool CreateArchiveFolder(wchar_t* folder, const wchar_t* name) {
    ArchiveFolderSecurity security;
    for (int n = 1;; ++n) {
        if (n == kMaxArchiveFolderCounter + 1) ThrowErrorText("Can't create tmp directory");
        wchar_t candidate[kExtractPathUnits];
        // A candidate that does not fit would name some other folder.
        if (!FormatW(candidate, kExtractPathUnits, L"%s\\%s-%d", folder, name, n))
            ThrowErrorText("Can't create tmp directory");
        bool created = CreateDirectoryW(candidate, security.Attributes()) != FALSE;
        if (!created && GetLastError() == ERROR_ALREADY_EXISTS) continue;
        CopyText(folder, kExtractPathUnits, candidate);
        return created;
    }
}
