#include "support/wait.h"

namespace {

// A window that never validates would keep posting WM_PAINT.
constexpr int kMaxPaintsPerCall = 16;

DWORD lastAnswered;

}  // namespace

void AnswerMessages() {
    lastAnswered = GetTickCount();
    MSG message;
    // Sent messages are answered inside PeekMessage itself; only paints are
    // taken off the queue.
    for (int i = 0; i < kMaxPaintsPerCall; ++i) {
        if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE | PM_QS_SENDMESSAGE | PM_QS_PAINT))
            break;
        DispatchMessageW(&message);
    }
}

void KeepAnswering() {
    if (GetTickCount() - lastAnswered >= kAnswerIntervalMs) AnswerMessages();
}

void WaitAnswering(DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        AnswerMessages();
        // Unsigned difference: right across the tick counter's wrap.
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms) return;
        MsgWaitForMultipleObjectsEx(0, nullptr, ms - elapsed, QS_SENDMESSAGE | QS_PAINT, 0);
    }
}
