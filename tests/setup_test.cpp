// The setup program run whole, as a user starts it, with the stand-in
// installer told what to do through its environment.
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "support/version.h"
#include "tests/harness.h"

namespace {

const std::wstring kRun = WorkPath(L"run\\");
const std::wstring kArchive = kRun + L"tmp-1";
const std::wstring kLog = kRun + L"KSExtractorLog.txt";
const std::wstring kReport = WorkPath(L"report.txt");
const wchar_t kBasicQuestion[] =
    L"There appeared to be a problem installing. If it didn't install, do you want to do a "
    L"basic install?";

std::wstring Special(int csidl) {
    wchar_t path[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, csidl, nullptr, 0, path);
    return path;
}

std::wstring InstalledApp() {
    return Special(CSIDL_PROGRAM_FILES) + L"\\Zentrova\\Zentrova.exe";
}
std::wstring InstalledLauncher() {
    return Special(CSIDL_PROGRAM_FILES) + L"\\Zentrova\\Launcher.exe";
}

// An emulated setup program takes a while to show its window on a loaded
// machine; the threads that watch it end soon after it has gone.
constexpr DWORD kFindStatusMs = 180000;
constexpr DWORD kThreadEndMs = 10000;

// The stand-ins' report, one entry per line.
std::vector<std::string> Report() {
    std::vector<std::string> lines;
    if (!PathExists(kReport)) return lines;
    std::string text = ReadBytes(kReport);
    size_t at = 0;
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(text.substr(at, end - at));
    return lines;
}

// The stand-ins report from processes of their own, which a loaded machine
// may start late: a line is waited for.
constexpr DWORD kReportWaitMs = 10000;
constexpr DWORD kReportPollMs = 50;

bool Reported(const std::string& line) {
    for (DWORD start = GetTickCount();; Sleep(kReportPollMs)) {
        for (const std::string& got : Report())
            if (got == line) return true;
        if (GetTickCount() - start >= kReportWaitMs) return false;
    }
}

std::string Utf8(const std::wstring& text) {
    char bytes[2048];
    int n =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes, sizeof bytes, nullptr, nullptr);
    return n > 0 ? std::string(bytes) : std::string();
}

void UseInstaller(const wchar_t* mode) {
    SetEnv(L"ZENTROVA_STANDIN_MODE", mode);
    SetEnv(L"ZENTROVA_STANDIN_REPORT", kReport.c_str());
    SetEnv(L"ZENTROVA_STANDIN_APP_MS", L"300");
}

const Expected kBasic = {L"Basic install", kBasicQuestion, L"OK|Cancel", L"question"};
Expected NoResultFile(const std::wstring& archive = kArchive) {
    return ErrorBox(L"Could not open file \"" + archive + L"\\InstalledApp.txt\"");
}

// The Status window as the screen shows it. A shot taken before the window
// has painted is black: shoot until one shows the dialog face with the text
// on it.
constexpr DWORD kShotPollMs = 2;
constexpr int kShotBytes = 3;      // R, G, B
constexpr int kScreenBytes = 4;    // B, G, R, unused
constexpr int kDarkLimit = 0x60;   // every channel below: text
constexpr int kLightLimit = 0xA0;  // every channel above: a light face
constexpr double kMinFaceShare = 0.8;
constexpr long kMinDarkPixels = 40;  // "Unpacking files..." has about 130 at 96 DPI

struct StatusShot {
    HANDLE process = nullptr;
    DWORD processId = 0;
    int width = 0, height = 0;
    std::string rgb;   // top-down rows of R, G, B
    RECT client = {};  // the client area, in the shot's pixels
    bool found = false;
};

// What the client area holds: pixels of the dialog face colour and dark ones.
struct ShotCounts {
    long all = 0, face = 0, dark = 0;
};

ShotCounts Count(const StatusShot& shot) {
    ShotCounts counts;
    COLORREF face = GetSysColor(COLOR_BTNFACE);
    for (int y = shot.client.top; y < shot.client.bottom; ++y)
        for (int x = shot.client.left; x < shot.client.right; ++x) {
            const unsigned char* p = reinterpret_cast<const unsigned char*>(shot.rgb.data()) +
                                     (y * shot.width + x) * kShotBytes;
            ++counts.all;
            counts.face += RGB(p[0], p[1], p[2]) == face;
            counts.dark += p[0] < kDarkLimit && p[1] < kDarkLimit && p[2] < kDarkLimit;
        }
    return counts;
}

bool LooksPainted(const StatusShot& shot) {
    ShotCounts counts = Count(shot);
    return counts.all > 0 && counts.face >= kMinFaceShare * counts.all &&
           counts.dark >= kMinDarkPixels;
}

void Shoot(HWND window, StatusShot* shot) {
    RECT r, client;
    GetWindowRect(window, &r);
    GetClientRect(window, &client);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&client), 2);
    int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0) return;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, kScreenBytes * 8, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    shot->width = w;
    shot->height = h;
    shot->rgb.resize(static_cast<size_t>(w) * h * kShotBytes);
    const unsigned char* bgrx = static_cast<const unsigned char*>(bits);
    for (int i = 0; i < w * h; ++i)
        for (int c = 0; c < kShotBytes; ++c)
            shot->rgb[i * kShotBytes + c] =
                static_cast<char>(bgrx[i * kScreenBytes + kShotBytes - 1 - c]);
    shot->client = {client.left - r.left, client.top - r.top, client.right - r.left,
                    client.bottom - r.top};
    RECT whole = {0, 0, w, h};
    IntersectRect(&shot->client, &shot->client, &whole);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

DWORD WINAPI ShootStatus(void* param) {
    StatusShot* shot = static_cast<StatusShot*>(param);
    bool seen = false;
    while (WaitForSingleObject(shot->process, kShotPollMs) == WAIT_TIMEOUT) {
        HWND status = FindStatusWindow(shot->processId, true);
        shot->found = status != nullptr;
        if (status) Shoot(status, shot);
        if (shot->found && LooksPainted(*shot)) break;
        if (seen && !shot->found) break;  // closed before a painted shot
        seen = seen || shot->found;
    }
    return 0;
}

// What the demo records while the setup program runs.
struct DemoWatch {
    StatusShot shot;
    HANDLE shooter = nullptr;
    std::wstring logAtQuestion;
};

// Shoots the Status window from the moment the setup process exists.
void StartShooting(const PROCESS_INFORMATION& process, void* context) {
    DemoWatch* watch = static_cast<DemoWatch*>(context);
    DuplicateHandle(GetCurrentProcess(), process.hProcess, GetCurrentProcess(),
                    &watch->shot.process, SYNCHRONIZE, FALSE, 0);
    watch->shot.processId = process.dwProcessId;
    watch->shooter = CreateThread(nullptr, 0, ShootStatus, &watch->shot, 0, nullptr);
}

void RecordLog(const Box&, void* context) {
    static_cast<DemoWatch*>(context)->logAtQuestion = ReadLog(kLog);
}

}  // namespace

