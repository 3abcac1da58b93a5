// Stand-in for the installed application: says how it was started, then
// closes by itself so runs under test end without anyone clicking.
#include "standin.h"

using namespace standin;

namespace {

constexpr DWORD kDefaultLifeMs = 3000;
constexpr UINT_PTR kLifeTimer = 1;
constexpr int kClientWidth = 320;
constexpr int kClientHeight = 100;

DWORD LifeMs() {
    wchar_t text[kEnvChars];
    if (!GetEnv(L"ZENTROVA_STANDIN_APP_MS", text, kEnvChars)) return kDefaultLifeMs;
    unsigned long long ms = 0;
    for (const wchar_t* p = text; *p; ++p) {
        if (*p < L'0' || *p > L'9') return kDefaultLifeMs;
        ms = ms * 10 + static_cast<unsigned>(*p - L'0');
        if (ms > USER_TIMER_MAXIMUM) return USER_TIMER_MAXIMUM;
    }
    return static_cast<DWORD>(ms);
}

LRESULT CALLBACK AppProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_TIMER:
            if (wp == kLifeTimer) DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY: PostQuitMessage(0); return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    Report(Line(L"app started cmdline=").Add(RawArguments()).s);
    Path self;
    OwnModulePath(&self);
    Report(Line(L"app path=").Add(self.s).s);

    HWND hwnd = CreateCentredWindow(L"ZentrovaAppStandin", AppProc, L"Zentrova", kClientWidth,
                                    kClientHeight);
    if (!hwnd) return 1;
    AddLabel(hwnd, L"Zentrova 1.2.7 is running.", 10, 40, kClientWidth - 20, 20);
    SetTimer(hwnd, kLifeTimer, LifeMs(), nullptr);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
