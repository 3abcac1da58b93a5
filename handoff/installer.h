// Starts the unpacked installer, watches its windows, then follows up.
#pragma once
#include <windows.h>

#include <cstddef>

constexpr size_t kParameterUnits = 3000;
constexpr size_t kEncodedArgBytes = 2000;
constexpr size_t kWindowTitleBytes = 300;
constexpr size_t kLaunchMessageUnits = 200;
constexpr DWORD kAppearanceWaitMs = 10000;
constexpr DWORD kAppearancePollMs = 100;
constexpr DWORD kClosePollMs = 200;

constexpr char kInstallerTitle[] = "Zentrova Installer";
constexpr char kInstallingTitle[] = "Zentrova Installer: Installing";

// Set once a window titled kInstallingTitle has been seen; never reset.
extern int installingSeen;

// Returns the folder removal's result; ends the dialog after the launch attempt.
int RunInstaller(HWND dialog, const wchar_t* archiveFolder);
// Appends folder to parameters (kParameterUnits) as a quoted base64 argument.
void AppendEncodedArg(wchar_t* parameters, const wchar_t* folder);
int IsInstallerRunning();
BOOL CALLBACK CheckInstallerWindow(HWND window, LPARAM foundFlag);
