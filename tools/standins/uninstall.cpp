// Stand-in uninstaller shipped with the demo payload; the demo installs nothing
// it could remove, so it only says so.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    MessageBoxW(nullptr,
                L"Nothing is installed by this Zentrova demo, so there is nothing to uninstall.",
                L"Zentrova Uninstall", MB_OK | MB_ICONINFORMATION);
    return 0;
}
