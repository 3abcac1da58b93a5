#include "tests/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>

#include "handoff/installer.h"
#include "tests_config.h"

namespace {

constexpr int kMessageTextId = 0xFFFF;
constexpr int kMessageIconId = 1088;
constexpr DWORD kScanMs = 20;
constexpr DWORD kPathUnits = 1024;
constexpr size_t kCrcTableSize = 256;
constexpr int kRgbBytes = 3;
constexpr int kPngBitDepth = 8;
constexpr int kPngTrueColour = 2;

std::wstring WindowText(HWND window) {
    wchar_t text[1024] = L"";
    GetWindowTextW(window, text, 1024);
    return text;
}

bool IsMessageBox(HWND window) {
    wchar_t className[32] = L"";
    GetClassNameW(window, className, 32);
    return wcscmp(className, L"#32770") == 0 && GetDlgItem(window, kMessageTextId) &&
           IsWindowVisible(window);
}

// Share of the 32 x 32 pixels at the icon control that differ from the icon
// drawn here over the same background.
int DifferingPixels(HDC screen, POINT at, HICON icon) {
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 32, 32);
    HGDIOBJ old = SelectObject(memory, bitmap);
    HBRUSH background = CreateSolidBrush(GetPixel(screen, at.x, at.y));
    RECT all = {0, 0, 32, 32};
    FillRect(memory, &all, background);
    DeleteObject(background);
    DrawIconEx(memory, 0, 0, icon, 32, 32, 0, nullptr, DI_NORMAL);
    int differing = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            differing += GetPixel(memory, x, y) != GetPixel(screen, at.x + x, at.y + y);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    return differing;
}

std::wstring IconOf(HWND box) {
    HWND icon = GetDlgItem(box, kMessageIconId);
    if (!icon || !IsWindowVisible(icon)) return L"none";
    HICON shown = reinterpret_cast<HICON>(SendMessageW(icon, STM_GETICON, 0, 0));
    if (!shown) return L"none";
    if (shown == LoadIconW(nullptr, IDI_HAND)) return L"error";
    if (shown == LoadIconW(nullptr, IDI_QUESTION)) return L"question";
    // Another process's icon handle means nothing here: compare what is on
    // screen instead.
    SetForegroundWindow(box);
    Sleep(50);
    POINT at = {0, 0};
    ClientToScreen(icon, &at);
    HDC screen = GetDC(nullptr);
    std::wstring kind = L"other";
    if (DifferingPixels(screen, at, LoadIconW(nullptr, IDI_HAND)) < 16)
        kind = L"error";
    else if (DifferingPixels(screen, at, LoadIconW(nullptr, IDI_QUESTION)) < 16)
        kind = L"question";
    ReleaseDC(nullptr, screen);
    return kind;
}

std::wstring ButtonsOf(HWND box) {
    static const struct {
        int id;
        const wchar_t* name;
    } kButtons[] = {{IDOK, L"OK"},       {IDCANCEL, L"Cancel"}, {IDABORT, L"Abort"},
                    {IDRETRY, L"Retry"}, {IDIGNORE, L"Ignore"}, {IDYES, L"Yes"},
                    {IDNO, L"No"}};
    std::wstring buttons;
    for (const auto& button : kButtons) {
        HWND control = GetDlgItem(box, button.id);
        if (!control || !IsWindowVisible(control)) continue;
        if (!buttons.empty()) buttons += L"|";
        buttons += button.name;
    }
    return buttons;
}

struct ScanState {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectBoxes(HWND window, LPARAM param) {
    ScanState* state = reinterpret_cast<ScanState*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == state->processId && IsMessageBox(window)) state->found.push_back(window);
    return TRUE;
}

}  // namespace

std::wstring Describe(const std::vector<Box>& boxes) {
    std::wstring out;
    for (const Box& box : boxes)
        out += L"[" + box.caption + L"] " + box.text + L" {" + box.buttons + L", " + box.icon +
               L"} -> " + box.answer + L"\n";
    return out;
}

