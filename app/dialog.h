// The progress dialog whose timer tick runs the whole work sequence.
#pragma once
#include <windows.h>

#include "format/resource_ids.h"

constexpr UINT kTickMilliseconds = 100;

// 0 until the tick that starts the work; never cleared afterwards.
extern int timerBusy;

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
