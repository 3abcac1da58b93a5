// The progress dialog, driven for real. This test program carries the
// dialog template but no payload, so a started work sequence ends at the
// "Error finding installer application" box.
#include <gtest/gtest.h>

#include "app/dialog.h"
#include "tests/harness.h"

namespace {

const wchar_t kLog[] = L"C:\\zt\\KSExtractorLog.txt";

BOOL CALLBACK MatchStatus(HWND window, LPARAM param) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t title[32] = L"";
    GetWindowTextW(window, title, 32);
    if (owner != GetCurrentProcessId() || wcscmp(title, L"Status") != 0) return TRUE;
    *reinterpret_cast<HWND*>(param) = window;
    return FALSE;
}

HWND FindStatusDialog() {
    HWND found = nullptr;
    EnumWindows(MatchStatus, reinterpret_cast<LPARAM>(&found));
    return found;
}

// While the first box is open, more ticks arrive; none may start the work again.
void TickDuringBox(const Box&, void*) {
    HWND dialog = FindStatusDialog();
    for (int i = 0; i < 5; ++i) {
        PostMessageW(dialog, WM_TIMER, 0, 0);
        Sleep(50);
    }
}

DWORD WINAPI CloseAtOnce(void*) {
    for (int i = 0; i < 2000; ++i) {
        HWND dialog = FindStatusDialog();
        if (dialog) {
            PostMessageW(dialog, WM_CLOSE, 0, 0);
            return 0;
        }
        Sleep(1);
    }
    return 1;
}

}  // namespace

TEST(Dialog, TicksWaitUntilVisibleThenStartOnce) {
    HWND dialog = CreateDialogParamA(GetModuleHandleW(nullptr), MAKEINTRESOURCEA(1000), nullptr,
                                     ProgressDialogProc, 0);
    ASSERT_NE(dialog, nullptr);
    char text[64] = "";
    GetDlgItemTextA(dialog, kProgressTextId, text, sizeof text);
    EXPECT_STREQ(text, "Unpacking files...");
    EXPECT_EQ(timerBusy, 0);
    ASSERT_FALSE(IsWindowVisible(dialog));
    SendMessageW(dialog, WM_TIMER, 0, 0);
    EXPECT_EQ(timerBusy, 0);
    EXPECT_FALSE(PathExists(kLog)) << "no work before the dialog is on screen";

    ShowWindow(dialog, SW_SHOW);
    BoxWatcher watcher;
    watcher.onBox = TickDuringBox;
    SendMessageW(dialog, WM_TIMER, 7, 0);  // any timer id starts it
    EXPECT_EQ(timerBusy, 1);
    SendMessageW(dialog, WM_TIMER, 0, 0);
    watcher.Stop();
    std::vector<Box> boxes = watcher.Boxes();
    ASSERT_EQ(boxes.size(), 1u) << ToBytes(Describe(boxes));
    EXPECT_EQ(boxes[0].caption, L"Error");
    EXPECT_EQ(boxes[0].text, L"Error finding installer application");
    EXPECT_EQ(boxes[0].icon, L"error");
    EXPECT_TRUE(PathExists(kLog));
    EXPECT_TRUE(PathExists(L"C:\\zt\\tmp-1")) << "the archive folder stays after a failed run";
    EXPECT_FALSE(PathExists(L"C:\\zt\\tmp-2"));
    DestroyWindow(dialog);
}

TEST(Dialog, ModalRunEndsWithZeroAfterFailedExtraction) {
    BoxWatcher watcher;
    INT_PTR result = DialogBoxParamA(GetModuleHandleW(nullptr), MAKEINTRESOURCEA(1000), nullptr,
                                     ProgressDialogProc, 0);
    watcher.Stop();
    EXPECT_EQ(result, 0);
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    EXPECT_EQ(watcher.Boxes()[0].text, L"Error finding installer application");
    std::wstring log = ReadLog(kLog);
    EXPECT_EQ(log.substr(0, log.find(L"\r\n")), kLog);
}

TEST(Dialog, CloseBeforeTheFirstTickStartsNothing) {
    HANDLE closer = CreateThread(nullptr, 0, CloseAtOnce, nullptr, 0, nullptr);
    BoxWatcher watcher;
    INT_PTR result = DialogBoxParamA(GetModuleHandleW(nullptr), MAKEINTRESOURCEA(1000), nullptr,
                                     ProgressDialogProc, 0);
    watcher.Stop();
    WaitForSingleObject(closer, INFINITE);
    DWORD closed = 1;
    GetExitCodeThread(closer, &closed);
    CloseHandle(closer);
    EXPECT_EQ(closed, 0u);
    EXPECT_EQ(result, 2);
    EXPECT_EQ(timerBusy, 0);
    EXPECT_TRUE(watcher.Boxes().empty());
    EXPECT_FALSE(PathExists(kLog));
    EXPECT_FALSE(PathExists(L"C:\\zt\\tmp-1"));
}
