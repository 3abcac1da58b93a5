// Helpers shared by the demo payload programs: bounded wide text, environment,
// the test report file and plain Win32 windows.
#pragma once

#include <stddef.h>
#include <windows.h>

namespace standin {

constexpr size_t kPathChars = 2048;  // generous: test prefixes nest deep
constexpr size_t kEnvChars = 2048;
constexpr size_t kLineChars = 8192;  // one report line, before UTF-8 conversion
constexpr size_t kNumberChars = 32;
constexpr DWORD kShowMs = 300;  // long enough for a 100 ms poller to see each title

// Fixed-capacity wide text: appends past the end are cut, never overrun.
template <size_t N>
struct Text {
    wchar_t s[N];
    size_t len = 0;
    bool cut = false;

    Text() { s[0] = L'\0'; }
    explicit Text(const wchar_t* first) : Text() { Add(first); }

    Text& AddN(const wchar_t* p, size_t n) {
        for (size_t i = 0; i < n && p[i]; ++i) {
            if (len + 1 >= N) {
                cut = true;
                break;
            }
            s[len++] = p[i];
        }
        s[len] = L'\0';
        return *this;
    }
    Text& Add(const wchar_t* p) { return AddN(p, static_cast<size_t>(-1)); }
    Text& AddUnsigned(unsigned long long v) {
        wchar_t num[kNumberChars];
        size_t i = kNumberChars - 1;
        num[i] = L'\0';
        do {
            num[--i] = static_cast<wchar_t>(L'0' + v % 10);
            v /= 10;
        } while (v != 0 && i > 0);
        return Add(num + i);
    }
    Text& AddInt(long long v) {
        if (v < 0) Add(L"-");
        return AddUnsigned(v < 0 ? 0ULL - static_cast<unsigned long long>(v)
                                 : static_cast<unsigned long long>(v));
    }
};

using Path = Text<kPathChars>;
using Line = Text<kLineChars>;

// True only when the variable is set, non-empty and fits.
bool GetEnv(const wchar_t* name, wchar_t* out, size_t cap);
bool EnvIs(const wchar_t* name, const wchar_t* value);

// The command line after the program name and the blanks that follow it.
const wchar_t* RawArguments();

// Full path of this module, and its folder with a final backslash.
bool OwnModulePath(Path* out);
bool OwnFolder(Path* out);
const wchar_t* BaseName(const wchar_t* path);

// Appends one UTF-8 line to the file named by ZENTROVA_STANDIN_REPORT, if any.
void Report(const wchar_t* line);

bool WriteWholeFile(const wchar_t* path, const void* data, DWORD bytes);

// A fixed-size, non-resizable window centred on the work area, in the dialog colour.
HWND CreateCentredWindow(const wchar_t* className, WNDPROC proc, const wchar_t* title,
                         int clientWidth, int clientHeight);
HWND AddLabel(HWND parent, const wchar_t* text, int x, int y, int w, int h);
HWND AddButton(HWND parent, const wchar_t* text, int id, int x, int y, int w, int h);

// Keeps the windows responsive for the given time.
void PumpFor(DWORD ms);

}  // namespace standin
