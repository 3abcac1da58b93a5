// Reads as much of a PE file as the Windows loader and GetProcAddress look
// at to bind the front end's zlib1.dll. Every offset, size and count in the
// file is untrusted and checked against the file before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "extract/format.h"

constexpr uint16_t kPeMachineI386 = 0x14C;
constexpr uint16_t kPeMachineAmd64 = 0x8664;
constexpr uint16_t kPeMachineArm64 = 0xAA64;
constexpr uint16_t kPeMachineArm = 0x1C4;
constexpr uint16_t kPeFileDll = 0x2000;  // IMAGE_FILE_DLL
constexpr uint16_t kPeMagic32 = 0x10B;   // PE32
constexpr uint16_t kPeMagic64 = 0x20B;   // PE32+
// The Windows loader refuses an image of more sections.
constexpr uint32_t kMaxPeSections = 96;
// Far above the ~90 names a zlib build exports; bounds the walk.
constexpr uint32_t kMaxPeExportNames = 1 << 16;

// Whether length bytes at offset lie within size; 64-bit, so that no sum of
// 32-bit file fields wraps.
bool Fits(uint64_t offset, uint64_t length, uint64_t size);
// "0x1A2B", for faults that name an offset or a field.
std::string Hex(uint64_t value);
// A fault in the file's structure, worded alike wherever it is found.
std::string Damaged(const std::string& why);

// The fifteen names the front end's compression binding looks up.
constexpr size_t kZlibExportCount = 15;
extern const char* const kZlibExportNames[kZlibExportCount];

struct PeSection {
    uint32_t virtualAddress;
    uint32_t mappedSize;  // bytes the file supplies from rawOffset on
    uint32_t rawOffset;
    uint32_t rawSize;
    uint32_t virtualSize;
    uint32_t characteristics;
    std::string name;  // up to its first 0 byte, 8 bytes at most
};

struct PeHeaders {
    uint16_t machine;
    uint16_t characteristics;
    uint16_t magic;                   // 0 when the optional header is too short to hold it
    uint32_t exportRva;               // 0 when the image has no export directory
    std::vector<PeSection> sections;  // each lies within the file
    uint64_t optionalOffset;          // where the optional header starts in the file
    uint64_t optionalSize;            // its size as the COFF header gives it
    uint64_t sectionTable;            // where the section table starts in the file
};

// Reads the headers and the section table. False, saying why in *fault,
// when data is not a PE file or its headers run past its end.
bool ReadPeHeaders(const unsigned char* data, size_t size, PeHeaders* headers, std::string* fault);

// Sets found[i] when the image exports wanted[i] by name, bound to a
// function. False, saying why in *fault, when its export tables do not lie
// within its sections.
bool FindPeExports(const unsigned char* data, size_t size, const PeHeaders& headers,
                   const char* const* wanted, size_t count, bool* found, std::string* fault);

// Why data cannot be the zlib1.dll that the 32-bit front end loads and
// binds, or "" when it can. A PE checksum that is set must be right; one
// left at 0 is not checked.
std::string ZlibLibraryFault(const unsigned char* data, size_t size);
