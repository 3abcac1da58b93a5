// Error boxes, fatal reports and the program's one exception type.
// Every text shown is written to the extraction log first.
#pragma once

#include <cstddef>

class CException {
   public:
    explicit CException(int code) : code(code) {}
    virtual ~CException() {}
    int code;  // system error code, or -1 where there is none
};

constexpr size_t kErrorFmtUnits = 1000;
constexpr size_t kSystemErrorUnits = 300;
constexpr size_t kSystemNoteUnits = 200;
constexpr size_t kFatalMessageUnits = 1000;

constexpr int kErrorDiskFull = 112;
constexpr int kErrorSharingViolation = 32;

// Error boxes: caption "Error", error icon; they return, and set the
// error-shown flag as the box shows.
void ShowErrorW(const wchar_t* text);
void ShowErrorA(const char* text);
void ShowErrorFmtW(const wchar_t* format, const wchar_t* arg);
// format takes text then code ("%s %d"); a note follows for codes 112 and 32.
void ShowSystemErrorA(const char* format, const char* text, int code);
void ShowSystemErrorW(const wchar_t* format, const wchar_t* text, int code);

// Plain boxes of the fatal reports: no icon, no error-shown flag; the log
// stays all the same.
void ShowFatalW(const wchar_t* text);
void ShowFatalA(const char* text);

// Fatal reports: a plain box, then a throw of CException* that ends the run.
[[noreturn]] void ThrowError(const char* text, int code);
[[noreturn]] void ThrowErrorText(const char* text);
void CheckOrThrow(const void* value, const char* text);
[[noreturn]] void ThrowErrorFmt(const char* format, const char* arg);
[[noreturn]] void ThrowErrorW(const wchar_t* text, const wchar_t* arg, int code);
// Destroys the previous exception object, so that only the newest lives.
[[noreturn]] void ThrowException(int code);

bool ErrorWasShown();
CException* LastException();
