// The progress dialog whose timer tick runs the whole work sequence.
#pragma once
#include <windows.h>

constexpr int kProgressDialogId = 1000;
constexpr int kProgressTextId = 1001;
constexpr UINT kTickMilliseconds = 100;

// 0 until the tick that starts the work; never cleared afterwards.
extern int timerBusy;

// Why the session may not end now: while the work runs, the Status window
// answers WM_QUERYENDSESSION with FALSE; null outside the work.
const wchar_t* SessionBlockReason();

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
