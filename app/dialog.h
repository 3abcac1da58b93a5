// The progress dialog whose timer tick runs the whole work sequence.
#pragma once
#include <windows.h>

constexpr int kProgressDialogId = 1000;
constexpr int kProgressTextId = 1001;
constexpr UINT kTickMilliseconds = 100;

// 0 until the tick that starts the work; never cleared afterwards.
extern int timerBusy;

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
