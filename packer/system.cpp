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
    HANDLE file = CreateFileW(Widen(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *why = temporary + ": " + SystemErrorText(GetLastError());
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
        *why = temporary + ": " + std::strerror(errno);
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
    if (WriteAll(temporary, path, parts, executable, &created, error) &&
        Replace(temporary, path, error))
        return true;
    if (created) Remove(temporary);
    return false;
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
