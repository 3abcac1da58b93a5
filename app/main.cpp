#include <windows.h>

#include "app/dialog.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    instanceHandle = instance;
    DialogBoxParamA(instanceHandle, MAKEINTRESOURCEA(kProgressDialogId), nullptr,
                    ProgressDialogProc, 0);
    return 0;
}
