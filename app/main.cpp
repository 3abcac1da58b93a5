#include <windows.h>

#include "app/dialog.h"
#include "support/module.h"
#include "support/security.h"

namespace {

typedef BOOL(WINAPI* SetDefaultDllDirectoriesProc)(DWORD flags);

// Started from folders such as Downloads, where anyone can drop a DLL: look
// for libraries in System32 only. The payload's zlib1.dll is loaded by its
// full path. Older systems without the call keep their default order.
void RestrictDllSearch() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto restrict = reinterpret_cast<SetDefaultDllDirectoriesProc>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (restrict) restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    RestrictDllSearch();
    UseAdministratorsAsOwner();
    instanceHandle = instance;
    DialogBoxParamA(instanceHandle, MAKEINTRESOURCEA(kProgressDialogId), nullptr,
                    ProgressDialogProc, 0);
    return 0;
}
