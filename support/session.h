// Holding off a logoff or shutdown while there is work that must not be
// cut short: the unpacking, the installer's run, the basic install's copy.
// Never while a question waits for the user: a session that ends then is
// cleaned up as the end of a run would.
#pragma once
#include <windows.h>

// The window whose answers to WM_QUERYENDSESSION hold the session.
void SetSessionWindow(HWND window);
// Windows shows the reason beside the program while the session is held.
void HoldSessionEnd(const wchar_t* reason);
void ReleaseSessionEnd();
// Why the session may not end now, or null.
const wchar_t* SessionBlockReason();

// An error box waits for the user, and no work runs meanwhile: the session
// may end then, which cleans up as the end of a run would. The hold comes
// back when the box has been answered.
class SessionHoldPause {
   public:
    SessionHoldPause();
    ~SessionHoldPause();
    SessionHoldPause(const SessionHoldPause&) = delete;
    SessionHoldPause& operator=(const SessionHoldPause&) = delete;

   private:
    const wchar_t* reason_;
};
