#include "standin.h"

namespace standin {

namespace {

constexpr size_t kReportBytes = kLineChars * 3 + 2;  // worst case UTF-8 of one line plus "\n"

}  // namespace

bool GetEnv(const wchar_t* name, wchar_t* out, size_t cap) {
    if (cap == 0) return false;
    out[0] = L'\0';
    DWORD n = GetEnvironmentVariableW(name, out, static_cast<DWORD>(cap));
    if (n == 0 || n >= cap) {
        out[0] = L'\0';
        return false;
    }
    return true;
}

bool EnvIs(const wchar_t* name, const wchar_t* value) {
    wchar_t buf[kEnvChars];
    return GetEnv(name, buf, kEnvChars) && lstrcmpW(buf, value) == 0;
}

const wchar_t* RawArguments() {
    const wchar_t* p = GetCommandLineW();
    // Same rule as the C runtime: a quoted program name ends at the next quote,
    // otherwise at the first blank.
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p == L'"') ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

bool OwnModulePath(Path* out) {
    DWORD n = GetModuleFileNameW(nullptr, out->s, static_cast<DWORD>(kPathChars));
    if (n == 0 || n >= kPathChars) {
        out->s[0] = L'\0';
        out->len = 0;
        return false;
    }
    out->len = n;
    return true;
}

const wchar_t* BaseName(const wchar_t* path) {
    const wchar_t* base = path;
    for (const wchar_t* p = path; *p; ++p) {
        if (*p == L'\\' || *p == L'/') base = p + 1;
    }
    return base;
}

bool OwnFolder(Path* out) {
    if (!OwnModulePath(out)) return false;
    out->len = static_cast<size_t>(BaseName(out->s) - out->s);
    out->s[out->len] = L'\0';
    return out->len > 0;
}

void Report(const wchar_t* line) {
    static wchar_t reportPath[kPathChars];
    static int state = 0;  // 0 unknown, 1 reporting, 2 not reporting
    if (state == 0) state = GetEnv(L"ZENTROVA_STANDIN_REPORT", reportPath, kPathChars) ? 1 : 2;
    if (state != 1) return;

    static char bytes[kReportBytes];
    int n = WideCharToMultiByte(CP_UTF8, 0, line, -1, bytes, static_cast<int>(kReportBytes - 1),
                                nullptr, nullptr);
    if (n <= 0) return;
    bytes[n - 1] = '\n';  // replaces the terminator WideCharToMultiByte counted

    // Several programs may append to the same report at once: append-only access
    // and one write per line keep the lines whole.
    HANDLE h = CreateFileW(reportPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(h, bytes, static_cast<DWORD>(n), &written, nullptr);
    CloseHandle(h);
}

bool WriteWholeFile(const wchar_t* path, const void* data, DWORD bytes) {
    HANDLE h = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = bytes == 0 || WriteFile(h, data, bytes, &written, nullptr);
    DWORD err = GetLastError();
    CloseHandle(h);
    if (!ok || written != bytes) {
        SetLastError(ok ? ERROR_WRITE_FAULT : err);
        return false;
    }
    return true;
}

HWND CreateCentredWindow(const wchar_t* className, WNDPROC proc, const wchar_t* title,
                         int clientWidth, int clientHeight) {
    HINSTANCE inst = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = proc;
    wc.hInstance = inst;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = className;
    RegisterClassExW(&wc);

    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT r = {0, 0, clientWidth, clientHeight};
    AdjustWindowRect(&r, style, FALSE);
    int w = r.right - r.left;
    int h = r.bottom - r.top;
    RECT work = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    int x = work.left + (work.right - work.left - w) / 2;
    int y = work.top + (work.bottom - work.top - h) / 2;

    HWND hwnd =
        CreateWindowExW(0, className, title, style, x, y, w, h, nullptr, nullptr, inst, nullptr);
    if (hwnd) {
        ShowWindow(hwnd, SW_SHOWNORMAL);
        UpdateWindow(hwnd);
    }
    return hwnd;
}

namespace {

HWND AddChild(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int id, int x,
              int y, int w, int h) {
    HWND child = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 GetModuleHandleW(nullptr), nullptr);
    if (child)
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
                     TRUE);
    return child;
}

}  // namespace

HWND AddLabel(HWND parent, const wchar_t* text, int x, int y, int w, int h) {
    return AddChild(parent, L"STATIC", text, SS_CENTER, 0, x, y, w, h);
}

HWND AddButton(HWND parent, const wchar_t* text, int id, int x, int y, int w, int h) {
    return AddChild(parent, L"BUTTON", text, WS_TABSTOP | BS_PUSHBUTTON, id, x, y, w, h);
}

void PumpFor(DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
    }
}

}  // namespace standin
