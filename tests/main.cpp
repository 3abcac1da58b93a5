// Every test process runs from a private folder on C: of its own Wine
// prefix, since the program under test writes beside its own file.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/system_libraries.h"
#include "tests/harness.h"

namespace {

const wchar_t kWorkFolder[] = L"C:\\zt";

int RunRelocated() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring copy = std::wstring(kWorkFolder) + L"\\zentrova_tests.exe";
    CreateDirectoryW(kWorkFolder, nullptr);
    if (!CopyFileW(self, copy.c_str(), FALSE)) return 98;
    // The arguments as given, after the program name.
    const wchar_t* rest = GetCommandLineW();
    bool quoted = false;
    while (*rest && (quoted || (*rest != L' ' && *rest != L'\t'))) {
        if (*rest == L'"') quoted = !quoted;
        ++rest;
    }
    std::wstring commandLine = L"\"" + copy + L"\"" + rest;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(copy.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                        kWorkFolder, &startup, &process))
        return 97;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 96;
    GetExitCodeProcess(process.hProcess, &code);
    return static_cast<int>(code);
}

}  // namespace

int main(int argc, char** argv) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (_wcsnicmp(self, kWorkFolder, wcslen(kWorkFolder)) != 0) return RunRelocated();
    // The program's calls into user32 and the rest go through its own table.
    if (!StartSystemLibraries()) return 95;
    if (wcsstr(GetCommandLineW(), kTitledWindowArgument)) return ShowTitledWindow();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
