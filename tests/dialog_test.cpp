// The progress dialog, driven for real. This test program carries the
// dialog template but no payload, so a started work sequence ends at the
// "Error finding installer application" box.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/dialog.h"
#include "support/version.h"
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

namespace {

const WORD kUk = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK);
const WORD kUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

std::string Resource(HMODULE module, const wchar_t* type, int id, WORD language) {
    HRSRC found = FindResourceExW(module, type, MAKEINTRESOURCEW(id), language);
    if (!found) return {};
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(module, found)));
    return bytes ? std::string(bytes, SizeofResource(module, found)) : std::string();
}

template <typename T>
T At(const std::string& bytes, size_t offset) {
    T value{};
    if (offset + sizeof value <= bytes.size()) memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

std::wstring VersionString(const std::string& record, const wchar_t* key) {
    std::string copy = record;  // VerQueryValueW wants writable memory
    wchar_t query[64];
    _snwprintf(query, 64, L"\\StringFileInfo\\140904e4\\%ls", key);
    query[63] = 0;
    void* value = nullptr;
    UINT units = 0;
    if (!VerQueryValueW(&copy[0], query, &value, &units) || !value) return L"(none)";
    return static_cast<const wchar_t*>(value);
}

#pragma pack(push, 2)
struct IconDirEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

}  // namespace

// The built program read back as a file: the shell and the loader see these.
TEST(Resources, BuiltProgramCarriesItsRecords) {
    HMODULE program = LoadLibraryExW(BuildPath(L"ZentrovaSetup.exe").c_str(), nullptr,
                                     LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(program, nullptr);

    std::string dialog = Resource(program, RT_DIALOG, 1000, kUk);
    ASSERT_FALSE(dialog.empty());
    EXPECT_EQ(At<DWORD>(dialog, 0), 0x80C80AC0u);
    EXPECT_EQ(At<DWORD>(dialog, 4), 0u) << "no extended style";
    EXPECT_EQ(At<WORD>(dialog, 8), 1) << "one control";
    EXPECT_EQ(At<short>(dialog, 14), 268);
    EXPECT_EQ(At<short>(dialog, 16), 66);

    EXPECT_EQ(Resource(program, RT_RCDATA, 100, kUk), ReadBytes(BuildPath(L"payload.bin")));

    std::string group = Resource(program, RT_GROUP_ICON, 1, kUk);
    ASSERT_EQ(At<WORD>(group, 4), 4) << "four images";
    const int sides[] = {48, 32, 16, 0};  // 0 stands for 256
    for (int i = 0; i < 4; ++i) {
        IconDirEntry entry = At<IconDirEntry>(group, 6 + i * sizeof(IconDirEntry));
        EXPECT_EQ(entry.width, sides[i]) << i;
        EXPECT_EQ(entry.bitCount, 32) << i;
        std::string image = Resource(program, RT_ICON, entry.id, kUk);
        EXPECT_EQ(At<DWORD>(image, 0), sizeof(BITMAPINFOHEADER)) << "an uncompressed bitmap";
        EXPECT_EQ(At<WORD>(image, 14), 32) << i;
        EXPECT_EQ(At<DWORD>(image, 16), static_cast<DWORD>(BI_RGB)) << i;
    }

    std::string version = Resource(program, RT_VERSION, 1, kUk);
    ASSERT_FALSE(version.empty());
    const std::string built = ZENTROVA_BUILD_DATE;
    EXPECT_EQ(VersionString(version, L"Built"), std::wstring(built.begin(), built.end()));
    EXPECT_EQ(VersionString(version, L"FileVersion"), L"1.2.7");
    std::string copy = version;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueW(&copy[0], L"\\", reinterpret_cast<void**>(&fixed), &size));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010002u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00070000u);
    EXPECT_EQ(fixed->dwFileOS, 0x40004u);
    DWORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(&copy[0], L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &size));
    EXPECT_EQ(*translation, 0x04E41409u);

    std::string manifest = Resource(program, RT_MANIFEST, 1, kUs);
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
    EXPECT_TRUE(Resource(program, RT_MANIFEST, 1, kUk).empty());
    FreeLibrary(program);
}