Expected ErrorBox(const std::wstring& text) {
    return {L"Error", text, L"OK", L"error"};
}

Expected FatalBox(const std::wstring& text) {
    return {L"Error", text, L"OK", L"none"};
}

const Expected kComplete = {L"Complete", L"Do you wish to launch the application now?",
                            L"OK|Cancel", L"question"};

std::vector<Expected> NoZlibBoxes() {
    return {ErrorBox(L"No zip 100"), ErrorBox(L"No zip procs 100"),
            ErrorBox(L"Error in unzip init 101")};
}

void ExpectBoxes(const std::vector<Box>& boxes, const std::vector<Expected>& expected) {
    ASSERT_EQ(boxes.size(), expected.size()) << ToBytes(Describe(boxes));
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(boxes[i].caption, expected[i].caption) << i;
        EXPECT_EQ(boxes[i].text, expected[i].text) << i;
        EXPECT_EQ(boxes[i].buttons, expected[i].buttons) << i;
        EXPECT_EQ(boxes[i].icon, expected[i].icon) << i;
    }
}

void ExpectBoxes(const SetupRun& run, const std::vector<Expected>& expected) {
    ExpectBoxes(run.boxes, expected);
}

BoxWatcher::BoxWatcher(DWORD processId, std::vector<int> answers)
    : processId_(processId), answers_(std::move(answers)) {
    InitializeCriticalSection(&lock_);
    thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
}

BoxWatcher::~BoxWatcher() {
    Stop();
    DeleteCriticalSection(&lock_);
}

std::vector<Box> BoxWatcher::Stop() {
    if (thread_) {
        InterlockedExchange(&stop_, 1);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    return Boxes();
}

std::vector<Box> BoxWatcher::Boxes() {
    EnterCriticalSection(&lock_);
    std::vector<Box> copy = boxes_;
    LeaveCriticalSection(&lock_);
    return copy;
}

DWORD WINAPI BoxWatcher::Run(void* self) {
    BoxWatcher* watcher = static_cast<BoxWatcher*>(self);
    while (!watcher->stop_) {
        watcher->Scan();
        Sleep(kScanMs);
    }
    return 0;
}

void BoxWatcher::Scan() {
    ScanState state{processId_, {}};
    EnumWindows(CollectBoxes, reinterpret_cast<LPARAM>(&state));
    for (size_t i = 0; i < answered_.size();)
        if (!IsWindow(answered_[i]))
            answered_.erase(answered_.begin() + static_cast<long>(i));
        else
            ++i;
    for (HWND window : state.found) {
        bool seen = false;
        for (HWND done : answered_) seen = seen || done == window;
        if (seen) continue;
        Box box;
        box.caption = WindowText(window);
        box.text = WindowText(GetDlgItem(window, kMessageTextId));
        box.buttons = ButtonsOf(window);
        box.icon = IconOf(window);
        int answer = nextAnswer_ < answers_.size() ? answers_[nextAnswer_++] : IDOK;
        box.answer = answer == IDOK ? L"OK" : answer == IDCANCEL ? L"Cancel" : L"?";
        if (onBox) onBox(box, context);
        EnterCriticalSection(&lock_);
        boxes_.push_back(box);
        LeaveCriticalSection(&lock_);
        answered_.push_back(window);
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(window, answer)));
    }
}

std::string ReadBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot read " << ToBytes(path);
        return {};
    }
    std::string bytes(GetFileSize(file, nullptr), '\0');
    DWORD got = 0;
    if (!bytes.empty()) ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr);
    CloseHandle(file);
    bytes.resize(got);
    return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot write " << ToBytes(path);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_EQ(written, bytes.size());
}

bool PathExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring FromBytes(const std::string& utf16) {
    std::wstring text(utf16.size() / 2, L'\0');
    if (!text.empty()) memcpy(&text[0], utf16.data(), text.size() * 2);
    return text;
}

