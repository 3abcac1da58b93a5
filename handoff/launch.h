// Finds the installed application, offers to start it, and starts it
// through the installer's one-time launcher when there is one.
#pragma once
#include <windows.h>

constexpr DWORD kRegistryValueBytes = 260;
constexpr DWORD kLauncherWaitMs = 1000;

// 1 when an installed application was found (whatever the answer), else 0.
int LaunchInstalledApp(const wchar_t* archiveFolder);
