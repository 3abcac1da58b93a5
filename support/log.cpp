#include "support/log.h"

#include <windows.h>

#include <cstdarg>

#include "support/errors.h"
#include "support/paths.h"
#include "support/text.h"

namespace {

wchar_t logPath[kLogPathUnits];
HANDLE logHandle = INVALID_HANDLE_VALUE;
bool logAttempted = false;
bool logKept = false;

const wchar_t kLineEnd[] = L"\r\n";
constexpr size_t kLineEndUnits = 2;
constexpr int kErrorFilenameTooLong = ERROR_FILENAME_EXCED_RANGE;

void WriteUnits(const wchar_t* units, size_t count) {
    DWORD written;
    WriteFile(logHandle, units, static_cast<DWORD>(count * sizeof(wchar_t)), &written, nullptr);
}

// The program's folder is the user's: whatever is at the name is replaced,
// never opened, since a link there would have the elevated program write
// through it. INVALID_HANDLE_VALUE with the last error set on failure.
HANDLE CreateLogFile() {
    if (!DeleteFileW(logPath) && GetLastError() != ERROR_FILE_NOT_FOUND)
        return INVALID_HANDLE_VALUE;
    HANDLE file =
        CreateFileW(logPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return file;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(file, &info) && info.nNumberOfLinks == 1) return file;
    // Another name given to it meanwhile: another's file from now on.
    CloseHandle(file);
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

void CreateLog(const wchar_t* folder) {
    if (logAttempted) return;
    bool fits = CopyText(logPath, kLogPathUnits, folder);
    AddBackslash(logPath, kLogPathUnits);
    fits = AppendText(logPath, kLogPathUnits, kLogFileName) && fits;
    logAttempted = true;
    if (!fits) {
        // A cut-short path would name some other file.
        ShowSystemErrorW(L"Error creating log file %s %d", logPath, kErrorFilenameTooLong);
        return;
    }
    HANDLE file = CreateLogFile();
    if (file == INVALID_HANDLE_VALUE) {
        int error = static_cast<int>(GetLastError());
        ShowSystemErrorW(L"Error creating log file %s %d", logPath, error);
        return;
    }
    logHandle = file;
    static const unsigned char kByteOrderMark[] = {0xFF, 0xFE};
    DWORD written;
    WriteFile(logHandle, kByteOrderMark, sizeof kByteOrderMark, &written, nullptr);
    LogLineW(logPath);
}

void LogLineW(const wchar_t* text) {
    if (logHandle == INVALID_HANDLE_VALUE && !logAttempted) {
        logAttempted = true;
        ShowErrorA("No log file");
    }
    if (logHandle == INVALID_HANDLE_VALUE) return;
    size_t length = 0;
    while (text[length]) ++length;
    // An empty text still makes a line of its own.
    bool endsWithLf = length > 0 && text[length - 1] == L'\n';
    // One write per line where the line fits, since each write reaches the disk.
    wchar_t line[kLogLineUnits + kLineEndUnits];
    if (!endsWithLf && length <= kLogLineUnits) {
        for (size_t i = 0; i < length; ++i) line[i] = text[i];
        line[length] = kLineEnd[0];
        line[length + 1] = kLineEnd[1];
        WriteUnits(line, length + kLineEndUnits);
    } else {
        WriteUnits(text, length);
        if (!endsWithLf) WriteUnits(kLineEnd, kLineEndUnits);
    }
    FlushFileBuffers(logHandle);
}

void LogLineA(const char* text) {
    wchar_t wide[kLogLineUnits];
    WidenBytes(wide, kLogLineUnits, text);
    LogLineW(wide);
}

void LogFormatW(const wchar_t* format, ...) {
    wchar_t line[kLogLineUnits];
    va_list args;
    va_start(args, format);
    FormatListW(line, kLogLineUnits, format, args);
    va_end(args);
    LogLineW(line);
}

void KeepLog() {
    logKept = true;
}

void CloseAndDeleteLog() {
    if (logHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(logHandle);
        logHandle = INVALID_HANDLE_VALUE;
    }
    if (ErrorWasShown() || logKept) return;
    if (!DeleteFileW(logPath)) {
        int error = static_cast<int>(GetLastError());
        // The log is closed by now; a debugger is the only listener left.
        wchar_t message[kLogLineUnits];
        FormatW(message, kLogLineUnits, L"Error deleting log %s %d", logPath, error);
        OutputDebugStringW(message);
    }
}