std::string ToBytes(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

std::wstring ReadLog(const std::wstring& path) {
    std::string bytes = ReadBytes(path);
    if (bytes.size() < 2 || bytes[0] != '\xFF' || bytes[1] != '\xFE') {
        ADD_FAILURE() << "no byte-order mark in " << ToBytes(path);
        return {};
    }
    return FromBytes(bytes.substr(2));
}

std::wstring BuildPath(const wchar_t* relative) {
    return std::wstring(ZENTROVA_BUILD_DIR) + L"\\" + relative;
}

std::wstring DemoPath(const wchar_t* name) {
    return BuildPath(L"demo\\") + name;
}

std::wstring WorkFolder() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    *wcsrchr(path, L'\\') = 0;
    return std::wstring(path) + L"\\";
}

std::wstring WorkPath(const wchar_t* relative) {
    return WorkFolder() + relative;
}

namespace {

struct StatusSearch {
    DWORD processId;
    bool shown;
    HWND found;
};

BOOL CALLBACK MatchStatus(HWND window, LPARAM param) {
    StatusSearch* search = reinterpret_cast<StatusSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    bool ours = search->processId == kOtherProcess ? owner != GetCurrentProcessId()
                                                   : owner == search->processId;
    if (!ours || WindowText(window) != L"Status" || (search->shown && !IsWindowVisible(window)))
        return TRUE;
    search->found = window;
    return FALSE;
}

}  // namespace

