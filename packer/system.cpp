#include "packer/system.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

// WriteAll writes and flushes the temporary file; *why names the file it
// failed on, and *created says whether there is one to remove.
namespace {

#ifdef _WIN32

constexpr DWORD kErrorTextBytes = 256;
// WriteFile takes at most a DWORD at a time.
constexpr size_t kWriteStepBytes = 1 << 30;

// Paths and arguments are UTF-8 inside the packer; Windows takes UTF-16.
std::wstring Widen(const std::string& text) {
    int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                    static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(units), L'\0');
    if (units > 0)
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                            static_cast<int>(text.size()), &wide[0], units);
    return wide;
}

std::string Narrow(const wchar_t* text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) return "";
    std::string narrow(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], bytes, nullptr, nullptr);
    narrow.pop_back();
    return narrow;
}

std::string SystemErrorText(DWORD code) {
    char text[kErrorTextBytes];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
    if (length == 0) return "system error " + std::to_string(code);
    return std::string(text, length);
}

bool WriteAll(const std::string& temporary, const std::string& path,
              const std::vector<ByteRange>& parts, bool, bool* created, std::string* why) {
    // Shared for deletion, so that an interruption can remove it while open.
    HANDLE file = CreateFileW(Widen(temporary).c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *why = path + ": " + SystemErrorText(GetLastError());
        return false;
    }
    *created = true;
    bool ok = true;
    for (const ByteRange& part : parts) {
        size_t written = 0;
        while (ok && written < part.size) {
            DWORD step = static_cast<DWORD>(std::min(part.size - written, kWriteStepBytes));
            DWORD done = 0;
            ok = WriteFile(file, part.data + written, step, &done, nullptr) && done == step;
            written += done;
        }
    }
    ok = ok && FlushFileBuffers(file);
    DWORD code = GetLastError();
    if (!CloseHandle(file) && ok) {
        ok = false;
        code = GetLastError();
    }
    if (!ok) *why = path + ": " + SystemErrorText(code);
    return ok;
}

bool Replace(const std::string& temporary, const std::string& path, std::string* why) {
    if (MoveFileExW(Widen(temporary).c_str(), Widen(path).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    *why = path + ": " + SystemErrorText(GetLastError());
    return false;
}

void Remove(const std::string& temporary) {
    DeleteFileW(Widen(temporary).c_str());
}

unsigned long ProcessId() {
    return GetCurrentProcessId();
}

#else

constexpr mode_t kFileMode = 0644;
constexpr mode_t kProgramMode = 0755;

bool WriteAll(const std::string& temporary, const std::string& path,
              const std::vector<ByteRange>& parts, bool executable, bool* created,
              std::string* why) {
    int file = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                    executable ? kProgramMode : kFileMode);
    if (file < 0) {
        *why = path + ": " + std::strerror(errno);
        return false;
    }
    *created = true;
    int code = 0;
    for (const ByteRange& part : parts) {
        size_t written = 0;
        while (code == 0 && written < part.size) {
            ssize_t step = write(file, part.data + written, part.size - written);
            if (step < 0 && errno == EINTR) continue;
            if (step <= 0)
                code = step < 0 ? errno : ENOSPC;
            else
                written += static_cast<size_t>(step);
        }
    }
    if (code == 0 && fsync(file) != 0) code = errno;
    if (close(file) != 0 && code == 0) code = errno;
    if (code != 0) *why = path + ": " + std::strerror(code);
    return code == 0;
}

bool Replace(const std::string& temporary, const std::string& path, std::string* why) {
    if (std::rename(temporary.c_str(), path.c_str()) == 0) return true;
    *why = path + ": " + std::strerror(errno);
    return false;
}

void Remove(const std::string& temporary) {
    unlink(temporary.c_str());
}

unsigned long ProcessId() {
    return static_cast<unsigned long>(getpid());
}

#endif

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::vector<ByteRange>& parts,
                         bool executable, std::string* error) {
    std::string temporary = path + ".tmp" + std::to_string(ProcessId());
    bool created = false;
    HoldTemporaryFile(temporary);
    bool written = WriteAll(temporary, path, parts, executable, &created, error) &&
                   Replace(temporary, path, error);
    if (!written && created) Remove(temporary);
    ReleaseTemporaryFile();
    return written;
}

