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
#include "support/session.h"

int timerBusy;

namespace {

const wchar_t kUnpackingReason[] = L"Zentrova setup is unpacking files";

// The running work's archive folder, empty until the folder exists; null
// outside the work, when the end of the session leaves nothing to clean up.
const wchar_t* workArchiveFolder = nullptr;

// The session ends all the same. Cleaned up as at the end of a run, before
// the answer; then the process ends, since the work cannot go on into a
// folder that is gone, and Windows would end it anyway.
[[noreturn]] void EndWithTheSession() {
    CloseEntryBeingWritten();
    ReleaseCompression();
    // Only a folder this run made and holds: another may hold anyone's files.
    RemoveArchiveFolderNowOrAtRestart(workArchiveFolder);
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
    SetSessionWindow(dialog);
    HoldSessionEnd(kUnpackingReason);
    RunSequence(dialog, archiveFolder, ownFolder);
    ReleaseSessionEnd();
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

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            timerBusy = 0;
            SetDlgItemTextA(dialog, kProgressTextId, "Unpacking files...");
            SetTimer(dialog, 0, kTickMilliseconds, nullptr);
            return 1;
        case WM_TIMER: OnTick(dialog); return 0;
        case WM_CLOSE: EndDialog(dialog, 2); return 0;
        case WM_QUERYENDSESSION:
            if (!SessionBlockReason()) return 0;
            // A dialog answers through DWLP_MSGRESULT: FALSE holds the session.
            SetWindowLongPtrW(dialog, DWLP_MSGRESULT, FALSE);
            return 1;
        case WM_ENDSESSION:
            if (wParam && workArchiveFolder) EndWithTheSession();
            return 0;
        default: return 0;
    }
}
