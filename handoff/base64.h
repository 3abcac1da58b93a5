// Base64 (RFC 4648, with padding, no line breaks) of UTF-16LE text.
// Free of Windows so that it builds natively.
#pragma once

#include <cstddef>

// Characters, terminator included, that Base64Encode needs for units code units.
constexpr size_t Base64EncodedSize(size_t units) {
    return (2 * units + 2) / 3 * 4 + 1;
}

// Encodes the 2 * units bytes at data, low byte of each unit first as stored,
// into output and ends it with a 0 byte. Returns false, leaving output empty,
// when capacity is below Base64EncodedSize(units).
bool Base64Encode(char* output, size_t capacity, const void* data, size_t units);
