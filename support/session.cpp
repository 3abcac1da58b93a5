#include "support/session.h"

namespace {

typedef BOOL(WINAPI* ShutdownBlockReasonCreateProc)(HWND window, LPCWSTR reason);
typedef BOOL(WINAPI* ShutdownBlockReasonDestroyProc)(HWND window);

HWND sessionWindow = nullptr;
const wchar_t* blockReason = nullptr;

// user32 has these from Vista on; looked up so that the program still
// starts where it has not.
FARPROC User32Proc(const char* name) {
    return GetProcAddress(GetModuleHandleW(L"user32.dll"), name);
}

}  // namespace

void SetSessionWindow(HWND window) {
    sessionWindow = window;
}

void HoldSessionEnd(const wchar_t* reason) {
    blockReason = reason;
    auto create = reinterpret_cast<ShutdownBlockReasonCreateProc>(
        reinterpret_cast<void*>(User32Proc("ShutdownBlockReasonCreate")));
    if (create && sessionWindow) create(sessionWindow, reason);
}

void ReleaseSessionEnd() {
    if (!blockReason) return;
    blockReason = nullptr;
    auto destroy = reinterpret_cast<ShutdownBlockReasonDestroyProc>(
        reinterpret_cast<void*>(User32Proc("ShutdownBlockReasonDestroy")));
    if (destroy && sessionWindow) destroy(sessionWindow);
}

const wchar_t* SessionBlockReason() {
    return blockReason;
}

SessionHoldPause::SessionHoldPause() : reason_(blockReason) {
    ReleaseSessionEnd();
}

SessionHoldPause::~SessionHoldPause() {
    if (reason_) HoldSessionEnd(reason_);
}