// The typical run, as the demo shows it: install, launch through the
// launcher, remove everything. Prints what a user would have seen.
TEST(Demo, TypicalRun) {
    UseInstaller(L"install");
    const std::wstring shotPath = BuildPath(L"demo-status.png");
    DeleteFileW(shotPath.c_str());
    DemoWatch watch;
    SetupRun run =
        RunSetup(kRun, nullptr, {IDOK}, 120000, L"", RunHooks{StartShooting, RecordLog, &watch});
    ASSERT_NE(watch.shooter, nullptr) << "the setup program never started";
    WaitForSingleObject(watch.shooter, INFINITE);
    CloseHandle(watch.shooter);
    CloseHandle(watch.shot.process);
    const StatusShot& shot = watch.shot;
    const std::wstring& logAtQuestion = watch.logAtQuestion;
    if (!shot.rgb.empty()) WriteBytes(shotPath, PngBytes(shot.width, shot.height, shot.rgb));
    ShotCounts counts = Count(shot);
    Sleep(500);  // the application closes itself after 300 ms

    printf("== Log at the launch question ==\n%s", Utf8(logAtQuestion).c_str());
    printf("== Boxes ==\n%s", Utf8(Describe(run.boxes)).c_str());
    printf("== Stand-ins ==\n");
    for (const std::string& line : Report()) printf("%s\n", line.c_str());
    printf("== Installed in %s ==\n", Utf8(Special(CSIDL_PROGRAM_FILES) + L"\\Zentrova").c_str());
    for (const std::wstring& name : ListFolder(Special(CSIDL_PROGRAM_FILES) + L"\\Zentrova"))
        printf("%s\n", Utf8(name).c_str());
    printf("== Left beside the setup program ==\n");
    for (const std::wstring& name : ListFolder(kRun)) printf("%s\n", Utf8(name).c_str());
    printf("== Exit code %lu; Status window %s ==\n", run.exitCode,
           shot.rgb.empty() ? "not captured" : Utf8(shotPath).c_str());
    printf("Status window %d x %d, client area %ld pixels: %ld face colour, %ld dark\n", shot.width,
           shot.height, counts.all, counts.face, counts.dark);

    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {kComplete});
    EXPECT_FALSE(shot.rgb.empty()) << "the Status window was never on screen";
    EXPECT_TRUE(PathExists(shotPath));
    COLORREF face = GetSysColor(COLOR_BTNFACE);
    EXPECT_GT(std::min({GetRValue(face), GetGValue(face), GetBValue(face)}), kLightLimit)
        << "the dialog face is not light";
    EXPECT_GE(counts.face, kMinFaceShare * counts.all) << "not the dialog face: a blank shot";
    EXPECT_GE(counts.dark, kMinDarkPixels) << "no text in the shot";
    EXPECT_LT(counts.dark, counts.all / 4) << "mostly dark: a blank shot";
    std::wstring programPath = kRun + L"ZentrovaSetup.exe";
    std::wstring head = kLog + L"\r\n" + TEXT(ZENTROVA_BUILD_DATE) L"\r\n" + programPath +
                        L"\r\nPath=\"" + programPath + L"\" archiveDir=\"" + kArchive +
                        L"\"\r\nExtractFiles destDir=" + kArchive + L"\r\nUnarchiving file \"" +
                        kArchive + L"\\zlib1.dll\", zippedSize=";
    EXPECT_EQ(logAtQuestion.substr(0, head.size()), head);
    EXPECT_NE(logAtQuestion.find(L"\\libssl32.dll\", zippedSize="), std::wstring::npos);

    std::wstring programs = Special(CSIDL_PROGRAMS) + L"\\Zentrova\\";
    EXPECT_TRUE(Reported("installer arg1=" + Utf8(Special(CSIDL_PERSONAL) + L"\\")));
    EXPECT_TRUE(Reported("installer arg2=" + Utf8(programs)));
    EXPECT_TRUE(Reported("installer arg3=" + Utf8(Special(CSIDL_DESKTOPDIRECTORY) + L"\\")));
    EXPECT_TRUE(Reported("launcher param=\"" + Utf8(InstalledApp()) + "\""));
    EXPECT_TRUE(Reported("app path=" + Utf8(InstalledApp())));
    EXPECT_FALSE(PathExists(InstalledLauncher())) << "the launcher is used once";
    EXPECT_TRUE(PathExists(InstalledApp()));
    EXPECT_EQ(ListFolder(kRun), std::vector<std::wstring>{L"ZentrovaSetup.exe"});
}

TEST(Setup, CancelledInstallEndsQuietly) {
    UseInstaller(L"cancel");
    SetupRun run = RunSetup(kRun);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {});
    EXPECT_TRUE(Reported("installer done=cancel"));
    EXPECT_EQ(ListFolder(kRun), std::vector<std::wstring>{L"ZentrovaSetup.exe"});
    EXPECT_FALSE(PathExists(L"C:\\Zentrova"));
}

TEST(Setup, FailedInstallGetsBasicInstallAndLaunch) {
    UseInstaller(L"fail");
    SetupRun run = RunSetup(kRun, nullptr, {IDOK, IDOK, IDOK});
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {kBasic, NoResultFile(), kComplete});
    for (const wchar_t* name : {L"Zentrova.exe", L"libeay32.dll", L"libssl32.dll"})
        EXPECT_EQ(ReadBytes(std::wstring(L"C:\\Zentrova\\") + name), ReadBytes(DemoPath(name)));
    EXPECT_EQ(ListFolder(L"C:\\Zentrova").size(), 3u);
    Sleep(500);
    EXPECT_TRUE(Reported("app path=C:\\Zentrova\\Zentrova.exe"));
    EXPECT_TRUE(Reported("app started cmdline=")) << "started directly, with no parameter";
    // The error box keeps the log, which ends with the basic install.
    std::wstring log = ReadLog(kLog);
    std::wstring tail =
        L"Do basic install\r\nCompleted basic install\r\n" + NoResultFile().text + L"\r\n";
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
    EXPECT_FALSE(PathExists(kArchive));
}

TEST(Setup, NoInstallerWindowThenBasicInstallDeclinedSlow) {
    UseInstaller(L"none");
    DWORD start = GetTickCount();
    SetupRun run = RunSetup(kRun, nullptr, {IDCANCEL});
    DWORD took = GetTickCount() - start;
    EXPECT_GE(took, 10000u) << "waits the full 10 s for a window";
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {kBasic});
    EXPECT_FALSE(PathExists(L"C:\\Zentrova"));
    EXPECT_EQ(ListFolder(kRun), std::vector<std::wstring>{L"ZentrovaSetup.exe"})
        << "no error box: the log goes too";
}

TEST(Setup, InstallingSeenButNothingInstalled) {
    UseInstaller(L"broken");
    SetEnv(L"ZENTROVA_STANDIN_REGISTRY", L"0");
    SetupRun run = RunSetup(kRun, nullptr, {IDOK, IDCANCEL});
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {NoResultFile(), kBasic});
    EXPECT_FALSE(PathExists(kArchive));
    EXPECT_TRUE(PathExists(kLog));
}

TEST(Setup, LauncherDeletedAfterCancel) {
    UseInstaller(L"install");
    SetupRun run = RunSetup(kRun, nullptr, {IDCANCEL});
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {kComplete});
    Sleep(300);
    for (const std::string& line : Report()) EXPECT_NE(line.substr(0, 8), "launcher") << line;
    EXPECT_FALSE(PathExists(InstalledLauncher()));
    EXPECT_TRUE(PathExists(InstalledApp()));
}

TEST(Setup, WithoutLauncherTheAppStartsDirectly) {
    UseInstaller(L"install");
    SetEnv(L"ZENTROVA_STANDIN_LAUNCHER", L"0");
    SetupRun run = RunSetup(kRun, nullptr, {IDOK});
    ExpectBoxes(run, {kComplete});
    Sleep(500);
    EXPECT_TRUE(Reported("app started cmdline="));
    EXPECT_TRUE(Reported("app path=" + Utf8(InstalledApp())));
    EXPECT_EQ(ListFolder(kRun), std::vector<std::wstring>{L"ZentrovaSetup.exe"});
}

TEST(Setup, BadResultFilesFallThroughToRegistry) {
    UseInstaller(L"install");
    SetEnv(L"ZENTROVA_STANDIN_LAUNCHER", L"0");
    for (const wchar_t* result : {L"bom", L"crlf", L"folder", L"huge", L"odd"}) {
        SetEnv(L"ZENTROVA_STANDIN_RESULT", result);
        std::wstring folder = WorkPath(L"run-") + result;
        SetupRun run = RunSetup(folder, nullptr, {IDCANCEL});
        EXPECT_EQ(run.exitCode, 0u);
        ExpectBoxes(run, {kComplete});
        EXPECT_EQ(ListFolder(folder), std::vector<std::wstring>{L"ZentrovaSetup.exe"})
            << ToBytes(result);
    }
}

