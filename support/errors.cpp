#include "support/errors.h"

#include <windows.h>

#include <new>

#include "support/log.h"
#include "support/session.h"
#include "support/text.h"

namespace {

const char kCaptionA[] = "Error";
const wchar_t kCaptionW[] = L"Error";

bool errorShown = false;
CException* lastException = nullptr;

const char* NoteA(int code) {
    if (code == kErrorDiskFull) return ", The selected disk is full";
    if (code == kErrorSharingViolation) return ", Quit the application before installing";
    return "";
}

const wchar_t* NoteW(int code) {
    if (code == kErrorDiskFull) return L", The selected disk is full";
    if (code == kErrorSharingViolation) return L", Quit the application before installing";
    return L"";
}

}  // namespace

// The flags are set before the box: a session may end while it is up, and
// the log is then all that tells why the run failed.
void ShowErrorW(const wchar_t* text) {
    LogLineW(text);
    errorShown = true;
    SessionHoldPause pause;
    MessageBoxW(nullptr, text, kCaptionW, MB_OK | MB_ICONERROR);
}

void ShowErrorA(const char* text) {
    LogLineA(text);
    errorShown = true;
    SessionHoldPause pause;
    MessageBoxA(nullptr, text, kCaptionA, MB_OK | MB_ICONERROR);
}

void ShowFatalW(const wchar_t* text) {
    LogLineW(text);
    KeepLog();
    SessionHoldPause pause;
    MessageBoxW(nullptr, text, kCaptionW, MB_OK);
}

void ShowFatalA(const char* text) {
    LogLineA(text);
    KeepLog();
    SessionHoldPause pause;
    MessageBoxA(nullptr, text, kCaptionA, MB_OK);
}

void ShowErrorFmtW(const wchar_t* format, const wchar_t* arg) {
    wchar_t message[kErrorFmtUnits];
    FormatW(message, kErrorFmtUnits, format, arg);
    ShowErrorW(message);
}

void ShowSystemErrorA(const char* format, const char* text, int code) {
    char note[kSystemNoteUnits];
    CopyTextA(note, kSystemNoteUnits, NoteA(code));
    char message[kSystemErrorUnits];
    FormatA(message, kSystemErrorUnits, format, text, code);
    // The note goes after as much of the message as fits.
    size_t used = 0;
    while (message[used]) ++used;
    CopyTextA(message + used, kSystemErrorUnits - used, note);
    ShowErrorA(message);
}

void ShowSystemErrorW(const wchar_t* format, const wchar_t* text, int code) {
    wchar_t note[kSystemNoteUnits];
    CopyText(note, kSystemNoteUnits, NoteW(code));
    wchar_t message[kSystemErrorUnits];
    FormatW(message, kSystemErrorUnits, format, text, code);
    AppendText(message, kSystemErrorUnits, note);
    ShowErrorW(message);
}

void ThrowError(const char* text, int code) {
    char message[kFatalMessageUnits];
    FormatA(message, kFatalMessageUnits, "%s Error=%d", text, code);
    ShowFatalA(message);
    ThrowException(code);
}

void ThrowErrorText(const char* text) {
    ThrowError(text, -1);
}

void CheckOrThrow(const void* value, const char* text) {
    if (!value) ThrowErrorText(text);
}

void ThrowErrorFmt(const char* format, const char* arg) {
    char message[kFatalMessageUnits];
    FormatA(message, kFatalMessageUnits, format, arg);
    ShowFatalA(message);
    ThrowException(-1);
}

void ThrowErrorW(const wchar_t* text, const wchar_t* arg, int code) {
    wchar_t message[kFatalMessageUnits];
    FormatW(message, kFatalMessageUnits, L"%s %s Error=%d", text, arg, code);
    ShowFatalW(message);
    ThrowException(code);
}

void ThrowException(int code) {
    delete lastException;
    lastException = new (std::nothrow) CException(code);
    throw lastException;
}

bool ErrorWasShown() {
    return errorShown;
}

CException* LastException() {
    return lastException;
}
