#include <windows.h>

#include "app/dialog.h"
#include "support/module.h"
#include "support/security.h"
#include "support/system_libraries.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    if (!StartSystemLibraries()) return 0;
    UseAdministratorsAsOwner();
    instanceHandle = instance;
    DialogBoxParamA(instanceHandle, MAKEINTRESOURCEA(kProgressDialogId), nullptr,
                    ProgressDialogProc, 0);
    return 0;
}
