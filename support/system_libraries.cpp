#include "support/system_libraries.h"

#include <windows.h>

#include "support/paths.h"
#include "support/text.h"

namespace {

enum SystemLibrary { kAdvapi32, kOle32, kShell32, kUser32, kSystemLibraryCount };
const char* const kSystemLibraryNames[kSystemLibraryCount] = {"advapi32.dll", "ole32.dll",
                                                              "shell32.dll", "user32.dll"};

}  // namespace

// Every function the program calls in those libraries, with the bytes of its
// arguments, which i386 names a stdcall import by. A function missing here
// links from the compiler's import library, and the program then imports its
// library statically (Program.StartsOnAnyWindows names it).
#if defined(__i386__)
// SetWindowLongPtrW is only another name of it there.
#define ZENTROVA_POINTER_SIZED_FUNCTIONS(X) X(kUser32, SetWindowLongW, 12)
#else
#define ZENTROVA_POINTER_SIZED_FUNCTIONS(X) X(kUser32, SetWindowLongPtrW, 12)
#endif
#define ZENTROVA_SYSTEM_FUNCTIONS(X)                                       \
    X(kAdvapi32, AllocateAndInitializeSid, 44)                             \
    X(kAdvapi32, CheckTokenMembership, 12)                                 \
    X(kAdvapi32, ConvertStringSecurityDescriptorToSecurityDescriptorW, 16) \
    X(kAdvapi32, ConvertStringSidToSidW, 8)                                \
    X(kAdvapi32, EqualSid, 8)                                              \
    X(kAdvapi32, FreeSid, 4)                                               \
    X(kAdvapi32, GetAce, 12)                                               \
    X(kAdvapi32, GetSecurityDescriptorDacl, 16)                            \
    X(kAdvapi32, GetSecurityDescriptorOwner, 12)                           \
    X(kAdvapi32, GetSecurityInfo, 32)                                      \
    X(kAdvapi32, GetTokenInformation, 20)                                  \
    X(kAdvapi32, IsValidSid, 4)                                            \
    X(kAdvapi32, OpenProcessToken, 12)                                     \
    X(kAdvapi32, RegCloseKey, 4)                                           \
    X(kAdvapi32, RegOpenKeyW, 12)                                          \
    X(kAdvapi32, RegQueryValueExW, 24)                                     \
    X(kAdvapi32, SetTokenInformation, 16)                                  \
    X(kOle32, CoTaskMemFree, 4)                                            \
    X(kShell32, SHGetPathFromIDListW, 8)                                   \
    X(kShell32, SHGetSpecialFolderLocation, 12)                            \
    X(kShell32, ShellExecuteExW, 4)                                        \
    X(kShell32, ShellExecuteW, 24)                                         \
    X(kUser32, DialogBoxParamA, 20)                                        \
    X(kUser32, DispatchMessageW, 4)                                        \
    X(kUser32, EndDialog, 8)                                               \
    X(kUser32, EnumWindows, 8)                                             \
    X(kUser32, GetWindowTextA, 12)                                         \
    X(kUser32, GetWindowThreadProcessId, 8)                                \
    X(kUser32, IsWindowVisible, 4)                                         \
    X(kUser32, MessageBoxA, 16)                                            \
    X(kUser32, MessageBoxW, 16)                                            \
    X(kUser32, MsgWaitForMultipleObjectsEx, 20)                            \
    X(kUser32, PeekMessageW, 20)                                           \
    X(kUser32, ReplyMessage, 4)                                            \
    X(kUser32, SetDlgItemTextA, 12)                                        \
    X(kUser32, SetTimer, 16)                                               \
    ZENTROVA_POINTER_SIZED_FUNCTIONS(X)

// The slots that the compiler calls a declared import through, under the
// names an import library would give them; filled before the first call.
#if defined(__i386__)
#define ZENTROVA_IMPORT_SLOT(name, bytes) "__imp__" #name "@" #bytes
#else
#define ZENTROVA_IMPORT_SLOT(name, bytes) "__imp_" #name
#endif
#define ZENTROVA_DEFINE_SLOT(library, name, bytes)                                    \
    extern "C" FARPROC zentrovaSlot##name __asm__(ZENTROVA_IMPORT_SLOT(name, bytes)); \
    FARPROC zentrovaSlot##name = nullptr;
ZENTROVA_SYSTEM_FUNCTIONS(ZENTROVA_DEFINE_SLOT)

namespace {

typedef BOOL(WINAPI* SetDefaultDllDirectoriesProc)(DWORD flags);

struct SystemFunction {
    SystemLibrary library;
    const char* name;
    FARPROC* slot;
};

#define ZENTROVA_FUNCTION_ENTRY(library, name, bytes) {library, #name, &zentrovaSlot##name},
const SystemFunction kSystemFunctions[] = {ZENTROVA_SYSTEM_FUNCTIONS(ZENTROVA_FUNCTION_ENTRY)};

constexpr size_t kSystemLibraryPathUnits = MAX_PATH;

// Where SetDefaultDllDirectories exists, so does the flag; elsewhere the
// full path, whose own imports are then looked for in System32 first and
// never in the program's folder.
HMODULE LoadFromSystem32(const char* name, bool restricted) {
    if (restricted) return LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    wchar_t path[kSystemLibraryPathUnits];
    UINT length = GetSystemDirectoryW(path, kSystemLibraryPathUnits);
    if (length == 0 || length >= kSystemLibraryPathUnits) return nullptr;
    wchar_t wideName[kSystemLibraryPathUnits];
    WidenName(wideName, kSystemLibraryPathUnits, name);
    AddBackslash(path, kSystemLibraryPathUnits);
    if (!AppendText(path, kSystemLibraryPathUnits, wideName)) return nullptr;
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

bool StartSystemLibraries() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto setDefaultDirectories = reinterpret_cast<SetDefaultDllDirectoriesProc>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    bool restricted = setDefaultDirectories && setDefaultDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    HMODULE libraries[kSystemLibraryCount];
    for (int i = 0; i < kSystemLibraryCount; ++i) {
        libraries[i] = LoadFromSystem32(kSystemLibraryNames[i], restricted);
        if (!libraries[i]) return false;
    }
    for (const SystemFunction& function : kSystemFunctions) {
        *function.slot = GetProcAddress(libraries[function.library], function.name);
        if (!*function.slot) return false;
    }
    return true;
}
