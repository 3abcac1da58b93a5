// Bounded text operations: every result is terminated and never written
// past the capacity given, which counts units including the terminator.
#pragma once

#include <cstdarg>
#include <cstddef>

// Copies or appends as much as fits. Returns false when src was cut short.
bool CopyText(wchar_t* dst, size_t capacity, const wchar_t* src);
bool AppendText(wchar_t* dst, size_t capacity, const wchar_t* src);
bool CopyTextA(char* dst, size_t capacity, const char* src);

// printf-style formatting ("%s" takes a string of the format's own width).
// A result too long for the buffer is cut at the capacity; returns false then.
bool FormatW(wchar_t* dst, size_t capacity, const wchar_t* format, ...);
bool FormatA(char* dst, size_t capacity, const char* format, ...);
bool FormatListW(wchar_t* dst, size_t capacity, const wchar_t* format, va_list args);

// Bytes become code units by sign extension, as the payload's names do:
// 0xE9 gives 0xFFE9. No code page is applied.
void WidenBytes(wchar_t* dst, size_t capacity, const char* src);
