// The installer watch, the argument text and the folder removal, in process.
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

#include "handoff/basic_install.h"
#include "handoff/installer.h"
#include "handoff/launch.h"
#include "handoff/remove.h"
#include "support/held_folder.h"
#include "support/log.h"
#include "tests/harness.h"

namespace {

// Where PendingRenames shows a path of the work folder.
size_t PendingAt(const wchar_t* relative) {
    std::wstring path = WorkPath(relative);
    for (wchar_t& c : path) c = towlower(c);
    return PendingRenames().find(path);
}

// Asks the launch question (answered Cancel) when an application is found.
void ExpectLaunch(const std::wstring& archive, int found) {
    BoxWatcher watcher(GetCurrentProcessId(), {IDCANCEL});
    EXPECT_EQ(LaunchInstalledApp(archive.c_str()), found);
    ExpectBoxes(watcher.Stop(), std::vector<Expected>(found, kComplete));
}

constexpr DWORD kListingMs = 300;

DWORD WINAPI CloseListingSoon(void* listing) {
    Sleep(kListingMs);
    FindClose(listing);
    return 0;
}

HWND TitledWindow(const wchar_t* title) {
    return CreateWindowExW(0, L"STATIC", title, WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

}  // namespace

TEST(Watch, OnlyExactTitlesCount) {
    HWND lookalikes[] = {TitledWindow(L"Zentrova Installer "), TitledWindow(L"zentrova installer"),
                         TitledWindow(L"Zentrova Installer: Installing!"),
                         TitledWindow(L"Zentrova Install")};
    EXPECT_EQ(IsInstallerRunning(), 0);
    EXPECT_EQ(installingSeen, 0);
    HWND open = TitledWindow(L"Zentrova Installer");  // hidden windows count too
    EXPECT_EQ(IsInstallerRunning(), 1);
    EXPECT_EQ(installingSeen, 0);
    DestroyWindow(open);
    EXPECT_EQ(IsInstallerRunning(), 0);
    HWND installing = TitledWindow(L"Zentrova Installer: Installing");
    EXPECT_EQ(IsInstallerRunning(), 1);
    EXPECT_EQ(installingSeen, 1);
    DestroyWindow(installing);
    EXPECT_EQ(IsInstallerRunning(), 0);
    EXPECT_EQ(installingSeen, 1) << "never reset";
    for (HWND window : lookalikes) DestroyWindow(window);
}

TEST(Watch, ArgumentTextIsQuotedBase64) {
    wchar_t parameters[kParameterUnits] = L"";
    AppendEncodedArg(parameters, L"a");
    AppendEncodedArg(parameters, L"");
    AppendEncodedArg(parameters, L"abcd");
    AppendEncodedArg(parameters, L"\x00E9\x20AC");
    EXPECT_STREQ(parameters, L"\"YQA=\",\"\",\"YQBiAGMAZAA=\",\"6QCsIA==\"");
    // The longest folder text still fits, whole, three times over.
    wchar_t longest[kParameterUnits] = L"";
    std::wstring folder(259, L'\x4E2D');
    for (int i = 0; i < 3; ++i) AppendEncodedArg(longest, folder.c_str());
    EXPECT_EQ(wcslen(longest), 3 * (692 + 2) + 2u);
}

TEST(Removal, DepthFirstAndDotFiles) {
    const std::wstring tree = WorkPath(L"a");
    for (const wchar_t* folder : {L"", L"\\b", L"\\b\\c", L"\\.hidden-folder"})
        CreateDirectoryW((tree + folder).c_str(), nullptr);
    WriteBytes(tree + L"\\.installer-state", "x");
    WriteBytes(tree + L"\\b\\c\\file.txt", "x");
    WriteBytes(tree + L"\\.hidden-folder\\f", "x");
    SetFileAttributesW((tree + L"\\b\\c\\file.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_NE(DeleteFolderTree(tree.c_str()), 0);
    EXPECT_FALSE(PathExists(tree));

    CreateDirectoryW(WorkPath(L"empty").c_str(), nullptr);
    EXPECT_NE(DeleteFolderTree(WorkPath(L"empty").c_str()), 0);
    EXPECT_EQ(DeleteFolderTree(WorkPath(L"missing").c_str()), 0);
    EXPECT_EQ(DeleteFolderTree(L""), 0);

    // A file held open stays, and so does every folder above it.
    const std::wstring busy = WorkPath(L"busy"), heldFile = busy + L"\\in\\held.txt";
    CreateDirectoryW(busy.c_str(), nullptr);
    CreateDirectoryW((busy + L"\\in").c_str(), nullptr);
    WriteBytes(heldFile, "x");
    WriteBytes(busy + L"\\other.txt", "x");
    HANDLE held =
        CreateFileW(heldFile.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(DeleteFolderTree(busy.c_str()), 0);
    CloseHandle(held);
    EXPECT_EQ(ListFolder(busy), std::vector<std::wstring>{L"in"});

    // When the session ends, it goes at the next restart, and each folder
    // above it after it.
    held = CreateFileW(heldFile.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(DeleteFolderTreeNowOrAtRestart(busy.c_str()), 0);
    CloseHandle(held);
    size_t file = PendingAt(L"busy\\in\\held.txt||");
    size_t in = PendingAt(L"busy\\in||");
    size_t top = PendingAt(L"busy||");
    EXPECT_NE(top, std::wstring::npos) << ToBytes(PendingRenames());
    EXPECT_LT(file, in);
    EXPECT_LT(in, top);
}

// In use past the retries: left for the next restart, with a line saying so.
TEST(Removal, ArchiveFolderInUseIsLeftForRestart) {
    CreateLog(WorkFolder().c_str());
    const std::wstring archive = WorkPath(L"tmp-1"), heldFile = archive + L"\\held.txt";
    ASSERT_EQ(archiveFolderHold.Create(archive.c_str(), nullptr), 0u);
    WriteBytes(heldFile, "x");
    HANDLE held =
        CreateFileW(heldFile.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD start = GetTickCount();
    EXPECT_EQ(RemoveArchiveFolder(archive.c_str()), 0);
    DWORD took = GetTickCount() - start;
    CloseHandle(held);
    EXPECT_GE(took, kRemovalRetryMs);
    EXPECT_LT(took, kRemovalRetryMs + 2000);
    EXPECT_NE(PendingAt(L"tmp-1||"), std::wstring::npos) << ToBytes(PendingRenames());
    std::wstring log = ReadLog(WorkPath(L"KSExtractorLog.txt"));
    EXPECT_EQ(log.substr(log.find(L"\r\n") + 2),
              L"Archive folder in use, deleted at restart: " + archive + L"\r\n");

    // Nothing there: nothing to wait for.
    start = GetTickCount();
    EXPECT_EQ(RemoveArchiveFolder(WorkPath(L"missing").c_str()), 0);
    EXPECT_LT(GetTickCount() - start, kRemovalRetryMs);

    // Someone listing the folder as it goes only holds the removal up.
    const std::wstring listed = WorkPath(L"tmp-2");
    ASSERT_EQ(archiveFolderHold.Create(listed.c_str(), nullptr), 0u);
    WIN32_FIND_DATAW found;
    HANDLE listing = FindFirstFileW((listed + L"\\*").c_str(), &found);
    ASSERT_NE(listing, INVALID_HANDLE_VALUE);
    HANDLE closer = CreateThread(nullptr, 0, CloseListingSoon, listing, 0, nullptr);
    EXPECT_NE(RemoveArchiveFolder(listed.c_str()), 0);
    WaitForSingleObject(closer, INFINITE);
    CloseHandle(closer);
    EXPECT_FALSE(PathExists(listed));
    EXPECT_EQ(ReadLog(WorkPath(L"KSExtractorLog.txt")), log);
}

// A run ends by removing only the archive folder it made and holds; one
// whose name it took without making it (another's, at a failed create)
// stays with everything in it.
TEST(Removal, FolderThisRunDidNotMakeStays) {
    CreateLog(WorkFolder().c_str());
    const std::wstring archive = WorkPath(L"tmp-1");
    CreateDirectoryW(archive.c_str(), nullptr);
    WriteBytes(archive + L"\\theirs.txt", "theirs");
    BoxWatcher watcher(GetCurrentProcessId(), {IDOK, IDCANCEL});
    EXPECT_EQ(RunInstaller(nullptr, archive.c_str()), 0);
    std::vector<Box> boxes = watcher.Stop();
    ASSERT_EQ(boxes.size(), 2u) << ToBytes(Describe(boxes));
    EXPECT_EQ(boxes[0].caption, L"Extractor") << "no installer in the folder";
    EXPECT_EQ(boxes[1].caption, L"Basic install");
    EXPECT_EQ(ReadBytes(archive + L"\\theirs.txt"), "theirs");
}

TEST(Removal, LinksAreNotFollowed) {
    // run-wine.sh leaves C:\carrier\link, a link to C:\outside.
    ASSERT_TRUE(PathExists(L"C:\\carrier\\link"));
    DWORD attributes = GetFileAttributesW(L"C:\\carrier\\link");
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    WriteBytes(L"C:\\carrier\\own.txt", "x");
    DeleteFolderTree(L"C:\\carrier");
    EXPECT_EQ(ReadBytes(L"C:\\outside\\keep.txt"), "keep\n");
    EXPECT_FALSE(PathExists(L"C:\\carrier\\own.txt"));
}

// The installer's registry value may be of any type, unterminated or too
// long; only a value that names a folder holding the application counts.
TEST(Launch, RegistryValueOfAnyKind) {
    const std::wstring archive = WorkPath(L"tmp-1");
    CreateDirectoryW(archive.c_str(), nullptr);
    // A result file naming nothing moves the search on without a box.
    WriteBytes(archive + L"\\InstalledApp.txt", ToBytes(L"C:\\nowhere.exe"));
    const std::wstring folder = WorkPath(L"inst");
    // Left by an installer that failed: the folder is there, the application is not.
    const std::wstring stale = WorkPath(L"stale");
    CreateDirectoryW(stale.c_str(), nullptr);
    const std::wstring at129 = WorkFolder() + std::wstring(123, L'f');
    const std::wstring at130 = at129 + L"f";
    for (const std::wstring& f : {folder, at129, at130}) {
        CreateDirectoryW(f.c_str(), nullptr);
        WriteBytes(f + L"\\Zentrova.exe", "app");
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Zentrova", 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    auto units = [](const std::wstring& text) { return ToBytes(text + L'\0'); };
    struct Case {
        const char* what;
        DWORD type;
        std::string data;
        int found;
    } cases[] = {
        {"string", REG_SZ, units(folder), 1},
        {"no terminator", REG_SZ, ToBytes(folder), 1},
        {"odd-sized binary", REG_BINARY, ToBytes(folder) + "\x7f", 1},
        {"dword", REG_DWORD, std::string("\x01\0\0\0", 4), 0},
        {"empty", REG_SZ, "", 0},
        {"129 units", REG_SZ, units(at129), 1},
        {"130 units", REG_SZ, units(at130), 0},
        {"a file", REG_SZ, units(folder + L"\\Zentrova.exe"), 0},
        // The work folder, the current folder, holds inst\Zentrova.exe.
        {"relative", REG_SZ, units(L"inst"), 0},
        {"drive-relative", REG_SZ, units(L"C:inst"), 0},
        {"root-relative", REG_SZ, units(folder.substr(2)), 0},
        {"raw namespace", REG_SZ, units(L"\\\\?\\" + folder), 0},
        {"a folder without the application", REG_SZ, units(stale), 0},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(RegSetValueExW(key, L"InstPath", 0, c.type,
                                 reinterpret_cast<const BYTE*>(c.data.data()),
                                 static_cast<DWORD>(c.data.size())),
                  ERROR_SUCCESS);
        SCOPED_TRACE(c.what);
        ExpectLaunch(archive, c.found);
    }

    // A rejected value, the stale folder here, still lets the fixed folder
    // be tried, as the basic install makes it; its launcher goes after the
    // question even when the answer is Cancel.
    ASSERT_EQ(CreateBasicInstallFolder(), 0u);
    WriteBytes(L"C:\\Zentrova\\Zentrova.exe", "app");
    WriteBytes(L"C:\\Zentrova\\Launcher.exe", "launcher");
    ExpectLaunch(archive, 1);
    EXPECT_FALSE(PathExists(L"C:\\Zentrova\\Launcher.exe"));
    EXPECT_TRUE(PathExists(L"C:\\Zentrova\\Zentrova.exe"));

    // A relative result file is passed over too: the launcher beside the
    // fixed folder's application goes, the one in the current folder stays.
    WriteBytes(archive + L"\\InstalledApp.txt", ToBytes(L"inst\\Zentrova.exe"));
    WriteBytes(folder + L"\\Launcher.exe", "launcher");
    WriteBytes(L"C:\\Zentrova\\Launcher.exe", "launcher");
    ExpectLaunch(archive, 1);
    EXPECT_FALSE(PathExists(L"C:\\Zentrova\\Launcher.exe"));
    EXPECT_TRUE(PathExists(folder + L"\\Launcher.exe"));

    // A session that ends at the question takes the launcher with it.
    WriteBytes(L"C:\\Zentrova\\Launcher.exe", "launcher");
    bool goneAtQuestion = false;
    BoxWatcher ending(GetCurrentProcessId(), {IDCANCEL});
    ending.context = &goneAtQuestion;
    ending.onBox = [](const Box&, void* gone) {
        DeletePendingLauncherNow();
        *static_cast<bool*>(gone) = !PathExists(L"C:\\Zentrova\\Launcher.exe");
    };
    EXPECT_EQ(LaunchInstalledApp(archive.c_str()), 1);
    ending.Stop();
    EXPECT_TRUE(goneAtQuestion);
    RegCloseKey(key);
}

namespace {

struct Holder {
    std::wstring path;
    DWORD holdMs;
    HWND window;  // of the thread that waits, probed with sent messages
    volatile LONG waitOver = 0;
    int probes = 0;
    int unanswered = 0;  // while the wait was still on
};

// Holds the file open without delete sharing, as a running launcher's own
// file is held, and meanwhile sends the waiting thread's window messages.
DWORD WINAPI HoldAndProbe(void* param) {
    Holder* h = static_cast<Holder*>(param);
    HANDLE file = CreateFileW(h->path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    DWORD start = GetTickCount();
    while (GetTickCount() - start < h->holdMs) {
        DWORD_PTR result = 0;
        ++h->probes;
        if (!SendMessageTimeoutW(h->window, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result) &&
            !h->waitOver)
            ++h->unanswered;
        Sleep(200);
    }
    CloseHandle(file);
    return 0;
}

}  // namespace

TEST(Launch, LauncherInUseIsRetriedThenLeftForRestart) {
    CreateLog(WorkFolder().c_str());
    HWND waiter = TitledWindow(L"waiter");
    for (const wchar_t* folder : {L"soon", L"late", L"ro"}) {
        CreateDirectoryW(WorkPath(folder).c_str(), nullptr);
        WriteBytes(WorkPath(folder) + L"\\Launcher.exe", "launcher");
    }

    // Released after 2.5 s: a retry deletes it.
    Holder soon{WorkPath(L"soon\\Launcher.exe"), 2500, waiter};
    HANDLE thread = CreateThread(nullptr, 0, HoldAndProbe, &soon, 0, nullptr);
    Sleep(100);
    DWORD start = GetTickCount();
    DeleteLauncher(soon.path.c_str());
    DWORD took = GetTickCount() - start;
    InterlockedExchange(&soon.waitOver, 1);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_FALSE(PathExists(soon.path));
    EXPECT_GE(took, 2000u);
    EXPECT_LT(took, kLauncherWaitMs + kLauncherRetryMs) << "deleted before the retries ran out";
    EXPECT_GE(soon.probes, 8);
    EXPECT_EQ(soon.unanswered, 0) << "sent messages are answered while it waits";
    EXPECT_EQ(PendingRenames().find(L"soon"), std::wstring::npos);

    // Held throughout: left to be deleted at the next restart, and no hang.
    Holder late{WorkPath(L"late\\Launcher.exe"), kLauncherWaitMs + kLauncherRetryMs + 1500, waiter};
    thread = CreateThread(nullptr, 0, HoldAndProbe, &late, 0, nullptr);
    Sleep(100);
    start = GetTickCount();
    DeleteLauncher(late.path.c_str());
    took = GetTickCount() - start;
    InterlockedExchange(&late.waitOver, 1);
    EXPECT_GE(took, kLauncherWaitMs + kLauncherRetryMs);
    EXPECT_LT(took, kLauncherWaitMs + kLauncherRetryMs + 3000);
    EXPECT_TRUE(PathExists(late.path));
    EXPECT_NE(PendingAt(L"late\\launcher.exe"), std::wstring::npos) << ToBytes(PendingRenames());
    std::wstring log = ReadLog(WorkPath(L"KSExtractorLog.txt"));
    EXPECT_EQ(log.substr(log.find(L"\r\n") + 2),
              L"Launcher in use, deleted at restart: " + late.path + L"\r\n");
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_GE(late.probes, 20);
    EXPECT_EQ(late.unanswered, 0);

    // A read-only launcher is not in use: deleted now, not at restart.
    const std::wstring readOnly = WorkPath(L"ro\\Launcher.exe");
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    DeleteLauncher(readOnly.c_str());
    EXPECT_FALSE(PathExists(readOnly));
    EXPECT_EQ(PendingRenames().find(L"\\ro\\"), std::wstring::npos);

    // A launcher that removed itself needs nothing more.
    start = GetTickCount();
    DeleteLauncher(soon.path.c_str());
    EXPECT_LT(GetTickCount() - start, kLauncherWaitMs + 1000);
    DestroyWindow(waiter);
}

// A target that is a link, or another name of some file, is replaced with
// the copy, never written through.
TEST(BasicInstall, LinkedTargetIsReplaced) {
    const std::wstring source = WorkPath(L"source"), target = WorkPath(L"target");
    const std::wstring victim = WorkPath(L"victim.txt");
    CreateDirectoryW(source.c_str(), nullptr);
    CreateDirectoryW(target.c_str(), nullptr);
    WriteBytes(source + L"\\Zentrova.exe", "new");
    WriteBytes(victim, "victim");
    ASSERT_TRUE(CreateHardLinkW((target + L"\\Zentrova.exe").c_str(), victim.c_str(), nullptr));
    BoxWatcher watcher;
    CopyAppFile(source.c_str(), target.c_str(), L"Zentrova.exe");
    ExpectBoxes(watcher.Stop(), {});
    EXPECT_EQ(ReadBytes(victim), "victim");
    EXPECT_EQ(ReadBytes(target + L"\\Zentrova.exe"), "new");
}
