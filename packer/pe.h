// Reads as much of a PE file as the Windows loader and GetProcAddress look
// at to bind the front end's zlib1.dll. Every offset, size and count in the
// file is untrusted and checked against the file before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "format/archive_layout.h"
#include "format/shared_names.h"
#include "packer/system.h"

constexpr uint16_t kPeMachineI386 = 0x14C;
constexpr uint16_t kPeMachineAmd64 = 0x8664;
constexpr uint16_t kPeMachineArm64 = 0xAA64;
constexpr uint16_t kPeMachineArm = 0x1C4;
constexpr uint16_t kPeFileExecutable = 0x0002;  // IMAGE_FILE_EXECUTABLE_IMAGE
constexpr uint16_t kPeFileDll = 0x2000;         // IMAGE_FILE_DLL
// IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP and IMAGE_FILE_NET_RUN_FROM_SWAP: run
// from a stick or a share, Windows first copies the image to the page file,
// so that a medium that goes away mid-run cannot fault a page of it in.
constexpr uint16_t kPeFileRemovableRunFromSwap = 0x0400;
constexpr uint16_t kPeFileNetRunFromSwap = 0x0800;
constexpr uint16_t kPeFileRunFromSwap = kPeFileRemovableRunFromSwap | kPeFileNetRunFromSwap;
constexpr uint16_t kPeSubsystemWindowsGui = 2;
constexpr uint16_t kPeMagic32 = 0x10B;  // PE32
constexpr uint16_t kPeMagic64 = 0x20B;  // PE32+
// The Windows loader refuses an image of more sections.
constexpr uint32_t kMaxPeSections = 96;
// Far above the ~90 names a zlib build exports; bounds the walk.
constexpr uint32_t kMaxPeExportNames = 1 << 16;

// The data directories an image may list, and the ones read here.
constexpr size_t kPeDirectorySlots = 16;
constexpr size_t kPeExportDirectory = 0;
constexpr size_t kPeResourceDirectory = 2;
constexpr size_t kPeCertificateDirectory = 4;
constexpr size_t kPeRelocationDirectory = 5;
constexpr size_t kPeDebugDirectory = 6;
extern const char* const kPeDirectoryNames[kPeDirectorySlots];

// "0x1A2B", for faults that name an offset or a field.
std::string Hex(uint64_t value);
// A fault in the file's structure, worded alike wherever it is found.
std::string Damaged(const std::string& why);

// The names the front end's compression binding looks up.
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

struct PeDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

struct PeHeaders {
    uint16_t machine = 0;
    uint16_t characteristics = 0;
    uint16_t magic = 0;               // 0 when the optional header is too short to hold it
    std::vector<PeSection> sections;  // each lies within the file
    uint64_t optionalOffset = 0;      // where the optional header starts in the file
    uint64_t optionalSize = 0;        // its size as the COFF header gives it
    uint64_t sectionTable = 0;        // where the section table starts in the file
    uint64_t directoryTable = 0;      // where the data directories start in the file
    uint64_t directoryCount = 0;      // as many as both the header and its size allow
    PeDirectory directories[kPeDirectorySlots];  // zero past directoryCount
};

// Reads the headers and the section table. False, saying why in *fault,
// when data is not a PE file or its headers run past its end.
bool ReadPeHeaders(const unsigned char* data, size_t size, PeHeaders* headers, std::string* fault);

// The file offset of length bytes at rva, all within one section's data and
// within size bytes of file, and how many bytes the section holds from there.
bool MapRva(const PeHeaders& headers, uint64_t size, uint64_t rva, uint64_t length,
            uint64_t* offset, uint64_t* available);

// Where a PE file's CheckSum field lies, and its COFF Characteristics.
uint64_t PeChecksumOffset(const PeHeaders& headers);
uint64_t PeCharacteristicsOffset(const PeHeaders& headers);

// What COFF characteristics lack of kPeFileRunFromSwap, named as Windows'
// headers name the flags; "" when they have both.
std::string MissingRunFromSwap(uint16_t characteristics);

// The PE image checksum of a file given in parts: 16-bit words summed with
// their carries folded in, its 4-byte CheckSum field at checksumOffset read
// as 0, plus the file's length.
uint32_t PeChecksum(const std::vector<ByteRange>& parts, uint64_t checksumOffset);

// Sets found[i] when the image exports wanted[i] by name, bound to a
// function. False, saying why in *fault, when its export tables do not lie
// within its sections.
bool FindPeExports(const unsigned char* data, size_t size, const PeHeaders& headers,
                   const char* const* wanted, size_t count, bool* found, std::string* fault);

// Why data cannot be the zlib1.dll that the 32-bit front end loads and
// binds, or "" when it can. A PE checksum that is set must be right; one
// left at 0 is not checked.
std::string ZlibLibraryFault(const unsigned char* data, size_t size);
