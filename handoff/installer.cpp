#include "handoff/installer.h"

#include <shellapi.h>
#include <tlhelp32.h>

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

// The watch counts windows of the installer's process and of its
// descendants; windows of other programs (an Explorer window of a folder
// named like the title, one opened later) never count. With no process
// handle from the launch, windows of any process started since count; with
// no launch yet, every process counts.
HANDLE installerProcess = nullptr;  // held, so that its id is not reused
DWORD installerProcessId = 0;
ULONGLONG launchTime = 0;

// Bounds the walk up the parent chain.
constexpr int kMaxAncestors = 64;

ULONGLONG Ticks(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool CreationTime(HANDLE process, ULONGLONG* created) {
    FILETIME creation, exited, kernel, user;
    if (!GetProcessTimes(process, &creation, &exited, &kernel, &user)) return false;
    *created = Ticks(creation);
    return true;
}

bool CreationTimeOf(DWORD processId, ULONGLONG* created) {
    if (processId == installerProcessId) return CreationTime(installerProcess, created);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process) return false;
    bool known = CreationTime(process, created);
    CloseHandle(process);
    return known;
}

bool StartedSinceLaunch(DWORD processId) {
    ULONGLONG created;
    return CreationTimeOf(processId, &created) && created >= launchTime;
}

// The parent id as the process was created with it, or 0.
DWORD ParentOf(HANDLE snapshot, DWORD processId) {
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID == processId) return entry.th32ParentProcessID;
    return 0;
}

// A parent id may since name another process: a parent is one created no
// later than its child, and the chain ends where one has gone.
bool DescendsFromInstaller(DWORD processId) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    ULONGLONG created;
    bool descends = false;
    bool known = CreationTimeOf(processId, &created);
    for (int depth = 0; known && !descends && depth < kMaxAncestors; ++depth) {
        DWORD parent = ParentOf(snapshot, processId);
        ULONGLONG parentCreated;
        known = parent && CreationTimeOf(parent, &parentCreated) && parentCreated <= created;
        descends = known && parent == installerProcessId;
        processId = parent;
        created = parentCreated;
    }
    CloseHandle(snapshot);
    return descends;
}

bool IsInstallersWindow(HWND window) {
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (!installerProcess) return StartedSinceLaunch(processId);
    return processId == installerProcessId || DescendsFromInstaller(processId);
}

const wchar_t kWaitingReason[] = L"Zentrova setup is waiting for the installer";

// A folder that cannot be looked up whole is passed as an empty argument
// rather than as whatever the lookup left in the buffer.
void UseOrEmpty(wchar_t* folder, bool found) {
    size_t length = wcslen(folder);
    if (!found || length == 0 || folder[length - 1] != L'\\') folder[0] = 0;
}

void ForgetInstallerProcess() {
    if (installerProcess) CloseHandle(installerProcess);
    installerProcess = nullptr;
    installerProcessId = 0;
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
        installerProcess = launch.hProcess;
        installerProcessId = GetProcessId(launch.hProcess);
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
        ForgetInstallerProcess();
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