#ifdef _WIN32

std::vector<std::string> ProgramArguments(int, char**) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 0; wide != nullptr && i < count; ++i) arguments.push_back(Narrow(wide[i]));
    LocalFree(wide);
    return arguments;
}

std::FILE* OpenForReading(const std::string& path) {
    return _wfopen(Widen(path).c_str(), L"rb");
}

#else

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

std::FILE* OpenForReading(const std::string& path) {
    return std::fopen(path.c_str(), "rb");
}

#endif

bool WriteFileAtomically(const std::string& path, const std::vector<unsigned char>& data,
                         std::string* error) {
    return WriteFileAtomically(path, {ByteRange{data.data(), data.size()}}, false, error);
}

// ---- Terminal, interruption and zpack's own place ----
// Its includes are here, so that changes above and here merge apart.

#include <csignal>
#include <filesystem>

#ifdef _WIN32
#include <io.h>
#else
#include <signal.h>
#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif
#endif

namespace {

// Longer temporary paths are not held: an interruption leaves them.
constexpr size_t kHeldPathBytes = 4096;
char gHeldPath[kHeldPathBytes];
volatile std::sig_atomic_t gPathHeld = 0;

}  // namespace

#ifdef _WIN32

namespace {

// GetModuleFileNameW's longest path, in UTF-16 units.
constexpr DWORD kModulePathUnits = 32768;

BOOL WINAPI OnConsoleControl(DWORD) {
    // A thread of its own runs this: it may convert and allocate.
    if (gPathHeld) DeleteFileW(Widen(gHeldPath).c_str());
    return FALSE;  // the default handler then ends the process
}

}  // namespace

bool ErrorIsTerminal() {
    DWORD mode = 0;
    return _isatty(_fileno(stderr)) && GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode);
}

std::string ExecutablePath() {
    std::vector<wchar_t> wide(kModulePathUnits);
    DWORD units = GetModuleFileNameW(nullptr, wide.data(), kModulePathUnits);
    if (units == 0 || units >= kModulePathUnits) return "";
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(units), nullptr, 0,
                                    nullptr, nullptr);
    if (bytes <= 0) return "";
    std::string path(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(units), &path[0], bytes, nullptr,
                        nullptr);
    return path;
}

void RemoveTemporaryFileOnInterrupt() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

#else

namespace {

constexpr int kInterruptSignals[] = {SIGINT, SIGTERM};

void OnInterrupt(int signal) {
    if (gPathHeld) unlink(gHeldPath);
    // SA_RESETHAND restored the default action; it ends zpack once this returns.
    raise(signal);
}

}  // namespace

bool ErrorIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

std::string ExecutablePath() {
#ifdef __APPLE__
    uint32_t bytes = 0;
    _NSGetExecutablePath(nullptr, &bytes);
    std::vector<char> path(bytes + 1, '\0');
    if (_NSGetExecutablePath(path.data(), &bytes) != 0) return "";
    return path.data();
#else
    std::error_code code;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", code);
    return code ? "" : path.string();
#endif
}

void RemoveTemporaryFileOnInterrupt() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int signal : kInterruptSignals) sigaction(signal, &action, nullptr);
}

#endif

void HoldTemporaryFile(const std::string& path) {
    gPathHeld = 0;
    if (path.size() >= kHeldPathBytes) return;
    std::memcpy(gHeldPath, path.c_str(), path.size() + 1);
    gPathHeld = 1;
}

void ReleaseTemporaryFile() {
    gPathHeld = 0;
}
