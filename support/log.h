// The extraction log: UTF-16LE with a byte-order mark, one line per call,
// each written through to disk at once so that it survives a crash.
#pragma once

#include <cstddef>

#include "format/capacities.h"

constexpr size_t kLogLineUnits = 1000;
constexpr wchar_t kLogFileName[] = L"KSExtractorLog.txt";

// Creates the log in folder, once per run; later calls do nothing.
void CreateLog(const wchar_t* folder);
void LogLineW(const wchar_t* text);
void LogLineA(const char* text);
// One wide-string argument, two, or a wide string and an int.
void LogFormatW(const wchar_t* format, ...);
// Deletes the log unless an error box was shown during the run, or a
// failure was reported otherwise (KeepLog).
void CloseAndDeleteLog();
// For failures reported without an error box: a fatal report, a payload
// that cannot be found. Their run ends without closing the log, but a
// session that ends meanwhile closes it.
void KeepLog();
