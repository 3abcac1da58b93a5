#include "support/text.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

namespace {

bool CopyUnits(wchar_t* dst, size_t capacity, size_t at, const wchar_t* src) {
    if (capacity == 0) return false;
    while (at + 1 < capacity && *src) dst[at++] = *src++;
    dst[at] = 0;
    return *src == 0;
}

}  // namespace

bool CopyText(wchar_t* dst, size_t capacity, const wchar_t* src) {
    return CopyUnits(dst, capacity, 0, src);
}

bool AppendText(wchar_t* dst, size_t capacity, const wchar_t* src) {
    size_t at = 0;
    while (at < capacity && dst[at]) ++at;
    if (at == capacity) return false;
    return CopyUnits(dst, capacity, at, src);
}

bool CopyTextA(char* dst, size_t capacity, const char* src) {
    if (capacity == 0) return false;
    size_t at = 0;
    while (at + 1 < capacity && *src) dst[at++] = *src++;
    dst[at] = 0;
    return *src == 0;
}

bool FormatListW(wchar_t* dst, size_t capacity, const wchar_t* format, va_list args) {
    if (capacity == 0) return false;
    // The CRT leaves a cut-short result unterminated and returns -1.
    int n = _vsnwprintf(dst, capacity, format, args);
    dst[capacity - 1] = 0;
    return n >= 0 && static_cast<size_t>(n) < capacity;
}

bool FormatW(wchar_t* dst, size_t capacity, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    bool fits = FormatListW(dst, capacity, format, args);
    va_end(args);
    return fits;
}

bool FormatA(char* dst, size_t capacity, const char* format, ...) {
    if (capacity == 0) return false;
    va_list args;
    va_start(args, format);
    int n = _vsnprintf(dst, capacity, format, args);
    va_end(args);
    dst[capacity - 1] = 0;
    return n >= 0 && static_cast<size_t>(n) < capacity;
}

void WidenBytes(wchar_t* dst, size_t capacity, const char* src) {
    if (capacity == 0) return;
    size_t at = 0;
    while (at + 1 < capacity && src[at]) {
        dst[at] = static_cast<wchar_t>(static_cast<signed char>(src[at]));
        ++at;
    }
    dst[at] = 0;
}
