#include "handoff/installer.h"

#include <shellapi.h>

#include <cstring>

#include "handoff/base64.h"
#include "handoff/basic_install.h"
#include "handoff/launch.h"
#include "handoff/remove.h"
#include "support/held_folder.h"
#include "support/paths.h"
#include "support/session.h"
#include "support/text.h"
#include "support/wait.h"

int installingSeen;

namespace {

const wchar_t kWaitingReason[] = L"Zentrova setup is waiting for the installer";

// A folder that cannot be looked up whole is passed as an empty argument
// rather than as whatever the lookup left in the buffer.
void UseOrEmpty(wchar_t* folder, bool found) {
    size_t length = wcslen(folder);
    if (!found || length == 0 || folder[length - 1] != L'\\') folder[0] = 0;
}

bool LaunchSucceeded(HINSTANCE result) {
    return static_cast<int>(reinterpret_cast<INT_PTR>(result)) >= 32;
}

}  // namespace

void AppendEncodedArg(wchar_t* parameters, const wchar_t* folder) {
    char encoded[kEncodedArgBytes];
    if (!Base64Encode(encoded, kEncodedArgBytes, folder, wcslen(folder))) encoded[0] = 0;
    wchar_t widened[kEncodedArgBytes];
    WidenBytes(widened, kEncodedArgBytes, encoded);
    AppendText(parameters, kParameterUnits, parameters[0] ? L",\"" : L"\"");
    AppendText(parameters, kParameterUnits, widened);
    AppendText(parameters, kParameterUnits, L"\"");
}

BOOL CALLBACK CheckInstallerWindow(HWND window, LPARAM foundFlag) {
    char title[kWindowTitleBytes];
    if (GetWindowTextA(window, title, kWindowTitleBytes) <= 0) return TRUE;
    int* found = reinterpret_cast<int*>(foundFlag);
    if (strcmp(title, kInstallerTitle) == 0) {
        *found = 1;
        return FALSE;
    }
    if (strcmp(title, kInstallingTitle) == 0) {
        *found = 1;
        installingSeen = 1;
        return FALSE;
    }
    return TRUE;
}

int IsInstallerRunning() {
    int found = 0;
    EnumWindows(CheckInstallerWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

int RunInstaller(HWND dialog, const wchar_t* archiveFolder) {
    wchar_t parameters[kParameterUnits] = L"";
    wchar_t folder[kPathUnits] = L"";
    UseOrEmpty(folder, GetDocumentsFolder(folder));
    AppendEncodedArg(parameters, folder);
    bool found = GetProgramsMenuFolder(folder, L"Zentrova");
    AddBackslash(folder, kPathUnits);
    UseOrEmpty(folder, found);
    AppendEncodedArg(parameters, folder);
    UseOrEmpty(folder, GetDesktopFolder(folder));
    AppendEncodedArg(parameters, folder);

    wchar_t installerPath[kPathUnits];
    CopyText(installerPath, kPathUnits, archiveFolder);
    AddBackslash(installerPath, kPathUnits);
    AppendText(installerPath, kPathUnits, L"InstallZentrova.exe");

    HoldSessionEnd(kWaitingReason);
    HINSTANCE result =
        ShellExecuteW(dialog, L"open", installerPath, parameters, nullptr, SW_SHOWNORMAL);
    bool launched = LaunchSucceeded(result);
    if (!launched) {
        ReleaseSessionEnd();
        wchar_t message[kLaunchMessageUnits];
        FormatW(message, kLaunchMessageUnits, L"Error launching installer%s. Error=%d", L"",
                static_cast<int>(reinterpret_cast<INT_PTR>(result)));
        MessageBoxW(nullptr, message, L"Extractor", MB_OK);
    }
    EndDialog(dialog, 0);

    bool offerBasicInstall = true;
    if (launched) {
        DWORD start = GetTickCount();
        // Unsigned difference: right across the tick counter's wrap.
        while (GetTickCount() - start < kAppearanceWaitMs && !IsInstallerRunning())
            WaitAnswering(kAppearancePollMs);
        while (IsInstallerRunning()) WaitAnswering(kClosePollMs);
        // What follows waits for the user's answers, which a logoff must
        // not wait for: the end of the session cleans up instead.
        ReleaseSessionEnd();

        if (installingSeen) {
            offerBasicInstall = LaunchInstalledApp(archiveFolder) == 0;
        } else {
            wchar_t cancelPath[kPathUnits];
            CopyText(cancelPath, kPathUnits, archiveFolder);
            AddBackslash(cancelPath, kPathUnits);
            AppendText(cancelPath, kPathUnits, L"cancel.txt");
            offerBasicInstall = !FileExists(cancelPath);
        }
    }
    if (offerBasicInstall && BasicInstall(archiveFolder)) LaunchInstalledApp(archiveFolder);
    // Only a folder this run made is its own to remove.
    return archiveFolderHold.IsHeld() ? RemoveArchiveFolder(archiveFolder) : FALSE;
}
