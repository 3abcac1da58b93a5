#include "app/dialog.h"

#include "extract/compression.h"
#include "extract/entries.h"
#include "extract/run.h"
#include "handoff/installer.h"
#include "handoff/launch.h"
#include "handoff/remove.h"
#include "support/errors.h"
#include "support/log.h"
#include "support/paths.h"

int timerBusy;

namespace {

const wchar_t kUnpackingReason[] = L"Zentrova setup is unpacking files";
const wchar_t kWaitingReason[] = L"Zentrova setup is waiting for the installer";

typedef BOOL(WINAPI* ShutdownBlockReasonCreateProc)(HWND window, LPCWSTR reason);
typedef BOOL(WINAPI* ShutdownBlockReasonDestroyProc)(HWND window);

// Set while the work runs, which a logoff or shutdown must not cut short.
const wchar_t* sessionBlockReason = nullptr;
// The running work's archive folder, empty until the folder exists.
const wchar_t* workArchiveFolder = nullptr;

// user32 has these from Vista on; looked up so that the program still
// starts where it has not.
FARPROC User32Proc(const char* name) {
    return GetProcAddress(GetModuleHandleW(L"user32.dll"), name);
}

// Windows shows the reason beside the program when the user logs off or
// shuts down meanwhile, hidden Status window or not.
void BlockSessionEnd(HWND dialog, const wchar_t* reason) {
    sessionBlockReason = reason;
    auto create = reinterpret_cast<ShutdownBlockReasonCreateProc>(
        reinterpret_cast<void*>(User32Proc("ShutdownBlockReasonCreate")));
    if (create) create(dialog, reason);
}

void UnblockSessionEnd(HWND dialog) {
    sessionBlockReason = nullptr;
    auto destroy = reinterpret_cast<ShutdownBlockReasonDestroyProc>(
        reinterpret_cast<void*>(User32Proc("ShutdownBlockReasonDestroy")));
    if (destroy) destroy(dialog);
}

// The session ends all the same. Cleaned up as at the end of a run, before
// the answer; then the process ends, since the work cannot go on into a
// folder that is gone, and Windows would end it anyway.
[[noreturn]] void EndWithTheSession() {
    CloseEntryBeingWritten();
    ReleaseCompression();
    if (workArchiveFolder[0]) DeleteFolderTreeNowOrAtRestart(workArchiveFolder);
    DeletePendingLauncherNow();
    CloseAndDeleteLog();
    ReplyMessage(0);
    ExitProcess(0);
}

void RunSequence(HWND dialog, wchar_t* archiveFolder, wchar_t* ownFolder) {
    try {
        if (RunExtraction(archiveFolder, ownFolder) <= 0) {
            EndDialog(dialog, 0);
            return;
        }
        ReleaseCompression();
        BlockSessionEnd(dialog, kWaitingReason);
        RunInstaller(dialog, archiveFolder);
        CloseAndDeleteLog();
    } catch (CException*) {
        // Already shown by the code that threw; the object stays with it.
        EndDialog(dialog, 2);
    }
}

void RunWork(HWND dialog) {
    wchar_t archiveFolder[kExtractPathUnits] = L"";
    wchar_t ownFolder[kExtractPathUnits] = L"";
    workArchiveFolder = archiveFolder;
    BlockSessionEnd(dialog, kUnpackingReason);
    RunSequence(dialog, archiveFolder, ownFolder);
    UnblockSessionEnd(dialog);
    workArchiveFolder = nullptr;
}

void OnTick(HWND dialog) {
    if (timerBusy) return;
    if (!IsWindowVisible(dialog)) {
        SetTimer(dialog, 0, kTickMilliseconds, nullptr);
        return;
    }
    // Set before the work: its message boxes keep delivering ticks.
    timerBusy = 1;
    RunWork(dialog);
}

}  // namespace

const wchar_t* SessionBlockReason() { return sessionBlockReason; }

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        timerBusy = 0;
        SetDlgItemTextA(dialog, kProgressTextId, "Unpacking files...");
        SetTimer(dialog, 0, kTickMilliseconds, nullptr);
        return 1;
    case WM_TIMER:
        OnTick(dialog);
        return 0;
    case WM_CLOSE:
        EndDialog(dialog, 2);
        return 0;
    case WM_QUERYENDSESSION:
        if (!sessionBlockReason) return 0;
        // A dialog answers through DWLP_MSGRESULT: FALSE holds the session.
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, FALSE);
        return 1;
    case WM_ENDSESSION:
        if (wParam && sessionBlockReason) EndWithTheSession();
        return 0;
    default:
        return 0;
    }
}
