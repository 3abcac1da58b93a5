// Test helpers: answering and checking message boxes, files and logs,
// payloads, the Status window, and running the setup program as a child
// process.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// Message box as the user sees it.
struct Box {
    std::wstring caption;
    std::wstring text;
    std::wstring buttons;  // "OK" or "OK|Cancel"
    std::wstring icon;     // "error", "question", "none" or "other"
    std::wstring answer;   // what the watcher pressed
};
std::wstring Describe(const std::vector<Box>& boxes);

// A message box as a test expects to see it.
struct Expected {
    std::wstring caption;
    std::wstring text;
    std::wstring buttons;
    std::wstring icon;
};
// An error shown to the user, and a fatal report, which ends the work.
Expected ErrorBox(const std::wstring& text);
Expected FatalBox(const std::wstring& text);
// The question after an install; its answer starts the application.
extern const Expected kComplete;
// What a zlib1.dll that does not load shows: no library, no functions, no
// stream.
std::vector<Expected> NoZlibBoxes();
// Fails the test unless boxes are the expected ones, in order.
void ExpectBoxes(const std::vector<Box>& boxes, const std::vector<Expected>& expected);

// Watches for message boxes of one process from its own thread and answers
// each with the next scripted answer (IDOK or IDCANCEL), OK once the script
// has run out.
class BoxWatcher {
   public:
    explicit BoxWatcher(DWORD processId = GetCurrentProcessId(), std::vector<int> answers = {});
    ~BoxWatcher();
    // Stops watching; returns the boxes seen, as Boxes does.
    std::vector<Box> Stop();
    std::vector<Box> Boxes();
    // Called, on the watcher's thread, when a box has been read and before
    // it is answered.
    void (*onBox)(const Box& box, void* context) = nullptr;
    void* context = nullptr;

   private:
    static DWORD WINAPI Run(void* self);
    void Scan();
    DWORD processId_;
    std::vector<int> answers_;
    size_t nextAnswer_ = 0;
    std::vector<Box> boxes_;
    std::vector<HWND> answered_;
    CRITICAL_SECTION lock_;
    HANDLE thread_ = nullptr;
    volatile LONG stop_ = 0;
};

std::string ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
bool PathExists(const std::wstring& path);
// A log's text after its byte-order mark; fails the test when there is none.
std::wstring ReadLog(const std::wstring& path);
std::wstring FromBytes(const std::string& utf16);
std::string ToBytes(const std::wstring& text);

// Where the build put what the tests use (Windows paths under Z:).
std::wstring BuildPath(const wchar_t* relative);
std::wstring DemoPath(const wchar_t* name);
// The private folder on C: that this test process runs in, with "\", and a
// path in it.
std::wstring WorkFolder();
std::wstring WorkPath(const wchar_t* relative);

// The "Status" window of process processId (of any process but this one when
// processId is kOtherProcess), on screen or, unless shown, hidden; nullptr
// when there is none.
constexpr DWORD kOtherProcess = 0;
HWND FindStatusWindow(DWORD processId, bool shown = false);

// Payload archives built in memory; compressed entries at level 9 through
// the demo's zlib1.dll.
class Payload {
   public:
    Payload& Stored(const std::string& name, const std::string& data);
    Payload& Compressed(const std::string& name, const std::string& data);
    Payload& Raw(const std::string& name, const std::string& data);  // data as is
    Payload& Library();    // the stored zlib1.dll that the setup program loads
    Payload& Installer();  // the stand-in installer
    // The seven demo entries, zlib1.dll first, with installer (a Windows
    // path) in the stand-in installer's place when given.
    Payload& Demo(const std::wstring& installer = L"");
    std::string Bytes() const;  // entries plus trailer

   private:
    std::string entries_;
};
std::string Compress(const std::string& data);
// A zlib stream of stored blocks, made without loading any zlib1.dll into
// this process (one loaded here would be reused by the code under test).
std::string StoredStream(const std::string& data);

// A PNG file of 24-bit pixels given as top-down rows of R, G, B bytes.
std::string PngBytes(int width, int height, const std::string& rgb);

// Another program with a window of the installer's title: this test program
// run once more, with kTitledWindowArgument. Returns once the window is up;
// it stays until the process is ended.
PROCESS_INFORMATION StartTitledWindow();
constexpr wchar_t kTitledWindowArgument[] = L"--installer-titled-window";
// What that process runs.
int ShowTitledWindow();

// A Windows path from the environment, or "" when the variable is unset.
std::wstring EnvPath(const wchar_t* name);
// The setup program that RunSetup copies: the Windows path in
// ZENTROVA_SETUP_EXE when set (a signed release build, say), else this build's.
std::wstring SetupProgram();
// The zlib1.dll that payloads carry for the setup program to load: the
// Windows path in ZENTROVA_PAYLOAD_ZLIB when set, where that program is of
// another bitness than these tests, else the demo's.
std::wstring PayloadZlib();

struct SetupRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::vector<Box> boxes;
    std::wstring folder;  // where the setup program ran, with "\"
};
// Copies the setup program into folder (created) and replaces its payload
// when payload is given (deletes it when payload is "-"). With
// ZENTROVA_PAYLOAD_ZLIB set, a program given no payload gets the demo's
// files with that library: its own would be of its bitness throughout.
// Returns the copy's path, empty after a failure.
std::wstring CopySetup(const std::wstring& folder, const std::string* payload = nullptr);
// Fails the test unless the run showed the expected boxes, in order.
void ExpectBoxes(const SetupRun& run, const std::vector<Expected>& expected);
// What a test does during a run: started is called as soon as the process
// exists, onBox as BoxWatcher's is; both get context.
struct RunHooks {
    void (*started)(const PROCESS_INFORMATION& process, void* context) = nullptr;
    void (*onBox)(const Box& box, void* context) = nullptr;
    void* context = nullptr;
};
// Copies the setup program as CopySetup does, runs it to the end with the
// scripted answers and returns what happened. startFolder, when given, is
// another view of folder to start the program from.
SetupRun RunSetup(const std::wstring& folder, const std::string* payload = nullptr,
                  std::vector<int> answers = {}, DWORD timeoutMs = 120000,
                  const std::wstring& startFolder = L"", const RunHooks& hooks = {});
void SetEnv(const wchar_t* name, const wchar_t* value);
std::vector<std::wstring> ListFolder(const std::wstring& folder);
// What is to be deleted at the next restart, lower case, each name ended by "||".
std::wstring PendingRenames();
