#include "app/dialog.h"

#include "extract/compression.h"
#include "extract/run.h"
#include "handoff/installer.h"
#include "support/errors.h"
#include "support/log.h"
#include "support/paths.h"

int timerBusy;

namespace {

void RunWork(HWND dialog) {
    wchar_t archiveFolder[kExtractPathUnits] = L"";
    wchar_t ownFolder[kExtractPathUnits] = L"";
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

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM, LPARAM) {
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
    default:
        return 0;
    }
}