TEST(Setup, LaunchFailureOffersBasicInstall) {
    UseInstaller(L"install");
    std::string payload =
        Payload().Library().Compressed("InstallZentrova.exe", "not a program").Bytes();
    SetupRun run = RunSetup(kRun, &payload, {IDOK, IDCANCEL});
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_FALSE(run.boxes.empty());
    int code = -1;
    swscanf(run.boxes[0].text.c_str(), L"Error launching installer. Error=%d", &code);
    EXPECT_LT(code, 32);
    ExpectBoxes(run, {{L"Extractor", L"Error launching installer. Error=" + std::to_wstring(code),
                       L"OK", L"none"},
                      kBasic});
    EXPECT_TRUE(Report().empty());
    EXPECT_EQ(ListFolder(kRun), std::vector<std::wstring>{L"ZentrovaSetup.exe"})
        << "the Extractor box does not keep the log";
}

TEST(Setup, DotFileIsRemovedAndLinkTargetSurvives) {
    UseInstaller(L"cancel");
    SetEnv(L"ZENTROVA_STANDIN_DOTFILE", L"1");
    SetupRun run = RunSetup(kRun);
    ExpectBoxes(run, {});
    EXPECT_EQ(ListFolder(kRun), std::vector<std::wstring>{L"ZentrovaSetup.exe"});

    // A folder holding a link to a folder outside, moved in by the installer.
    SetEnv(L"ZENTROVA_STANDIN_MOVE", L"C:\\carrier");
    const std::wstring archive = WorkPath(L"run2\\tmp-1");
    run = RunSetup(WorkPath(L"run2"));
    ExpectBoxes(run, {});
    EXPECT_TRUE(Reported("installer done=cancel"));
    EXPECT_EQ(ReadBytes(L"C:\\outside\\keep.txt"), "keep\n");
    // Wine can neither delete nor unlink such a link, so what is left is
    // the link alone: nothing was followed into.
    if (PathExists(archive)) {
        EXPECT_EQ(ListFolder(archive), std::vector<std::wstring>{L"moved-link"});
        EXPECT_EQ(ListFolder(archive + L"\\moved-link"), std::vector<std::wstring>{L"link"});
    }
}

TEST(Setup, ArchiveFoldersAreNumbered) {
    UseInstaller(L"cancel");
    SetEnv(L"ZENTROVA_STANDIN_DOTFILE", L"");
    CreateDirectoryW(kRun.c_str(), nullptr);
    CreateDirectoryW(kArchive.c_str(), nullptr);
    SetupRun run = RunSetup(kRun);
    ExpectBoxes(run, {});
    EXPECT_TRUE(PathExists(kArchive)) << "an existing folder is left alone";
    EXPECT_TRUE(Reported("installer mode=cancel"));
    EXPECT_EQ(ListFolder(kRun), (std::vector<std::wstring>{L"ZentrovaSetup.exe", L"tmp-1"}));

    for (int n = 1; n <= 49; ++n)
        CreateDirectoryW((kRun + L"tmp-" + std::to_wstring(n)).c_str(), nullptr);
    run = RunSetup(kRun);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {FatalBox(L"Can't create tmp directory Error=-1")});
    EXPECT_FALSE(PathExists(kRun + L"tmp-50"));
    std::wstring log = ReadLog(kLog);
    EXPECT_EQ(log.substr(log.size() - 37), L"Can't create tmp directory Error=-1\r\n");
}

TEST(Setup, EmptyPayloadEndsTheRun) {
    std::string empty = Payload().Bytes();
    SetupRun run = RunSetup(WorkPath(L"empty"), &empty);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {});
    EXPECT_TRUE(ListFolder(run.folder + L"tmp-1").empty());
    EXPECT_TRUE(PathExists(run.folder + L"KSExtractorLog.txt"));
}

TEST(Setup, DamagedPayloadNeverStartsTheInstaller) {
    UseInstaller(L"install");
    std::string installer = Compress(ReadBytes(DemoPath(L"InstallZentrova.exe")));
    std::string payload = Payload()
                              .Library()
                              .Raw("InstallZentrova.exe", installer.substr(0, installer.size() / 2))
                              .Bytes();
    SetupRun run = RunSetup(kRun, &payload);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {ErrorBox(L"Error in unzip inflate 101")});
    Sleep(500);
    EXPECT_TRUE(Report().empty()) << "the installer must not run";
    EXPECT_TRUE(PathExists(kLog));
    EXPECT_TRUE(PathExists(kArchive + L"\\InstallZentrova.exe"));
}

