#include "handoff/launch.h"

#include <shellapi.h>

#include "format/shared_names.h"
#include "handoff/basic_install.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/text.h"
#include "support/wait.h"

namespace {

const wchar_t kAppName[] = L"Zentrova.exe";

// The launcher from the question to its deletion, for a session that ends
// meanwhile.
wchar_t pendingLauncher[kPathUnits];

void DeleteAtRestart(const wchar_t* launcherPath) {
    if (MoveFileExW(launcherPath, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        LogFormatW(L"Launcher in use, deleted at restart: %s", launcherPath);
    } else {
        int moveError = static_cast<int>(GetLastError());
        LogFormatW(L"Launcher in use, not deleted: %s %d", launcherPath, moveError);
    }
}

// The installer's result file names the application; a text that does not
// fit the path buffer is refused rather than cut to another path, and so is
// a relative one, which would name whatever the current folder holds. Its
// slashes are taken as Windows takes them, so that the launcher is looked
// for beside the application, not a folder above it.
bool FromResultFile(wchar_t* appPath, const wchar_t* archiveFolder) {
    wchar_t resultPath[kPathUnits];
    CopyText(resultPath, kPathUnits, archiveFolder);
    AddBackslash(resultPath, kPathUnits);
    AppendText(resultPath, kPathUnits, L"InstalledApp.txt");
    wchar_t* text = ReadFileContents(resultPath);
    if (!text) return false;
    bool taken = false;
    wchar_t candidate[kPathUnits];
    bool whole = CopyText(candidate, kPathUnits, text);
    UseBackslashes(candidate);
    if (whole && IsAbsolutePath(candidate) && FileExists(candidate)) {
        CopyText(appPath, kPathUnits, candidate);
        taken = true;
    }
    FreeFileContents(text);
    return taken;
}

// The value names the installation folder; it may be of any type and
// need not be terminated, so the buffer is zeroed and cut at its size. A
// folder without the application in it, left by a failed installer, must
// not hide the copies in the fixed places, nor may a relative value, which
// would be found, and started, in the current folder.
bool FromRegistry(wchar_t* appPath) {
    HKEY key;
    if (RegOpenKeyW(HKEY_LOCAL_MACHINE, L"Software\\Zentrova", &key) != ERROR_SUCCESS) return false;
    wchar_t value[kPathUnits] = L"";
    DWORD size = kRegistryValueBytes;
    if (RegQueryValueExW(key, L"InstPath", nullptr, nullptr, reinterpret_cast<BYTE*>(value),
                         &size) != ERROR_SUCCESS)
        size = 0;
    RegCloseKey(key);
    value[size / sizeof(wchar_t)] = 0;
    UseBackslashes(value);
    if (!IsAbsolutePath(value)) return false;
    AddBackslash(value, kPathUnits);
    if (!AppendText(value, kPathUnits, kAppName) || !FileExists(value)) return false;
    CopyText(appPath, kPathUnits, value);
    return true;
}

void FromFixedPlaces(wchar_t* appPath) {
    if (GetProgramFilesFolder(appPath)) {
        AppendText(appPath, kPathUnits, L"Zentrova\\");
        if (!AppendText(appPath, kPathUnits, kAppName) || !FileExists(appPath)) appPath[0] = 0;
    } else {
        appPath[0] = 0;
    }
    if (appPath[0]) return;
    CopyText(appPath, kPathUnits, kBasicInstallFolder);
    AppendText(appPath, kPathUnits, kAppName);
    // Anyone may have made that folder and put a launcher in it.
    if (!FileExists(appPath) || !HoldBasicInstallFolder()) appPath[0] = 0;
}

// Empty when the application path has no folder part or the name does not fit.
void FormLauncherPath(wchar_t* launcherPath, const wchar_t* appPath) {
    CopyText(launcherPath, kPathUnits, appPath);
    wchar_t* lastSlash = nullptr;
    for (wchar_t* at = launcherPath; *at; ++at)
        if (*at == L'\\') lastSlash = at;
    if (!lastSlash) {
        launcherPath[0] = 0;
        return;
    }
    lastSlash[1] = 0;
    if (!AppendText(launcherPath, kPathUnits, L"Launcher.exe")) launcherPath[0] = 0;
}

}  // namespace

int LaunchInstalledApp(const wchar_t* archiveFolder) {
    wchar_t appPath[kPathUnits] = L"";
    if (!FromResultFile(appPath, archiveFolder) && !FromRegistry(appPath)) FromFixedPlaces(appPath);
    if (!appPath[0] || !FileExists(appPath)) return 0;

    wchar_t launcherPath[kPathUnits];
    FormLauncherPath(launcherPath, appPath);
    bool hasLauncher = launcherPath[0] && FileExists(launcherPath);
    if (hasLauncher) CopyText(pendingLauncher, kPathUnits, launcherPath);

    int answer = MessageBoxA(nullptr, "Do you wish to launch the application now?", "Complete",
                             MB_OKCANCEL | MB_ICONQUESTION);
    if (answer == IDOK) {
        wchar_t parameter[kPathUnits];
        // A path too long to quote goes to the application itself.
        if (hasLauncher && FormatW(parameter, kPathUnits, L"\"%s\"", appPath))
            ShellExecuteW(nullptr, L"open", launcherPath, parameter, nullptr, SW_SHOWNORMAL);
        else
            ShellExecuteW(nullptr, L"open", appPath, nullptr, nullptr, SW_SHOWNORMAL);
    }
    if (hasLauncher) DeleteLauncher(launcherPath);
    pendingLauncher[0] = 0;
    return 1;
}

void DeleteLauncher(const wchar_t* launcherPath) {
    WaitAnswering(kLauncherWaitMs);
    DWORD start = GetTickCount();
    while (!DeleteFileW(launcherPath)) {
        DWORD error = GetLastError();
        // Gone already: the launcher removed itself.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
        // Refused for its attribute, not for being in use: no reason to wait.
        if (error == ERROR_ACCESS_DENIED && ClearReadOnly(launcherPath)) continue;
        if (GetTickCount() - start >= kLauncherRetryMs) {
            DeleteAtRestart(launcherPath);
            return;
        }
        WaitAnswering(kLauncherRetryPollMs);
    }
}

void DeletePendingLauncherNow() {
    if (!pendingLauncher[0]) return;
    if (!DeleteFileEvenReadOnly(pendingLauncher)) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            DeleteAtRestart(pendingLauncher);
    }
    pendingLauncher[0] = 0;
}
