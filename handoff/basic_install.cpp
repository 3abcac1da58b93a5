#include "handoff/basic_install.h"

#include <windows.h>

#include "support/errors.h"
#include "support/held_folder.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/security.h"
#include "support/session.h"
#include "support/text.h"

namespace {

const wchar_t kCopyingReason[] = L"Zentrova setup is copying the application";

// Held from its creation or check until the process ends, so that what is
// started from it later is still what was copied or checked.
HeldFolder basicInstallHold;

// The folder itself, not a place inside it.
void BasicInstallFolder(wchar_t* folder) {
    CopyText(folder, kPathUnits, kBasicInstallFolder);
    StripToFolder(folder);
}

}  // namespace

DWORD CreateBasicInstallFolder() {
    ProtectedSecurity security(kBasicInstallSddl);
    if (security.Error()) return security.Error();
    wchar_t folder[kPathUnits];
    BasicInstallFolder(folder);
    DWORD error = basicInstallHold.Create(folder, security.Attributes());
    return error == ERROR_ALREADY_EXISTS ? basicInstallHold.Hold(folder, true) : error;
}

bool HoldBasicInstallFolder() {
    wchar_t folder[kPathUnits];
    BasicInstallFolder(folder);
    return basicInstallHold.IsAt(folder) || basicInstallHold.Hold(folder, true) == 0;
}

void CopyAppFile(const wchar_t* sourceFolder, const wchar_t* targetFolder, const wchar_t* name) {
    wchar_t source[kPathUnits];
    CopyText(source, kPathUnits, sourceFolder);
    AddBackslash(source, kPathUnits);
    AppendText(source, kPathUnits, name);
    wchar_t target[kPathUnits];
    CopyText(target, kPathUnits, targetFolder);
    AddBackslash(target, kPathUnits);
    AppendText(target, kPathUnits, name);
    // A link, or another name of some file, is replaced, not written through.
    bool replaceable = !IsLinkOrSharedFile(target) || DeleteFileEvenReadOnly(target);
    if (!replaceable || !CopyFileW(source, target, FALSE)) {
        int code = static_cast<int>(GetLastError());
        ShowSystemErrorW(L"Error copying application %s %d", target, code);
    }
}

int BasicInstall(const wchar_t* archiveFolder) {
    LogLineA("Do basic install");
    int answer = MessageBoxA(nullptr,
                             "There appeared to be a problem installing. If it didn't install, do "
                             "you want to do a basic install?",
                             "Basic install", MB_OKCANCEL | MB_ICONQUESTION);
    if (answer != IDOK) return 0;
    DWORD refused = CreateBasicInstallFolder();
    if (refused) {
        ShowSystemErrorW(L"Error creating directory %s %d", kBasicInstallFolder,
                         static_cast<int>(refused));
        return 0;
    }
    HoldSessionEnd(kCopyingReason);
    CopyAppFile(archiveFolder, kBasicInstallFolder, L"Zentrova.exe");
    CopyAppFile(archiveFolder, kBasicInstallFolder, L"libeay32.dll");
    CopyAppFile(archiveFolder, kBasicInstallFolder, L"libssl32.dll");
    ReleaseSessionEnd();
    LogLineA("Completed basic install");
    return 1;
}
