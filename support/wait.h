// Waiting on the one GUI thread. Other programs send messages to every
// top-level window (an installer's WM_SETTINGCHANGE broadcast, say) and wait
// for the answer, so no wait and no long piece of work may leave them
// unanswered. Input and timer ticks stay queued, as in any other wait.
#pragma once

#include <windows.h>

// Answers the messages sent to this thread's windows and repaints them.
void AnswerMessages();
// The same, at most every kAnswerIntervalMs: for loops of long work.
void KeepAnswering();
// Waits ms milliseconds, answering throughout.
void WaitAnswering(DWORD ms);

constexpr DWORD kAnswerIntervalMs = 50;
