// Where PE files keep the header fields that the front end's checksum and
// the packer read: each "Offset" is a field's place within its header, each
// "Bytes" a size. Free of Windows, so that the packer shares it.
#pragma once

#include <cstdint>

constexpr uint64_t kDosHeaderBytes = 64;
constexpr uint64_t kDosNewHeaderOffset = 0x3C;  // e_lfanew: where "PE\0\0" starts
constexpr uint64_t kPeSignatureBytes = 4;

constexpr uint64_t kCoffHeaderBytes = 20;
constexpr uint64_t kCoffMachineOffset = 0;
constexpr uint64_t kCoffSectionCountOffset = 2;
constexpr uint64_t kCoffOptionalHeaderSizeOffset = 16;
constexpr uint64_t kCoffCharacteristicsOffset = 18;

// Optional header fields at the same place in PE32 and PE32+.
constexpr uint64_t kOptionalMagicOffset = 0;
constexpr uint64_t kOptionalMagicBytes = 2;
constexpr uint64_t kOptionalSizeOfInitializedDataOffset = 8;
constexpr uint64_t kOptionalSectionAlignmentOffset = 32;
constexpr uint64_t kOptionalFileAlignmentOffset = 36;
constexpr uint64_t kOptionalSizeOfImageOffset = 56;
constexpr uint64_t kOptionalSizeOfHeadersOffset = 60;
constexpr uint64_t kOptionalCheckSumOffset = 64;
constexpr uint64_t kOptionalSubsystemOffset = 68;
// The data directories and their count differ.
constexpr uint64_t kOptional32DirectoryCountOffset = 92;
constexpr uint64_t kOptional32DirectoriesOffset = 96;
constexpr uint64_t kOptional64DirectoryCountOffset = 108;
constexpr uint64_t kOptional64DirectoriesOffset = 112;

// A data directory: RVA, then size.
constexpr uint64_t kDirectoryBytes = 8;
constexpr uint64_t kDirectoryRvaOffset = 0;
constexpr uint64_t kDirectorySizeOffset = 4;

constexpr uint64_t kSectionHeaderBytes = 40;
constexpr uint64_t kSectionNameBytes = 8;
constexpr uint64_t kSectionVirtualSizeOffset = 8;
constexpr uint64_t kSectionVirtualAddressOffset = 12;
constexpr uint64_t kSectionSizeOfRawDataOffset = 16;
constexpr uint64_t kSectionPointerToRawDataOffset = 20;
constexpr uint64_t kSectionCharacteristicsOffset = 36;
