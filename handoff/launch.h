// Finds the installed application, offers to start it, and starts it
// through the installer's one-time launcher when there is one.
#pragma once
#include <windows.h>

constexpr DWORD kRegistryValueBytes = 260;
constexpr DWORD kLauncherWaitMs = 1000;
// A launcher still running, or held open, after kLauncherWaitMs is tried
// again this long, then left to be deleted at the next restart.
constexpr DWORD kLauncherRetryMs = 5000;
constexpr DWORD kLauncherRetryPollMs = 250;

// 1 when an installed application was found (whatever the answer), else 0.
int LaunchInstalledApp(const wchar_t* archiveFolder);
// Deletes the one-time launcher after kLauncherWaitMs, read-only or not;
// never leaves it behind for good, never hangs.
void DeleteLauncher(const wchar_t* launcherPath);
// For a session that ends before the launcher's deletion: deletes it now,
// or at the next restart while it still runs.
void DeletePendingLauncherNow();