HWND FindStatusWindow(DWORD processId, bool shown) {
    StatusSearch search{processId, shown, nullptr};
    EnumWindows(MatchStatus, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string Compress(const std::string& data) {
    typedef int (*Compress2)(unsigned char*, unsigned long*, const unsigned char*, unsigned long,
                             int);
    typedef unsigned long (*CompressBound)(unsigned long);
    // Under another name: a loaded "zlib1.dll" would stand in for the one
    // that the code under test loads.
    static HMODULE zlib = [] {
        std::wstring copy = WorkFolder() + L"zlib-for-tests.dll";
        CopyFileW(DemoPath(L"zlib1.dll").c_str(), copy.c_str(), FALSE);
        return LoadLibraryW(copy.c_str());
    }();
    if (!zlib) {
        ADD_FAILURE() << "no zlib1.dll in the demo folder";
        return {};
    }
    auto compress2 =
        reinterpret_cast<Compress2>(reinterpret_cast<void*>(GetProcAddress(zlib, "compress2")));
    auto bound = reinterpret_cast<CompressBound>(
        reinterpret_cast<void*>(GetProcAddress(zlib, "compressBound")));
    unsigned long size = bound(static_cast<unsigned long>(data.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<unsigned char*>(&out[0]), &size,
              reinterpret_cast<const unsigned char*>(data.data()),
              static_cast<unsigned long>(data.size()), 9);
    out.resize(size);
    return out;
}

std::string StoredStream(const std::string& data) {
    std::string out("\x78\x01", 2);
    size_t at = 0;
    do {
        size_t length = std::min<size_t>(data.size() - at, 65535);
        bool last = at + length == data.size();
        out += static_cast<char>(last ? 1 : 0);
        uint16_t size = static_cast<uint16_t>(length);
        uint16_t inverse = static_cast<uint16_t>(~size);
        out += {static_cast<char>(size), static_cast<char>(size >> 8), static_cast<char>(inverse),
                static_cast<char>(inverse >> 8)};
        out += data.substr(at, length);
        at += length;
    } while (at < data.size());
    uint32_t a = 1, b = 0;
    for (unsigned char c : data) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    uint32_t adler = b << 16 | a;
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(adler >> shift);
    return out;
}

namespace {

uint32_t Crc32(const std::string& bytes) {
    static uint32_t table[kCrcTableSize];
    if (!table[1])
        for (uint32_t n = 0; n < kCrcTableSize; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

void PutBigEndian(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(value >> shift);
}

void PutChunk(std::string& png, const char* type, const std::string& data) {
    PutBigEndian(png, static_cast<uint32_t>(data.size()));
    std::string typed = std::string(type, 4) + data;
    png += typed;
    PutBigEndian(png, Crc32(typed));
}

}  // namespace

std::string PngBytes(int width, int height, const std::string& rgb) {
    size_t row = static_cast<size_t>(width) * kRgbBytes;
    if (width <= 0 || height <= 0 || rgb.size() != row * height) {
        ADD_FAILURE() << "no pixels for a " << width << " x " << height << " picture";
        return {};
    }
    std::string header;
    PutBigEndian(header, static_cast<uint32_t>(width));
    PutBigEndian(header, static_cast<uint32_t>(height));
    header += {static_cast<char>(kPngBitDepth), static_cast<char>(kPngTrueColour), 0, 0, 0};
    std::string filtered;
    for (int y = 0; y < height; ++y) {
        filtered += '\0';  // filter type None
        filtered.append(rgb, y * row, row);
    }
    std::string png("\x89PNG\r\n\x1a\n", 8);
    PutChunk(png, "IHDR", header);
    PutChunk(png, "IDAT", Compress(filtered));
    PutChunk(png, "IEND", "");
    return png;
}

Payload& Payload::Raw(const std::string& name, const std::string& data) {
    auto put32 = [this](uint32_t value) {
        for (int i = 0; i < 4; ++i) entries_ += static_cast<char>(value >> (8 * i));
    };
    put32(static_cast<uint32_t>(data.size()));
    put32(static_cast<uint32_t>(name.size()));
    entries_ += name;
    entries_ += data;
    return *this;
}

Payload& Payload::Stored(const std::string& name, const std::string& data) {
    return Raw(name, data);
}

Payload& Payload::Compressed(const std::string& name, const std::string& data) {
    return Raw(name, Compress(data));
}

Payload& Payload::Library() {
    return Stored("zlib1.dll", ReadBytes(PayloadZlib()));
}

Payload& Payload::Installer() {
    return Compressed("InstallZentrova.exe", ReadBytes(DemoPath(L"InstallZentrova.exe")));
}

Payload& Payload::Demo(const std::wstring& installer) {
    Library();
    for (const wchar_t* name : {L"Zentrova.exe", L"Licence.txt", L"Uninstall.exe",
                                L"InstallZentrova.exe", L"libeay32.dll", L"libssl32.dll"}) {
        std::wstring wide(name);
        bool replaced = !installer.empty() && wide == L"InstallZentrova.exe";
        Compressed(std::string(wide.begin(), wide.end()),
                   ReadBytes(replaced ? installer : DemoPath(name)));
    }
    return *this;
}

std::string Payload::Bytes() const {
    std::string bytes = entries_;
    uint32_t total = static_cast<uint32_t>(entries_.size());
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>(total >> (8 * i));
    return bytes;
}

void SetEnv(const wchar_t* name, const wchar_t* value) {
    SetEnvironmentVariableW(name, value);
}

std::vector<std::wstring> ListFolder(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (wcscmp(data.cFileName, L".") && wcscmp(data.cFileName, L".."))
            names.push_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

std::wstring EnvPath(const wchar_t* name) {
    wchar_t path[kPathUnits] = L"";
    DWORD units = GetEnvironmentVariableW(name, path, kPathUnits);
    return units > 0 && units < kPathUnits ? path : L"";
}

std::wstring SetupProgram() {
    std::wstring path = EnvPath(L"ZENTROVA_SETUP_EXE");
    return path.empty() ? BuildPath(L"ZentrovaSetup.exe") : path;
}

std::wstring PayloadZlib() {
    std::wstring path = EnvPath(L"ZENTROVA_PAYLOAD_ZLIB");
    return path.empty() ? DemoPath(L"zlib1.dll") : path;
}

std::wstring CopySetup(const std::wstring& folder, const std::string* payload) {
    CreateDirectoryW(folder.c_str(), nullptr);
    std::wstring exe = folder + (folder.back() == L'\\' ? L"" : L"\\") + L"ZentrovaSetup.exe";
    if (!CopyFileW(SetupProgram().c_str(), exe.c_str(), FALSE)) {
        ADD_FAILURE() << "cannot copy the setup program: " << GetLastError();
        return L"";
    }
    static const std::string demo =
        EnvPath(L"ZENTROVA_PAYLOAD_ZLIB").empty() ? "" : Payload().Demo().Bytes();
    if (!payload && !demo.empty()) payload = &demo;
    if (payload) {
        HANDLE update = BeginUpdateResourceW(exe.c_str(), FALSE);
        bool remove = *payload == "-";
        UpdateResourceW(update, RT_RCDATA, MAKEINTRESOURCEW(100),
                        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK),
                        remove ? nullptr : const_cast<char*>(payload->data()),
                        remove ? 0 : static_cast<DWORD>(payload->size()));
        if (!EndUpdateResourceW(update, FALSE)) {
            ADD_FAILURE() << "cannot replace the payload";
            return L"";
        }
    }
    return exe;
}

SetupRun RunSetup(const std::wstring& folder, const std::string* payload, std::vector<int> answers,
                  DWORD timeoutMs, const std::wstring& startFolder, const RunHooks& hooks) {
    SetupRun run;
    auto withBackslash = [](const std::wstring& path) {
        return path.back() == L'\\' ? path : path + L"\\";
    };
    run.folder = withBackslash(folder);
    std::wstring exe = CopySetup(run.folder, payload);
    if (exe.empty()) return run;
    if (!startFolder.empty()) {
        run.folder = withBackslash(startFolder);
        exe = run.folder + L"ZentrovaSetup.exe";
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        run.folder.c_str(), &startup, &process)) {
        ADD_FAILURE() << "cannot start the setup program: " << GetLastError();
        return run;
    }
    if (hooks.started) hooks.started(process, hooks.context);
    BoxWatcher watcher(process.dwProcessId, std::move(answers));
    watcher.onBox = hooks.onBox;
    watcher.context = hooks.context;
    if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the setup program did not end within " << timeoutMs << " ms";
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    watcher.Stop();
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    run.boxes = watcher.Boxes();
    return run;
}

std::wstring PendingRenames() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return L"";
    wchar_t value[4096] = L"";
    DWORD size = sizeof value - sizeof(wchar_t);
    RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr,
                     reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    std::wstring all(value, size / sizeof(wchar_t));
    for (wchar_t& c : all) c = c ? towlower(c) : L'|';
    return all;
}

namespace {

constexpr DWORD kTitledWindowWaitMs = 30000;
constexpr DWORD kTitledWindowPollMs = 20;

bool HasTitledWindow(DWORD processId) {
    for (HWND window = FindWindowA(nullptr, kInstallerTitle); window;
         window = FindWindowExA(nullptr, window, nullptr, kInstallerTitle)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId) return true;
    }
    return false;
}

}  // namespace

PROCESS_INFORMATION StartTitledWindow() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" " + kTitledWindowArgument;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(self, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        ADD_FAILURE() << "cannot start the titled window: " << GetLastError();
        return process;
    }
    for (DWORD start = GetTickCount(); !HasTitledWindow(process.dwProcessId);
         Sleep(kTitledWindowPollMs))
        if (GetTickCount() - start >= kTitledWindowWaitMs) {
            ADD_FAILURE() << "the titled window did not show";
            break;
        }
    return process;
}

int ShowTitledWindow() {
    CreateWindowExA(0, "STATIC", kInstallerTitle, WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                    GetModuleHandleW(nullptr), nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}