namespace {

uint32_t Le32At(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    if (at + sizeof value <= bytes.size()) memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

}  // namespace

// The stored library is the one entry without an adler32 of its own; its PE
// checksum stands in. A damaged one must end like one that does not load.
TEST(Setup, DamagedLibraryIsNeverLoaded) {
    UseInstaller(L"cancel");
    const std::string library = ReadBytes(PayloadZlib());
    const std::string installer = ReadBytes(DemoPath(L"InstallZentrova.exe"));
    const size_t pe = Le32At(library, 0x3C);
    const size_t firstSection = pe + 24 + (Le32At(library, pe + 20) & 0xFFFF);
    ASSERT_EQ(library.substr(firstSection, 6), std::string(".text\0", 6));
    std::string code = library, header = library;
    code[Le32At(library, firstSection + 20) + Le32At(library, firstSection + 16) / 2] ^= 0x10;
    header[pe + 8] ^= 0x01;  // the link time, which nothing else reads
    const struct {
        const wchar_t* folder;
        std::string library;
    } damaged[] = {
        {L"code", code}, {L"header", header}, {L"cut", library.substr(0, library.size() / 2)}};
    for (const auto& c : damaged) {
        std::string payload = Payload()
                                  .Stored("zlib1.dll", c.library)
                                  .Compressed("InstallZentrova.exe", installer)
                                  .Bytes();
        SetupRun run = RunSetup(WorkPath(c.folder), &payload);
        EXPECT_EQ(run.exitCode, 0u);
        ExpectBoxes(run, NoZlibBoxes());
        const std::wstring archive = run.folder + L"tmp-1";
        std::wstring log = ReadLog(run.folder + L"KSExtractorLog.txt");
        std::wstring tail = L"\", zippedSize=" + std::to_wstring(Compress(installer).size()) +
                            L"\r\nDamaged file, not loaded: " + archive +
                            L"\\zlib1.dll\r\nNo zip 100\r\nNo zip procs 100\r\n"
                            L"Error in unzip init 101\r\n";
        ASSERT_GE(log.size(), tail.size());
        EXPECT_EQ(log.substr(log.size() - tail.size()), tail) << ToBytes(c.folder);
        EXPECT_EQ(
            ListFolder(run.folder),
            (std::vector<std::wstring>{L"KSExtractorLog.txt", L"ZentrovaSetup.exe", L"tmp-1"}));
        EXPECT_EQ(ListFolder(archive),
                  (std::vector<std::wstring>{L"InstallZentrova.exe", L"zlib1.dll"}));
        EXPECT_EQ(ReadBytes(archive + L"\\InstallZentrova.exe"), "");
    }
    Sleep(300);
    EXPECT_TRUE(Report().empty()) << "the installer must not run";

    // Linked without a checksum, in an archive made elsewhere: loaded as it is.
    std::string unset = library;
    memset(&unset[pe + 88], 0, 4);
    std::string payload =
        Payload().Stored("zlib1.dll", unset).Compressed("InstallZentrova.exe", installer).Bytes();
    SetupRun run = RunSetup(kRun, &payload);
    ExpectBoxes(run, {});
    EXPECT_TRUE(Reported("installer done=cancel"));
    EXPECT_EQ(ListFolder(kRun), std::vector<std::wstring>{L"ZentrovaSetup.exe"});
}

TEST(Setup, LogHeldOpenRunGoesOnWithoutALog) {
    UseInstaller(L"cancel");
    CreateDirectoryW(kRun.c_str(), nullptr);
    HANDLE held = CreateFileW(kLog.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    SetupRun run = RunSetup(kRun);
    CloseHandle(held);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {ErrorBox(L"Error creating log file " + kLog +
                               L" 32, Quit the application before installing")});
    EXPECT_TRUE(Reported("installer done=cancel")) << "the run goes on";
    EXPECT_EQ(ReadBytes(kLog), "");
    EXPECT_EQ(ListFolder(kRun),
              (std::vector<std::wstring>{L"KSExtractorLog.txt", L"ZentrovaSetup.exe"}));
}

// C:\readonly is C:\writable seen without write access (scripts/run-wine.sh).
// A folder that cannot be made is never used: whatever is at its name is
// not this run's.
TEST(Setup, ReadOnlyFolderEndsTheRunBeforeUnpacking) {
    UseInstaller(L"install");
    HANDLE probe = CreateFileW(L"C:\\readonly\\probe", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD fileError = GetLastError();
    ASSERT_EQ(probe, INVALID_HANDLE_VALUE) << "C:\\readonly must be mounted read-only";
    ASSERT_FALSE(CreateDirectoryW(L"C:\\readonly\\probe", nullptr));
    DWORD folderError = GetLastError();
    SetupRun run = RunSetup(L"C:\\writable", nullptr, {}, 120000, L"C:\\readonly");
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run,
                {ErrorBox(L"Error creating log file C:\\readonly\\KSExtractorLog.txt " +
                          std::to_wstring(fileError)),
                 FatalBox(L"Can't create tmp directory Error=" + std::to_wstring(folderError))});
    Sleep(300);
    EXPECT_TRUE(Report().empty()) << "the installer must not run";
    EXPECT_EQ(ListFolder(L"C:\\writable"), std::vector<std::wstring>{L"ZentrovaSetup.exe"});
}

// C:\full is a 2 MiB disk (scripts/run-wine.sh).
TEST(Setup, FullDiskEndsTheRunBeforeTheInstaller) {
    UseInstaller(L"install");
    ULARGE_INTEGER available = {};
    ASSERT_TRUE(GetDiskFreeSpaceExW(L"C:\\full\\", &available, nullptr, nullptr));
    ASSERT_LT(available.QuadPart, 4ull << 20) << "C:\\full must be a small disk";
    std::string big(8 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i % 251) * 7);
    std::string packedBig = Compress(big);
    std::string payload = Payload().Library().Raw("Big.bin", packedBig).Installer().Bytes();
    SetupRun run = RunSetup(L"C:\\full", &payload);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {FatalBox(L"Read writing zip to dest Error=-1")});
    Sleep(300);
    EXPECT_TRUE(Report().empty()) << "the installer must not run";
    EXPECT_EQ(ListFolder(L"C:\\full"),
              (std::vector<std::wstring>{L"KSExtractorLog.txt", L"ZentrovaSetup.exe", L"tmp-1"}));
    EXPECT_EQ(ListFolder(L"C:\\full\\tmp-1"),
              (std::vector<std::wstring>{L"Big.bin", L"zlib1.dll"}));
    std::wstring log = ReadLog(L"C:\\full\\KSExtractorLog.txt");
    EXPECT_NE(log.find(L"Unarchiving file \"C:\\full\\tmp-1\\Big.bin\", zippedSize=" +
                       std::to_wstring(packedBig.size()) + L"\r\n"),
              std::wstring::npos);
}

namespace {

// A zlib stream of 1 + 258 * matches zero bytes: a literal 0, then matches
// of length 258 at distance 1, in one fixed-Huffman block. Gigabytes of
// output from a few megabytes, with no zlib in this process.
std::string ZerosStream(uint32_t matches, uint64_t* unpacked) {
    std::string out("\x78\x01", 2);
    uint32_t bits = 0;
    int count = 0;
    auto put = [&](uint32_t value, int n) {  // n bits, least significant first
        bits |= value << count;
        count += n;
        while (count >= 8) {
            out += static_cast<char>(bits & 0xFF);
            bits >>= 8;
            count -= 8;
        }
    };
    // Huffman codes go most significant bit first.
    auto code = [&](uint32_t value, int n) {
        for (int i = n - 1; i >= 0; --i) put((value >> i) & 1, 1);
    };
    put(1, 1);      // the last block
    put(1, 2);      // fixed Huffman codes
    code(0x30, 8);  // literal 0
    for (uint32_t i = 0; i < matches; ++i) {
        code(0xC5, 8);  // length 258
        code(0, 5);     // distance 1
    }
    code(0, 7);  // end of block
    if (count > 0) put(0, 8 - count);
    *unpacked = 1 + 258ull * matches;
    uint32_t adler = static_cast<uint32_t>(*unpacked % 65521) << 16 | 1;
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(adler >> shift);
    return out;
}

struct StatusProbe {
    int probes = 0;
    int unanswered = 0;
    DWORD slowestMs = 0;
    DWORD shownMs = 0;
};

// Waits for another process's Status window, then sends it WM_NULL every
// 100 ms for as long as it is shown, as Windows does before it calls a
// window "Not Responding".
DWORD WINAPI ProbeStatus(void* param) {
    StatusProbe* probe = static_cast<StatusProbe*>(param);
    HWND status = nullptr;
    for (DWORD start = GetTickCount(); !status && GetTickCount() - start < kFindStatusMs; Sleep(5))
        status = FindStatusWindow(kOtherProcess, true);
    DWORD shown = GetTickCount();
    while (status && IsWindowVisible(status)) {
        DWORD sent = GetTickCount();
        DWORD_PTR result = 0;
        ++probe->probes;
        bool answered = SendMessageTimeoutW(status, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result) != 0;
        DWORD took = GetTickCount() - sent;
        // A window that closed meanwhile has nothing to answer.
        if (!answered && IsWindowVisible(status)) ++probe->unanswered;
        if (answered && took > probe->slowestMs) probe->slowestMs = took;
        Sleep(100);
    }
    probe->shownMs = GetTickCount() - shown;
    return 0;
}

}  // namespace

// A gigabyte of output from one entry: seconds of work, through which the
// Status window must answer as any window does.
TEST(Installer, StatusWindowAnswersThroughLongUnpackingSlow) {
    UseInstaller(L"cancel");
    uint64_t unpacked = 0;
    std::string zeros = ZerosStream(4200000, &unpacked);
    ASSERT_GT(unpacked, 1ull << 30);
    std::string payload = Payload().Library().Raw("Zeros.bin", zeros).Installer().Bytes();
    StatusProbe probe;
    HANDLE prober = CreateThread(nullptr, 0, ProbeStatus, &probe, 0, nullptr);
    SetupRun run = RunSetup(kRun, &payload, {}, 180000);
    WaitForSingleObject(prober, kFindStatusMs + kThreadEndMs);
    CloseHandle(prober);
    printf("Status window shown %lu ms, %d probes, slowest answer %lu ms\n", probe.shownMs,
           probe.probes, probe.slowestMs);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {});
    EXPECT_TRUE(Reported("installer done=cancel"));
    EXPECT_GE(probe.probes, 10) << "the unpacking took seconds";
    EXPECT_EQ(probe.unanswered, 0);
    EXPECT_LT(probe.slowestMs, 1000u);
    EXPECT_EQ(ListFolder(kRun), std::vector<std::wstring>{L"ZentrovaSetup.exe"});
}

