// Stand-in for the product installer: checks the hand-off arguments, then
// behaves as ZENTROVA_STANDIN_MODE asks so the front end can be tested against
// every outcome. Copied beside the app as Launcher.exe it plays the launcher.
#include "standin.h"

#include <shellapi.h>
#include <shlobj.h>
#include <stdlib.h>

using namespace standin;

namespace {

constexpr int kArgCount = 3;
constexpr size_t kArgChars = kPathChars;
constexpr size_t kArgBytes = kArgChars * sizeof(wchar_t);
constexpr size_t kReasonChars = 128;
constexpr DWORD kHoldLimitMs = 60000;
constexpr DWORD kHoldPollMs = 50;
constexpr DWORD kHugeResultBytes = 1024 * 1024;
constexpr DWORD kLongValueChars = 200;
constexpr int kClientWidth = 360;
constexpr int kClientHeight = 140;
constexpr int kIdInstall = 101;
constexpr int kIdCancel = IDCANCEL;

const wchar_t kTitle[] = L"Zentrova Installer";
const wchar_t kTitleInstalling[] = L"Zentrova Installer: Installing";
const wchar_t kRegKey[] = L"Software\\Zentrova";
const wchar_t kRegValue[] = L"InstPath";

using Arg = Text<kArgChars>;
using Reason = Text<kReasonChars>;

int Base64Value(wchar_t c) {
    if (c >= L'A' && c <= L'Z') return c - L'A';
    if (c >= L'a' && c <= L'z') return c - L'a' + 26;
    if (c >= L'0' && c <= L'9') return c - L'0' + 52;
    if (c == L'+') return 62;
    if (c == L'/') return 63;
    return -1;
}

// Strict RFC 4648 decoding of UTF-16LE text: no blanks, padding only at the end,
// unused bits zero, whole code units, no NULs.
bool DecodeArg(const wchar_t* b64, size_t n, Arg* out, const wchar_t** why) {
    static unsigned char bytes[kArgBytes];
    if (n == 0) return *why = L"empty", false;
    if (n % 4 != 0) return *why = L"base64 length not a multiple of 4", false;
    size_t pad = 0;
    if (b64[n - 1] == L'=') pad = (b64[n - 2] == L'=') ? 2 : 1;
    size_t count = n / 4 * 3 - pad;
    if (count > kArgBytes) return *why = L"too long", false;

    size_t k = 0;
    for (size_t i = 0; i < n; i += 4) {
        int v[4];
        for (size_t j = 0; j < 4; ++j) {
            bool padSlot = i + j >= n - pad;
            v[j] = padSlot ? 0 : Base64Value(b64[i + j]);
            if (!padSlot && v[j] < 0)
                return *why = (b64[i + j] == L'=') ? L"misplaced padding" : L"bad base64 character",
                       false;
        }
        unsigned long q =
            (static_cast<unsigned long>(v[0]) << 18) | (static_cast<unsigned long>(v[1]) << 12) |
            (static_cast<unsigned long>(v[2]) << 6) | static_cast<unsigned long>(v[3]);
        unsigned char tri[3] = {static_cast<unsigned char>(q >> 16),
                                static_cast<unsigned char>(q >> 8), static_cast<unsigned char>(q)};
        size_t take = (i + 4 == n) ? 3 - pad : 3;
        for (size_t j = take; j < 3; ++j) {
            if (tri[j] != 0) return *why = L"nonzero bits under padding", false;
        }
        for (size_t j = 0; j < take; ++j) bytes[k++] = tri[j];
    }
    if (k % 2 != 0) return *why = L"odd byte count", false;

    out->len = 0;
    for (size_t i = 0; i < k; i += 2) {
        wchar_t c = static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
        if (c == L'\0') return *why = L"NUL in text", false;
        if (out->len + 1 >= kArgChars) return *why = L"too long", false;
        out->s[out->len++] = c;
    }
    out->s[out->len] = L'\0';
    return true;
}

// Exactly "A","B","C": the front end's hand-off format, nothing more or less.
bool ParseArguments(const wchar_t* text, Arg args[kArgCount], Reason* reason) {
    const wchar_t* p = text;
    const wchar_t* end = p + lstrlenW(p);
    while (end > p && (end[-1] == L' ' || end[-1] == L'\t')) --end;
    for (int i = 0; i < kArgCount; ++i) {
        if (p >= end || *p != L'"') {
            reason->Add(L"argument ").AddInt(i + 1).Add(L": expected a quote");
            return false;
        }
        const wchar_t* start = ++p;
        while (p < end && *p != L'"') ++p;
        if (p >= end) {
            reason->Add(L"argument ").AddInt(i + 1).Add(L": missing closing quote");
            return false;
        }
        const wchar_t* why = L"";
        if (!DecodeArg(start, static_cast<size_t>(p - start), &args[i], &why)) {
            reason->Add(L"argument ").AddInt(i + 1).Add(L": ").Add(why);
            return false;
        }
        ++p;
        if (i + 1 < kArgCount) {
            if (p >= end || *p != L',') {
                reason->Add(L"expected a comma after argument ").AddInt(i + 1);
                return false;
            }
            ++p;
        }
    }
    if (p != end) {
        reason->Add(L"text after argument ").AddInt(kArgCount);
        return false;
    }
    return true;
}

void ReportError(const wchar_t* what, DWORD err) {
    Report(Line(L"installer error=").Add(what).Add(L" ").AddUnsigned(err).s);
}

bool CopyInto(const Path& from, const Path& to, const wchar_t* name, const wchar_t* toName) {
    Path src(from.s), dst(to.s);
    src.Add(name);
    dst.Add(toName);
    if (CopyFileW(src.s, dst.s, FALSE)) return true;
    ReportError(Line(L"copy ").Add(toName).s, GetLastError());
    return false;
}

void WriteResult(const Path& own, const Path& target, const Path& app) {
    wchar_t result[kEnvChars];
    bool set = GetEnv(L"ZENTROVA_STANDIN_RESULT", result, kEnvChars);
    if (set && lstrcmpW(result, L"none") == 0) return;

    static unsigned char data[kHugeResultBytes + 8];
    DWORD n = 0;
    auto put = [&](const void* p, DWORD bytes) {
        CopyMemory(data + n, p, bytes);
        n += bytes;
    };
    const DWORD appBytes = static_cast<DWORD>(app.len * sizeof(wchar_t));
    if (!set) {
        put(app.s, appBytes);
    } else if (lstrcmpW(result, L"bom") == 0) {
        const unsigned char bom[2] = {0xFF, 0xFE};
        put(bom, 2);
        put(app.s, appBytes);
    } else if (lstrcmpW(result, L"crlf") == 0) {
        put(app.s, appBytes);
        put(L"\r\n", 2 * sizeof(wchar_t));
    } else if (lstrcmpW(result, L"folder") == 0) {
        put(target.s, static_cast<DWORD>((target.len - 1) * sizeof(wchar_t)));
    } else if (lstrcmpW(result, L"huge") == 0) {
        for (DWORD i = 0; i < kHugeResultBytes; i += 2) put(L"A", sizeof(wchar_t));
    } else if (lstrcmpW(result, L"odd") == 0) {
        const unsigned char extra = 0x41;
        put(app.s, appBytes);
        put(&extra, 1);
    } else {
        ReportError(Line(L"unknown ZENTROVA_STANDIN_RESULT ").Add(result).s, 0);
        return;
    }
    Path file(own.s);
    file.Add(L"InstalledApp.txt");
    if (!WriteWholeFile(file.s, data, n)) ReportError(L"write InstalledApp.txt", GetLastError());
}

void WriteRegistryView(const Path& target, const Path& app, REGSAM view) {
    wchar_t kind[kEnvChars];
    bool set = GetEnv(L"ZENTROVA_STANDIN_REGISTRY", kind, kEnvChars);

    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRegKey, 0, nullptr, 0, KEY_SET_VALUE | view,
                              nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        ReportError(L"create registry key", static_cast<DWORD>(rc));
        return;
    }
    auto setSz = [&](const wchar_t* text, size_t chars) {
        return RegSetValueExW(key, kRegValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                              static_cast<DWORD>((chars + 1) * sizeof(wchar_t)));
    };
    if (!set) {
        Path folder(target.s);
        folder.s[--folder.len] = L'\0';  // without the final backslash
        rc = setSz(folder.s, folder.len);
    } else if (lstrcmpW(kind, L"0") == 0) {
        rc = RegDeleteValueW(key, kRegValue);
        if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
    } else if (lstrcmpW(kind, L"file") == 0) {
        rc = setSz(app.s, app.len);
    } else if (lstrcmpW(kind, L"long") == 0) {
        wchar_t longText[kLongValueChars + 1];
        for (DWORD i = 0; i < kLongValueChars; ++i) longText[i] = L'x';
        longText[kLongValueChars] = L'\0';
        rc = setSz(longText, kLongValueChars);
    } else if (lstrcmpW(kind, L"binary") == 0) {
        const BYTE bin[8] = {'C', 0, ':', 0, '\\', 0, 'Z', 0};
        rc = RegSetValueExW(key, kRegValue, 0, REG_BINARY, bin, sizeof bin);
    } else if (lstrcmpW(kind, L"dword") == 0) {
        const DWORD one = 1;
        rc = RegSetValueExW(key, kRegValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                            sizeof one);
    } else {
        ReportError(Line(L"unknown ZENTROVA_STANDIN_REGISTRY ").Add(kind).s, 0);
    }
    if (rc != ERROR_SUCCESS) ReportError(L"registry value", static_cast<DWORD>(rc));
    RegCloseKey(key);
}

