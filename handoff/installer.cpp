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

// The watch counts windows of the installer's process, or of a process
// started since its launch; windows of programs that were running before
// (an Explorer window of a folder named like the title) never count. With
// no launch yet, every process counts.
DWORD installerProcessId = 0;
ULONGLONG launchTime = 0;

ULONGLONG Ticks(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool StartedSinceLaunch(DWORD processId) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process) return false;
    FILETIME created, exited, kernel, user;
    bool since =
        GetProcessTimes(process, &created, &exited, &kernel, &user) && Ticks(created) >= launchTime;
    CloseHandle(process);
    return since;
}

bool IsInstallersWindow(HWND window) {
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    return (installerProcessId && processId == installerProcessId) || StartedSinceLaunch(processId);
}

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

// Its hInstApp; the watch then knows the installer's process.
HINSTANCE StartInstaller(HWND dialog, const wchar_t* installerPath, const wchar_t* parameters) {
    SHELLEXECUTEINFOW launch = {};
    launch.cbSize = sizeof launch;
    // As ShellExecuteW: a failure is told in a box of our own.
    launch.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    launch.hwnd = dialog;
    launch.lpVerb = L"open";
    launch.lpFile = installerPath;
    launch.lpParameters = parameters;
    launch.nShow = SW_SHOWNORMAL;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    launchTime = Ticks(now);
    ShellExecuteExW(&launch);
    if (launch.hProcess) {
        installerProcessId = GetProcessId(launch.hProcess);
        CloseHandle(launch.hProcess);
    }
    return launch.hInstApp;
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
    bool installing = strcmp(title, kInstallingTitle) == 0;
    if (!installing && strcmp(title, kInstallerTitle) != 0) return TRUE;
    if (!IsInstallersWindow(window)) return TRUE;
    *found = 1;
    if (installing) installingSeen = 1;
    return FALSE;
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
    HINSTANCE result = StartInstaller(dialog, installerPath, parameters);
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