namespace {

struct SessionEnd {
    bool (*underWay)() = nullptr;  // the moment to end the session at
    bool queryAnswered = false, endAnswered = false;
    DWORD_PTR queryAnswer = 0xFF;
    std::vector<std::wstring> leftAtAnswer;  // beside the setup program
    std::vector<std::wstring> archiveAtAnswer;
};

// As Windows does at logoff: asks the setup's Status window, shown or
// hidden, whether the session may end, then ends it all the same.
void EndSessionNow(SessionEnd* end, HWND status) {
    end->queryAnswered = SendMessageTimeoutW(status, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF,
                                             SMTO_NORMAL, 5000, &end->queryAnswer) != 0;
    DWORD_PTR ignored = 0;
    end->endAnswered = SendMessageTimeoutW(status, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF,
                                           SMTO_NORMAL, 5000, &ignored) != 0;
    end->leftAtAnswer = ListFolder(kRun);
    end->archiveAtAnswer = ListFolder(kArchive);
}

DWORD WINAPI EndTheSession(void* param) {
    SessionEnd* end = static_cast<SessionEnd*>(param);
    HWND status = nullptr;
    for (DWORD start = GetTickCount(); GetTickCount() - start < kFindStatusMs; Sleep(5)) {
        status = FindStatusWindow(kOtherProcess);
        if (status && end->underWay()) break;
    }
    if (!status) return 1;
    EndSessionNow(end, status);
    return 0;
}

// Ends the session while the first box is up, before anyone answers it.
void EndSessionAtTheBox(const Box&, void* context) {
    SessionEnd* end = static_cast<SessionEnd*>(context);
    HWND status = FindStatusWindow(kOtherProcess);
    if (status && !end->endAnswered) EndSessionNow(end, status);
}

SessionEnd EndSessionDuring(bool (*underWay)(), const std::string* payload) {
    SessionEnd end;
    end.underWay = underWay;
    HANDLE ender = CreateThread(nullptr, 0, EndTheSession, &end, 0, nullptr);
    SetupRun run = RunSetup(kRun, payload, {}, 120000);
    WaitForSingleObject(ender, kFindStatusMs + kThreadEndMs);
    CloseHandle(ender);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {});
    EXPECT_TRUE(end.queryAnswered);
    EXPECT_EQ(end.queryAnswer, static_cast<DWORD_PTR>(FALSE)) << "the work holds the session";
    EXPECT_TRUE(end.endAnswered);
    return end;
}

bool UnpackingZeros() {
    return PathExists(kArchive + L"\\Zeros.bin");
}

bool InstallerHolding() {
    for (const std::string& line : Report())
        if (line.compare(0, 20, "installer installed=") == 0) return true;
    return false;
}

}  // namespace

// A logoff in the middle of the work: held off while it runs, and when it
// comes all the same, nothing unpacked stays, nor the log.
TEST(Setup, SessionEndDuringTheWorkLeavesNothing) {
    UseInstaller(L"cancel");
    uint64_t unpacked = 0;
    std::string payload =
        Payload().Library().Raw("Zeros.bin", ZerosStream(4200000, &unpacked)).Installer().Bytes();
    SessionEnd end = EndSessionDuring(UnpackingZeros, &payload);
    EXPECT_EQ(end.leftAtAnswer, std::vector<std::wstring>{L"ZentrovaSetup.exe"})
        << "removed before the answer";
    EXPECT_EQ(ListFolder(kRun), std::vector<std::wstring>{L"ZentrovaSetup.exe"});
    Sleep(300);
    EXPECT_TRUE(Report().empty()) << "the installer must not run";

    // The installer runs from the archive folder: its own file stays until
    // the next restart, everything else goes.
    const std::wstring kHold = WorkPath(L"hold.txt");
    WriteBytes(kHold, "hold");
    UseInstaller(L"hold");
    SetEnv(L"ZENTROVA_STANDIN_HOLD", kHold.c_str());
    end = EndSessionDuring(InstallerHolding, nullptr);
    EXPECT_EQ(end.leftAtAnswer, (std::vector<std::wstring>{L"ZentrovaSetup.exe", L"tmp-1"}));
    EXPECT_EQ(end.archiveAtAnswer, std::vector<std::wstring>{L"InstallZentrova.exe"});
    DeleteFileW(kHold.c_str());
    for (DWORD start = GetTickCount();
         GetTickCount() - start < 30000 && !Reported("installer done=hold"); Sleep(100)) {
    }
    EXPECT_TRUE(Reported("installer done=hold"));
}

namespace {

SetupRun EndSessionAtFirstBox(const std::string* payload, SessionEnd* end) {
    return RunSetup(kRun, payload, {}, 120000, L"", {nullptr, EndSessionAtTheBox, end});
}

std::string DamagedLibraryPayload() {
    std::string library = ReadBytes(PayloadZlib());
    library[Le32At(library, 0x3C) + 8] ^= 0x01;  // the link time: the checksum no longer holds
    return Payload()
        .Stored("zlib1.dll", library)
        .Compressed("InstallZentrova.exe", ReadBytes(DemoPath(L"InstallZentrova.exe")))
        .Bytes();
}

}  // namespace

// The session ends while a failure is on screen: the log, the one record of
// why the run failed, stays with every line, while what was unpacked goes;
// a folder this run could not create is not its own to remove.
TEST(Setup, SessionEndDuringAFailureKeepsTheLog) {
    UseInstaller(L"install");
    std::string library = DamagedLibraryPayload();
    std::string installer = Compress(ReadBytes(DemoPath(L"InstallZentrova.exe")));
    std::string archive = Payload()
                              .Stored("zlib1.dll", ReadBytes(PayloadZlib()))
                              .Raw("InstallZentrova.exe", installer.substr(0, 8))
                              .Bytes();
    archive.resize(archive.size() - 4);  // the entry runs past the end
    const struct {
        const std::string* payload;
        Expected box;
    } failures[] = {
        {&library, ErrorBox(L"No zip 100")},
        {&archive, FatalBox(L"Damaged installer archive: entry data runs past the end")}};
    for (const auto& failure : failures) {
        SessionEnd end;
        SetupRun run = EndSessionAtFirstBox(failure.payload, &end);
        EXPECT_EQ(run.exitCode, 0u);
        ExpectBoxes(run, {failure.box});
        EXPECT_TRUE(end.endAnswered);
        std::wstring log = ReadLog(kLog);
        std::wstring tail = failure.box.text + L"\r\n";
        ASSERT_GE(log.size(), tail.size());
        EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
        EXPECT_EQ(ListFolder(kRun),
                  (std::vector<std::wstring>{L"KSExtractorLog.txt", L"ZentrovaSetup.exe"}));
        DeleteFileW(kLog.c_str());
    }
    Sleep(300);
    EXPECT_TRUE(Report().empty()) << "the installer must not run";

    // C:\readonly is C:\writable seen without write access: tmp-1 cannot be
    // made there. While the box is up, someone else's tmp-1 appears in it.
    struct Intruder {
        SessionEnd end;
        static void OnBox(const Box& box, void* context) {
            CreateDirectoryW(L"C:\\writable\\tmp-1", nullptr);
            WriteBytes(L"C:\\writable\\tmp-1\\theirs.txt", "theirs");
            EndSessionAtTheBox(box, &static_cast<Intruder*>(context)->end);
        }
    } intruder;
    SetupRun run = RunSetup(L"C:\\writable", nullptr, {}, 120000, L"C:\\readonly",
                            {nullptr, Intruder::OnBox, &intruder});
    ASSERT_GE(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text.substr(0, 23), L"Error creating log file");
    EXPECT_TRUE(intruder.end.endAnswered);
    EXPECT_EQ(ReadBytes(L"C:\\writable\\tmp-1\\theirs.txt"), "theirs");
    EXPECT_EQ(PendingRenames().find(L"tmp-1"), std::wstring::npos) << ToBytes(PendingRenames());
}