// Both views, as one key: a 64-bit build of this stand-in may hand over to
// the 32-bit setup program, which reads the 32-bit view. On 32-bit Windows
// the two flags are ignored and name the one view.
void WriteRegistry(const Path& target, const Path& app) {
    WriteRegistryView(target, app, KEY_WOW64_32KEY);
    WriteRegistryView(target, app, KEY_WOW64_64KEY);
}

void InstallSteps(const Path& own, const Path& self) {
    wchar_t programFiles[MAX_PATH];
    HRESULT hr = SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, programFiles);
    if (FAILED(hr)) {
        ReportError(L"program files folder", static_cast<DWORD>(hr));
        return;
    }
    Path target(programFiles);
    target.Add(L"\\Zentrova\\");
    Path app(target.s);
    app.Add(L"Zentrova.exe");
    if (!CreateDirectoryW(target.s, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        ReportError(L"create folder", GetLastError());

    CopyInto(own, target, L"Zentrova.exe", L"Zentrova.exe");
    CopyInto(own, target, L"libeay32.dll", L"libeay32.dll");
    CopyInto(own, target, L"libssl32.dll", L"libssl32.dll");
    Path launcher(target.s);
    launcher.Add(L"Launcher.exe");
    if (EnvIs(L"ZENTROVA_STANDIN_LAUNCHER", L"0")) {
        // A launcher left by an earlier run would hide the "no launcher" case.
        if (!DeleteFileW(launcher.s) && GetLastError() != ERROR_FILE_NOT_FOUND)
            ReportError(L"delete Launcher.exe", GetLastError());
    } else if (!CopyFileW(self.s, launcher.s, FALSE)) {
        ReportError(L"copy Launcher.exe", GetLastError());
    }

    WriteResult(own, target, app);
    WriteRegistry(target, app);

    if (EnvIs(L"ZENTROVA_STANDIN_DOTFILE", L"1")) {
        Path dot(own.s);
        dot.Add(L".installer-state");
        const char state[] = "installed\n";
        if (!WriteWholeFile(dot.s, state, sizeof state - 1))
            ReportError(L"write .installer-state", GetLastError());
    }
    wchar_t move[kEnvChars];
    if (GetEnv(L"ZENTROVA_STANDIN_MOVE", move, kEnvChars)) {
        Path dst(own.s);
        dst.Add(L"moved-link");
        if (!MoveFileW(move, dst.s)) ReportError(L"move", GetLastError());
    }
    Report(Line(L"installer installed=").Add(app.s).s);
}

// Choice made in the window; WM_CLOSE counts as Cancel.
enum Choice { kPending, kInstall, kCancel };
Choice g_choice = kPending;

LRESULT CALLBACK InstallerProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_COMMAND:
            if (g_choice == kPending && LOWORD(wp) == kIdInstall) g_choice = kInstall;
            if (g_choice == kPending && LOWORD(wp) == kIdCancel) g_choice = kCancel;
            return 0;
        case WM_CLOSE:
            if (g_choice == kPending) g_choice = kCancel;
            return 0;  // the main flow destroys the window when it is done with it
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

HWND ShowInstallerWindow(const wchar_t* title) {
    HWND hwnd = CreateCentredWindow(L"ZentrovaInstallerStandin", InstallerProc, title, kClientWidth,
                                    kClientHeight);
    if (!hwnd) return nullptr;
    AddLabel(hwnd, L"Install Zentrova 1.2.7?", 20, 36, kClientWidth - 40, 20);
    HWND install = AddButton(hwnd, L"Install", kIdInstall, 92, 92, 80, 26);
    AddButton(hwnd, L"Cancel", kIdCancel, 188, 92, 80, 26);
    SetFocus(install);
    return hwnd;
}

void WaitForChoice(HWND hwnd) {
    while (g_choice == kPending) {
        MSG msg;
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            g_choice = kCancel;
            break;
        }
        if (!IsDialogMessageW(hwnd, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

void EnableButtons(HWND hwnd, BOOL on) {
    EnableWindow(GetDlgItem(hwnd, kIdInstall), on);
    EnableWindow(GetDlgItem(hwnd, kIdCancel), on);
}

void HoldWhileFileExists() {
    wchar_t hold[kEnvChars];
    if (!GetEnv(L"ZENTROVA_STANDIN_HOLD", hold, kEnvChars)) return;
    DWORD start = GetTickCount();
    while (GetFileAttributesW(hold) != INVALID_FILE_ATTRIBUTES &&
           GetTickCount() - start < kHoldLimitMs)
        PumpFor(kHoldPollMs);
}

void WriteCancelled(const Path& own) {
    Path file(own.s);
    file.Add(L"cancel.txt");
    const char text[] = "cancelled\n";
    if (!WriteWholeFile(file.s, text, sizeof text - 1))
        ReportError(L"write cancel.txt", GetLastError());
}

// As installers that change PATH do: a plain SendMessage to every top-level
// window, which returns only once each of them has answered.
void BroadcastIfAsked() {
    if (!EnvIs(L"ZENTROVA_STANDIN_BROADCAST", L"1")) return;
    Report(L"installer broadcast=start");
    SendMessageW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Environment"));
    Report(L"installer broadcast=answered");
}

void RunInstall(HWND hwnd, const Path& own, const Path& self, bool hold) {
    EnableButtons(hwnd, FALSE);
    SetWindowTextW(hwnd, kTitleInstalling);
    InstallSteps(own, self);
    BroadcastIfAsked();
    PumpFor(kShowMs);
    if (hold) HoldWhileFileExists();
}

int RunLauncher() {
    const wchar_t* raw = RawArguments();
    Report(Line(L"launcher param=").Add(raw).s);
    Path app;
    size_t n = static_cast<size_t>(lstrlenW(raw));
    while (n > 0 && (raw[n - 1] == L' ' || raw[n - 1] == L'\t')) --n;
    if (n >= 2 && raw[0] == L'"' && raw[n - 1] == L'"')
        app.AddN(raw + 1, n - 2);
    else
        app.AddN(raw, n);
    HINSTANCE started = ShellExecuteW(nullptr, L"open", app.s, nullptr, nullptr, SW_SHOWNORMAL);
    Report(Line(L"launcher started=")
               .AddInt(static_cast<long long>(reinterpret_cast<INT_PTR>(started)))
               .s);
    // A launcher that lingers, holding its own file so that it cannot be
    // deleted meanwhile, as a running program's file cannot on Windows.
    wchar_t linger[kEnvChars];
    if (GetEnv(L"ZENTROVA_STANDIN_LAUNCHER_MS", linger, kEnvChars)) {
        Path self;
        HANDLE held = OwnModulePath(&self)
                          ? CreateFileW(self.s, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr)
                          : INVALID_HANDLE_VALUE;
        Sleep(static_cast<DWORD>(_wtoi(linger)));
        Report(L"launcher done");
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    }
    return 0;
}

int RunInstaller() {
    wchar_t mode[kEnvChars];
    bool modeSet = GetEnv(L"ZENTROVA_STANDIN_MODE", mode, kEnvChars);

    Arg args[kArgCount];
    Reason reason;
    if (!ParseArguments(RawArguments(), args, &reason)) {
        Report(Line(L"installer error=").Add(reason.s).s);
        Report(Line(L"installer raw=").Add(RawArguments()).s);
        if (!modeSet) {
            Line msg(L"The installer was started with malformed arguments (");
            msg.Add(reason.s).Add(L").");
            MessageBoxW(nullptr, msg.s, kTitle, MB_OK | MB_ICONERROR);
        }
        return 2;
    }
    for (int i = 0; i < kArgCount; ++i)
        Report(Line(L"installer arg").AddInt(i + 1).Add(L"=").Add(args[i].s).s);

    const wchar_t* modeName = modeSet ? mode : L"interactive";
    Report(Line(L"installer mode=").Add(modeName).s);

    Path own, self;
    if (!OwnFolder(&own) || !OwnModulePath(&self)) {
        ReportError(L"own module path", GetLastError());
        return 2;
    }

    int exitCode = 0;
    if (!modeSet) {
        HWND hwnd = ShowInstallerWindow(kTitle);
        WaitForChoice(hwnd);
        if (g_choice == kInstall)
            RunInstall(hwnd, own, self, false);
        else
            WriteCancelled(own);
        DestroyWindow(hwnd);
    } else if (lstrcmpW(mode, L"install") == 0 || lstrcmpW(mode, L"hold") == 0) {
        HWND hwnd = ShowInstallerWindow(kTitle);
        PumpFor(kShowMs);
        RunInstall(hwnd, own, self, lstrcmpW(mode, L"hold") == 0);
        DestroyWindow(hwnd);
    } else if (lstrcmpW(mode, L"cancel") == 0) {
        HWND hwnd = ShowInstallerWindow(kTitle);
        PumpFor(kShowMs);
        WriteCancelled(own);
        DestroyWindow(hwnd);
    } else if (lstrcmpW(mode, L"fail") == 0) {
        HWND hwnd = ShowInstallerWindow(kTitle);
        PumpFor(kShowMs);
        DestroyWindow(hwnd);
        exitCode = 1;
    } else if (lstrcmpW(mode, L"broken") == 0) {
        HWND hwnd = ShowInstallerWindow(kTitleInstalling);
        EnableButtons(hwnd, FALSE);
        PumpFor(kShowMs);
        DestroyWindow(hwnd);
    } else if (lstrcmpW(mode, L"none") != 0) {
        Report(Line(L"installer error=unknown mode ").Add(mode).s);
        return 2;
    }
    Report(Line(L"installer done=").Add(modeName).s);
    return exitCode;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    Path self;
    if (OwnModulePath(&self) && lstrcmpiW(BaseName(self.s), L"Launcher.exe") == 0)
        return RunLauncher();
    return RunInstaller();
}
