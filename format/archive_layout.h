// The payload archive's layout, and the little-endian numbers that it and
// PE files store. Free of Windows: the front end, the packer and the
// benchmark all read the archive through it.
#pragma once

#include <cstdint>

// Each entry: its header (the data's size, then the name's size), the name
// without a 0 byte, then the data.
constexpr int32_t kEntryHeaderBytes = 8;
constexpr int32_t kEntryFileSizeOffset = 0;
constexpr int32_t kEntryNameSizeOffset = 4;
// Longest entry name in bytes; the name buffer holds it plus a 0 byte.
constexpr uint32_t kMaxEntryNameBytes = 255;
// The only entry kept as is; it must precede every compressed entry.
constexpr char kStoredEntryName[] = "zlib1.dll";
// After the last entry, the entries' total length; the walk leaves it out.
constexpr int32_t kTrailerBytes = 4;
// The front end walks with a signed 32-bit length, trailer included.
constexpr uint64_t kMaxArchiveBytes = INT32_MAX;

// Whether length bytes at offset lie within size; 64-bit, so that no sum of
// 32-bit file fields wraps.
inline bool Fits(uint64_t offset, uint64_t length, uint64_t size) {
    return offset <= size && length <= size - offset;
}

// The caller has checked the bounds.
inline uint16_t Le16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline uint32_t Le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void PutLe16(unsigned char* p, uint16_t value) {
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
}

inline void PutLe32(unsigned char* p, uint32_t value) {
    PutLe16(p, static_cast<uint16_t>(value));
    PutLe16(p + 2, static_cast<uint16_t>(value >> 16));
}