// Once the installer has gone, nothing is left that a logoff would cut
// short: a closing question lets the session end, which cleans up.
TEST(Setup, ClosingQuestionsLetTheSessionEnd) {
    const struct {
        const wchar_t* mode;
        Expected question;
    } questions[] = {{L"install", kComplete}, {L"fail", kBasic}};
    for (const auto& question : questions) {
        UseInstaller(question.mode);
        SessionEnd end;
        SetupRun run = EndSessionAtFirstBox(nullptr, &end);
        EXPECT_EQ(run.exitCode, 0u);
        ExpectBoxes(run, {question.question});
        EXPECT_TRUE(end.queryAnswered);
        EXPECT_EQ(end.queryAnswer, static_cast<DWORD_PTR>(TRUE)) << ToBytes(question.mode);
        EXPECT_TRUE(end.endAnswered);
        EXPECT_EQ(end.leftAtAnswer, std::vector<std::wstring>{L"ZentrovaSetup.exe"});
    }
    EXPECT_FALSE(PathExists(InstalledLauncher())) << "the pending launcher goes too";
    EXPECT_FALSE(PathExists(L"C:\\Zentrova"));
}

// Windows reads "/" as a backslash: the launcher is the one beside the
// application, not one a folder above it.
TEST(Setup, SlashInTheResultFileFindsTheLauncher) {
    UseInstaller(L"install");
    SetEnv(L"ZENTROVA_STANDIN_RESULT", L"slash");
    SetupRun run = RunSetup(kRun, nullptr, {IDOK});
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {kComplete});
    Sleep(500);
    EXPECT_TRUE(Reported("launcher param=\"" + Utf8(InstalledApp()) + "\""));
    EXPECT_TRUE(Reported("app path=" + Utf8(InstalledApp())));
    EXPECT_FALSE(PathExists(InstalledLauncher())) << "the launcher is used once";
    EXPECT_EQ(ListFolder(kRun), std::vector<std::wstring>{L"ZentrovaSetup.exe"});
}

// An installer that runs on for a second after its window has gone keeps
// its own file in use: the removal waits for it.
TEST(Installer, InstallerThatRunsOnIsStillRemoved) {
    UseInstaller(L"cancel");
    SetEnv(L"ZENTROVA_STANDIN_LINGER_MS", L"1000");
    SetupRun run = RunSetup(kRun);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {});
    EXPECT_TRUE(Reported("installer done=cancel"));
    EXPECT_EQ(ListFolder(kRun), std::vector<std::wstring>{L"ZentrovaSetup.exe"});
}

// Installers that change PATH tell every window so with a plain SendMessage,
// which waits for the front end's ended Status dialog to answer.
TEST(Installer, BroadcastingInstallerDoesNotHangTheRun) {
    UseInstaller(L"install");
    SetEnv(L"ZENTROVA_STANDIN_BROADCAST", L"1");
    SetEnv(L"ZENTROVA_STANDIN_LAUNCHER", L"0");
    SetupRun run = RunSetup(kRun, nullptr, {IDOK}, 60000);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {kComplete});
    Sleep(500);
    EXPECT_TRUE(Reported("installer broadcast=answered"));
    EXPECT_TRUE(Reported("app path=" + Utf8(InstalledApp())));
    EXPECT_EQ(ListFolder(kRun), std::vector<std::wstring>{L"ZentrovaSetup.exe"});
}

TEST(Installer, LingeringLauncherIsDeletedOnceItEnds) {
    UseInstaller(L"install");
    SetEnv(L"ZENTROVA_STANDIN_LAUNCHER_MS", L"2500");
    SetupRun run = RunSetup(kRun, nullptr, {IDOK});
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {kComplete});
    EXPECT_TRUE(Reported("launcher done")) << "it was still running at the first try";
    EXPECT_FALSE(PathExists(InstalledLauncher()));
    EXPECT_TRUE(PathExists(InstalledApp()));
    Sleep(500);
    EXPECT_TRUE(Reported("app path=" + Utf8(InstalledApp())));
    EXPECT_EQ(ListFolder(kRun), std::vector<std::wstring>{L"ZentrovaSetup.exe"});
}

// The program's own path takes 257 units, one more than its buffer holds.
TEST(Setup, ProgramPathTooLongEndsBeforeAnythingIsWritten) {
    UseInstaller(L"install");
    std::wstring folder = WorkFolder() + std::wstring(233, L'p');
    ASSERT_EQ(folder.size() + 1 + wcslen(L"ZentrovaSetup.exe"), 257u);
    SetupRun run = RunSetup(folder);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {ErrorBox(L"No log file"),
                      FatalBox(L"Can't find the setup program's own path Error=122")});
    EXPECT_EQ(ListFolder(folder), std::vector<std::wstring>{L"ZentrovaSetup.exe"});
    EXPECT_FALSE(PathExists(L"C:\\tmp-1"));
    EXPECT_FALSE(PathExists(L"C:\\KSExtractorLog.txt"));
    EXPECT_TRUE(Report().empty()) << "the installer must not run";
}

namespace {

// One whole run with the NSIS installer: asked to launch, the application
// starts, and nothing is left beside the setup program, within a minute.
void RunWithNsis(const wchar_t* mode) {
    const std::wstring folder = WorkPath(L"nsis");
    SetEnv(L"ZENTROVA_NSIS_MODE", mode);
    SetEnv(L"ZENTROVA_STANDIN_REPORT", kReport.c_str());
    SetEnv(L"ZENTROVA_STANDIN_APP_MS", L"300");
    // The demo payload with a real NSIS installer in the installer's place.
    std::string payload = Payload().Demo(BuildPath(L"fixtures\\nsis\\InstallZentrova.exe")).Bytes();
    DWORD start = GetTickCount();
    SetupRun run = RunSetup(folder, &payload, {IDOK}, 60000);
    printf("NSIS installer, mode \"%s\": %lu ms\n", Utf8(mode).c_str(), GetTickCount() - start);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {kComplete});
    Sleep(700);  // the application reports, then ends after 300 ms
    EXPECT_TRUE(Reported("app path=" + Utf8(InstalledApp())));
    EXPECT_EQ(ListFolder(folder), std::vector<std::wstring>{L"ZentrovaSetup.exe"})
        << "archive folder and log removed";
}

}  // namespace

TEST(Installer, NsisInstallerEndToEnd) {
    RunWithNsis(L"");
}

TEST(Installer, NsisInstallerThatBroadcasts) {
    RunWithNsis(L"broadcast");
}

TEST(Installer, NsisInstallerWithLingeringLauncher) {
    SetEnv(L"ZENTROVA_NSIS_LAUNCHER_MS", L"2500");
    RunWithNsis(L"launcher");
    EXPECT_FALSE(PathExists(InstalledLauncher())) << "deleted once it ended";
    EXPECT_TRUE(PathExists(InstalledApp()));
}

namespace {

// The same file, as the host sees it under Wine.
std::string HostPath(const std::wstring& path) {
    typedef char*(CDECL * UnixFileNameProc)(const wchar_t*);
    auto unixFileName = reinterpret_cast<UnixFileNameProc>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = unixFileName ? unixFileName(path.c_str()) : nullptr;
    std::string result = name ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

// A shell command run by the host, past Wine's rules for open files, as
// another process of the user would on Windows if nothing stopped it.
void RunOnHost(const std::string& script) {
    std::wstring line = L"/bin/sh -c \"" + std::wstring(script.begin(), script.end()) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process));
    WaitForSingleObject(process.hProcess, kThreadEndMs);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
}

