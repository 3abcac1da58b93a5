// The PE image checksum: the file summed as little-endian 16-bit words with
// the carries folded back in, the checksum field itself taken as zero, plus
// the file's length. It covers every byte of a library, headers included.
// Free of Windows, so that the packer checks and fills in the same sum.
#pragma once

#include <cstddef>
#include <cstdint>

// The length is added as 32 bits; longer files are not summed.
constexpr uint64_t kMaxPeChecksumBytes = UINT32_MAX;
// The field: a little-endian 32-bit number.
constexpr size_t kPeChecksumFieldBytes = 4;

enum PeChecksumStatus {
    kPeChecksumMatches,  // the field holds the file's sum
    kPeChecksumUnset,    // the field is 0: the linker left nothing to check
    kPeChecksumWrong,    // the field holds another value: the file is damaged
    kPeChecksumNoField,  // too short, or its headers point past its end
};

// Finds the checksum field of a PE file (PE32 and PE32+ keep it at the same
// place). False when the file has no "MZ" and "PE" headers holding it
// within size bytes.
bool FindPeChecksumField(const unsigned char* data, size_t size, size_t* fieldOffset);

// The sum of size bytes with the 4 bytes at fieldOffset taken as zero.
uint32_t PeChecksum(const unsigned char* data, size_t size, size_t fieldOffset);

// The same sum over a file given in consecutive parts, for one that is not
// held whole (the packer's setup program): add each part, then end.
struct PeChecksumParts {
    uint64_t sum = 0;     // exact; the carries fold in at the end alike
    uint64_t length = 0;  // the bytes added so far
};
void AddPeChecksumPart(PeChecksumParts* parts, const unsigned char* data, size_t size,
                       uint64_t fieldOffset);
uint32_t EndPeChecksum(const PeChecksumParts& parts);

// Compares the field with the sum; *stored and *computed are set unless the
// status is kPeChecksumNoField.
PeChecksumStatus CheckPeChecksum(const unsigned char* data, size_t size, uint32_t* stored,
                                 uint32_t* computed);