// While the question waits, the archive folder is moved aside and a link
// to a folder of the user's takes its place.
struct Swap {
    std::wstring decoy;
    bool done = false;
    static void OnBox(const Box&, void* context) {
        Swap* swap = static_cast<Swap*>(context);
        if (swap->done) return;
        swap->done = true;
        RunOnHost("mv '" + HostPath(kArchive) + "' '" + HostPath(kRun + L"aside") + "' && ln -s '" +
                  HostPath(swap->decoy) + "' '" + HostPath(kArchive) + "'");
    }
};

}  // namespace

// Links planted while the elevated program runs: C:\Zentrova before it, the
// archive folder's place at the question. Neither target loses anything.
TEST(Setup, PlantedLinksAreNeitherFollowedNorEmptied) {
    UseInstaller(L"fail");
    // C:\outside holds keep.txt (scripts/run-wine.sh).
    RunOnHost("ln -s '" + HostPath(L"C:\\outside") + "' '" + HostPath(L"C:\\Zentrova") + "'");
    ASSERT_TRUE(GetFileAttributesW(L"C:\\Zentrova") & FILE_ATTRIBUTE_REPARSE_POINT);
    Swap swap;
    swap.decoy = WorkPath(L"decoy");
    CreateDirectoryW(swap.decoy.c_str(), nullptr);
    WriteBytes(swap.decoy + L"\\mine.txt", "mine");
    SetupRun run = RunSetup(kRun, nullptr, {IDOK}, 120000, L"", {nullptr, Swap::OnBox, &swap});
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {kBasic, ErrorBox(L"Error creating directory C:\\Zentrova\\ 267")});
    EXPECT_EQ(ListFolder(L"C:\\outside"), std::vector<std::wstring>{L"keep.txt"});
    EXPECT_EQ(ReadBytes(L"C:\\outside\\keep.txt"), "keep\n");
    EXPECT_EQ(ListFolder(swap.decoy), std::vector<std::wstring>{L"mine.txt"});
    EXPECT_EQ(ReadBytes(swap.decoy + L"\\mine.txt"), "mine");
    std::wstring log = ReadLog(kLog);
    std::wstring tail = L"Archive folder replaced, nothing removed: " + kArchive + L"\r\n";
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
}

// C:\Zentrova made beforehand by another process of the user, open to
// everyone, with an application of theirs in it: the elevated run neither
// copies into it nor starts anything from it, after a failed install or
// after one that left no word of where the application went.
TEST(Setup, BasicInstallFolderOthersMayChangeIsNeverUsed) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\Zentrova", nullptr));
    RunOnHost("chmod 777 '" + HostPath(L"C:\\Zentrova") + "'");
    ASSERT_TRUE(CopyFileW(DemoPath(L"Zentrova.exe").c_str(), L"C:\\Zentrova\\Zentrova.exe", TRUE));
    const Expected refused = ErrorBox(L"Error creating directory C:\\Zentrova\\ 5");
    const struct {
        const wchar_t* mode;
        std::vector<Expected> boxes;
    } runs[] = {{L"fail", {kBasic, refused}}, {L"broken", {NoResultFile(), kBasic, refused}}};
    SetEnv(L"ZENTROVA_STANDIN_REGISTRY", L"0");
    for (const auto& setup : runs) {
        UseInstaller(setup.mode);
        SetupRun run = RunSetup(kRun, nullptr, {IDOK, IDOK});
        EXPECT_EQ(run.exitCode, 0u);
        ExpectBoxes(run, setup.boxes);
        EXPECT_EQ(ListFolder(L"C:\\Zentrova"), std::vector<std::wstring>{L"Zentrova.exe"});
        EXPECT_TRUE(Reported("installer done=" + Utf8(setup.mode)));
    }
    for (const std::string& line : Report()) EXPECT_NE(line.rfind("app ", 0), 0u) << line;
}

namespace {

constexpr DWORD kMovePollMs = 20;

// Another process of the user that keeps trying to move the archive folder
// aside while it holds files, and counts how it went: while the installer's
// window is up, and while the removal waits for an installer that runs on.
struct Mover {
    HANDLE process = nullptr;
    HANDLE thread = nullptr;
    int moved = 0, refusedWhileShown = 0, refusedWhileRemoving = 0;

    static void Start(const PROCESS_INFORMATION& setup, void* context) {
        Mover* mover = static_cast<Mover*>(context);
        DuplicateHandle(GetCurrentProcess(), setup.hProcess, GetCurrentProcess(), &mover->process,
                        SYNCHRONIZE, FALSE, 0);
        mover->thread = CreateThread(nullptr, 0, Run, mover, 0, nullptr);
    }
    static DWORD WINAPI Run(void* context) {
        Mover* mover = static_cast<Mover*>(context);
        const std::wstring aside = kRun + L"aside";
        while (WaitForSingleObject(mover->process, kMovePollMs) == WAIT_TIMEOUT) {
            bool running = false;
            for (const std::string& line : Report()) {
                if (line.rfind("installer mode=", 0) == 0) running = true;
                if (line.rfind("installer done=", 0) == 0) running = false;
            }
            bool shown = FindWindowW(nullptr, L"Zentrova Installer") != nullptr;
            // Tried at once after the look: an emptied folder may be moved.
            if (!PathExists(kArchive) || ListFolder(kArchive).empty()) continue;
            if (MoveFileW(kArchive.c_str(), aside.c_str()))
                ++mover->moved;
            else if (running && GetLastError() == ERROR_SHARING_VIOLATION)
                ++(shown ? mover->refusedWhileShown : mover->refusedWhileRemoving);
        }
        return 0;
    }
    void Stop() {
        WaitForSingleObject(thread, kThreadEndMs);
        CloseHandle(thread);
        CloseHandle(process);
    }
};

}  // namespace

// What the elevated run writes and removes by name cannot be redirected: a
// hard link planted at the log's name is replaced, not written through, and
// the archive folder cannot be moved while the run holds it.
TEST(Installer, NothingCanBeMovedOrLinkedUnderTheRun) {
    UseInstaller(L"cancel");
    SetEnv(L"ZENTROVA_STANDIN_LINGER_MS", L"1000");
    CreateDirectoryW(kRun.c_str(), nullptr);
    const std::wstring victim = WorkPath(L"victim.txt");
    WriteBytes(victim, "victim");
    ASSERT_TRUE(CreateHardLinkW(kLog.c_str(), victim.c_str(), nullptr));
    Mover mover;
    SetupRun run = RunSetup(kRun, nullptr, {}, 120000, L"", {Mover::Start, nullptr, &mover});
    mover.Stop();
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {});
    EXPECT_EQ(ReadBytes(victim), "victim");
    EXPECT_EQ(mover.moved, 0);
    EXPECT_GT(mover.refusedWhileShown, 0);
    EXPECT_GT(mover.refusedWhileRemoving, 0);
    EXPECT_TRUE(Reported("installer done=cancel"));
    EXPECT_EQ(ListFolder(kRun), std::vector<std::wstring>{L"ZentrovaSetup.exe"});
}

namespace {

// Another program opens a window of the installer's title once the
// installer runs, and the installer goes on until that window is up.
struct LateWindow {
    std::wstring hold;
    PROCESS_INFORMATION process = {};
    HANDLE opener = nullptr;
};

DWORD WINAPI OpenLateWindow(void* context) {
    LateWindow* late = static_cast<LateWindow*>(context);
    bool running = Reported("installer mode=hold");
    late->process = StartTitledWindow();
    DeleteFileW(late->hold.c_str());
    return running ? 0 : 1;
}

void StartLateWindow(const PROCESS_INFORMATION&, void* context) {
    LateWindow* late = static_cast<LateWindow*>(context);
    late->opener = CreateThread(nullptr, 0, OpenLateWindow, late, 0, nullptr);
}

}  // namespace

// Windows of the installer's title are another program's: one up from
// before the run to after it, and one that another program opens after the
// launch and leaves open. The run ends when the installer's own have gone,
// here shown by a process that the installer starts.
TEST(Installer, OnlyTheInstallersOwnWindowsAreWaitedFor) {
    UseInstaller(L"hold");
    SetEnv(L"ZENTROVA_STANDIN_CHILD", L"1");
    LateWindow late;
    late.hold = WorkPath(L"hold.txt");
    WriteBytes(late.hold, "");
    SetEnv(L"ZENTROVA_STANDIN_HOLD", late.hold.c_str());
    // Read by its title alone, which sends it nothing: it need not answer.
    HWND explorer = CreateWindowExW(0, L"STATIC", L"Zentrova Installer", WS_POPUP, 0, 0, 10, 10,
                                    nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(explorer, nullptr);
    SetupRun run = RunSetup(kRun, nullptr, {IDOK}, 120000, L"", {StartLateWindow, nullptr, &late});
    DestroyWindow(explorer);
    ASSERT_EQ(WaitForSingleObject(late.opener, kThreadEndMs), WAIT_OBJECT_0);
    DWORD opened = 1;
    GetExitCodeThread(late.opener, &opened);
    CloseHandle(late.opener);
    EXPECT_EQ(opened, 0u) << "the installer never reported";
    EXPECT_EQ(WaitForSingleObject(late.process.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the other program's window stays after the run";
    TerminateProcess(late.process.hProcess, 0);
    CloseHandle(late.process.hThread);
    CloseHandle(late.process.hProcess);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {kComplete});
    EXPECT_TRUE(Reported("app path=" + Utf8(InstalledApp())));
    EXPECT_EQ(ListFolder(kRun), std::vector<std::wstring>{L"ZentrovaSetup.exe"});
}

namespace {

const wchar_t kRemoteRun[] = L"R:\\run\\";

void RecordRemoteLog(const Box&, void* context) {
    *static_cast<std::wstring*>(context) =
        ReadLog(kRemoteRun + std::wstring(L"KSExtractorLog.txt"));
}

}  // namespace

// R: is a network drive (scripts/run-wine.sh), whose server would apply the
// descriptor against the user's rights: the archive folder goes to the
// Windows folder's Temp, which only administrators may change, and the log
// says so. The deepest folder the unpacking makes there is listed and
// removed like any other: nothing is left for the next restart.
TEST(Setup, NetworkDriveAndDeepestFolder) {
    UseInstaller(L"fail");
    wchar_t windows[MAX_PATH] = L"";
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring folder = kRemoteRun, archive = windows + std::wstring(L"\\Temp\\tmp-1");
    ASSERT_EQ(GetDriveTypeW(L"R:\\"), static_cast<UINT>(DRIVE_REMOTE));
    // The folder's path takes 252 units; its files' paths 254.
    const std::string deep(252 - archive.size() - 1, 'd');
    std::string payload =
        Payload().Demo().Compressed(deep + "\\a", "a").Compressed(deep + "\\b", "b").Bytes();
    std::wstring logAtQuestion;
    SetupRun run = RunSetup(folder, &payload, {IDCANCEL}, 120000, L"",
                            {nullptr, RecordRemoteLog, &logAtQuestion});
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {kBasic});
    EXPECT_NE(logAtQuestion.find(L"\r\nArchive folder in " + archive +
                                 L", since the program's folder is on a network drive\r\nPath=\""),
              std::wstring::npos)
        << ToBytes(logAtQuestion);
    EXPECT_EQ(ListFolder(folder), std::vector<std::wstring>{L"ZentrovaSetup.exe"});
    EXPECT_FALSE(PathExists(archive));
    EXPECT_EQ(PendingRenames().find(L"tmp-1"), std::wstring::npos) << ToBytes(PendingRenames());
}

namespace {

// Ends the session at the first error box, before anyone answers it.
void EndSessionAtTheErrorBox(const Box& box, void* context) {
    if (box.caption == L"Error") EndSessionAtTheBox(box, context);
}

}  // namespace

// No work runs while an error box waits for the user: a logoff may come,
// and it cleans up, keeping the log.
TEST(Setup, ErrorBoxLetsTheSessionEnd) {
    std::string library = DamagedLibraryPayload();
    std::string noLibeay = Payload()
                               .Library()
                               .Compressed("Zentrova.exe", ReadBytes(DemoPath(L"Zentrova.exe")))
                               .Installer()
                               .Bytes();
    const struct {
        const wchar_t* mode;
        const std::string* payload;
        std::vector<Expected> boxes;
    } failures[] = {
        {L"install", &library, {ErrorBox(L"No zip 100")}},
        {L"fail",
         &noLibeay,
         {kBasic, ErrorBox(L"Error copying application C:\\Zentrova\\libeay32.dll 2")}},
    };
    for (const auto& failure : failures) {
        UseInstaller(failure.mode);
        SessionEnd end;
        SetupRun run = RunSetup(kRun, failure.payload, {IDOK}, 120000, L"",
                                {nullptr, EndSessionAtTheErrorBox, &end});
        EXPECT_EQ(run.exitCode, 0u);
        ExpectBoxes(run, failure.boxes);
        EXPECT_TRUE(end.queryAnswered);
        EXPECT_EQ(end.queryAnswer, static_cast<DWORD_PTR>(TRUE)) << ToBytes(failure.mode);
        EXPECT_EQ(ListFolder(kRun),
                  (std::vector<std::wstring>{L"KSExtractorLog.txt", L"ZentrovaSetup.exe"}));
        DeleteFileW(kLog.c_str());
    }
}

namespace {

// System libraries that the program, or a library it loads, might look for
// beside itself. Not KERNEL32 and the C runtime, imported statically, nor
// what they import: KnownDLLs all, on Windows.
const wchar_t* const kPlantedNames[] = {
    L"advapi32",  L"apphelp",  L"bcrypt",   L"cfgmgr32", L"comctl32", L"comdlg32", L"crypt32",
    L"cryptbase", L"dbghelp",  L"dwmapi",   L"gdi32",    L"imm32",    L"msasn1",   L"msctf",
    L"netapi32",  L"ole32",    L"oleaut32", L"profapi",  L"propsys",  L"rpcrt4",   L"sechost",
    L"secur32",   L"setupapi", L"shcore",   L"shell32",  L"shlwapi",  L"sspicli",  L"user32",
    L"userenv",   L"uxtheme",  L"version",  L"win32u",   L"winmm",    L"wintrust", L"ws2_32"};

}  // namespace

// Libraries under system names in the program's folder, Downloads say, which
// Wine is told to prefer to its own: the program loads none of them, and the
// run goes as without them.
TEST(Setup, PlantedLibrariesAreNeverLoaded) {
    if (!EnvPath(L"ZENTROVA_PAYLOAD_ZLIB").empty())
        GTEST_SKIP() << "the planted libraries are of this build's kind, not the program's";
    UseInstaller(L"install");
    CreateDirectoryW(kRun.c_str(), nullptr);
    std::wstring overrides;
    for (const wchar_t* name : kPlantedNames) {
        ASSERT_TRUE(CopyFileW(BuildPath(L"fixtures\\planted.dll").c_str(),
                              (kRun + name + L".dll").c_str(), FALSE));
        overrides += (overrides.empty() ? L"" : L",") + std::wstring(name);
    }
    const std::wstring report = WorkPath(L"planted.txt");
    SetEnv(L"ZENTROVA_PLANTED_REPORT", report.c_str());
    SetEnv(L"WINEDLLOVERRIDES", (overrides + L"=n,b").c_str());
    SetupRun run = RunSetup(kRun, nullptr, {IDOK});
    SetEnv(L"WINEDLLOVERRIDES", nullptr);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {kComplete});
    EXPECT_TRUE(Reported("app path=" + Utf8(InstalledApp())));
    std::string loaded = PathExists(report) ? ReadBytes(report) : "";
    EXPECT_EQ(loaded.find("ZentrovaSetup.exe"), std::string::npos) << loaded;
}
