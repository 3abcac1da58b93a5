// Runs the zlib1.dll check on any input: it must accept or name a fault,
// hand on only sections that lie within the input, find each export alone
// as it finds it among the fifteen, refuse a wrong checksum, and a checksum
// filled in must match wherever its field lies.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "format/pe_checksum.h"
#include "packer/pe.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    std::string fault = ZlibLibraryFault(input, size);
    uint32_t stored = 0, computed = 0;
    PeChecksumStatus sum = CheckPeChecksum(input, size, &stored, &computed);
    size_t field;
    if (FindPeChecksumField(input, size, &field)) {
        Require(sum != kPeChecksumNoField && field + kPeChecksumFieldBytes <= size);
        // The sum leaves its own field out: filling it in makes it match.
        std::vector<uint8_t> filled(input, input + size);
        for (size_t i = 0; i < kPeChecksumFieldBytes; ++i)
            filled[field + i] = static_cast<uint8_t>(computed >> (8 * i));
        uint32_t ignored = 0, again = 0;
        PeChecksumStatus refilled = CheckPeChecksum(filled.data(), size, &ignored, &again);
        Require(again == computed);
        Require(refilled == (computed == 0 ? kPeChecksumUnset : kPeChecksumMatches));
    } else {
        Require(sum == kPeChecksumNoField);
    }
    bool intact = sum == kPeChecksumMatches || sum == kPeChecksumUnset;
    PeHeaders headers;
    std::string why;
    if (!ReadPeHeaders(input, size, &headers, &why)) {
        Require(!why.empty() && fault == why);
        return 0;
    }
    Require(headers.sections.size() <= kMaxPeSections);
    for (const PeSection& section : headers.sections)
        Require(section.mappedSize == 0 ||
                uint64_t{section.rawOffset} + section.mappedSize <= size);

    bool found[kZlibExportCount];
    bool read =
        FindPeExports(input, size, headers, kZlibExportNames, kZlibExportCount, found, &why);
    bool all = read;
    for (size_t i = 0; read && i < kZlibExportCount; ++i) {
        all = all && found[i];
        bool alone;
        std::string aloneWhy;
        Require(FindPeExports(input, size, headers, &kZlibExportNames[i], 1, &alone, &aloneWhy));
        Require(alone == found[i]);
    }
    bool usable = headers.machine == kPeMachineI386 && (headers.characteristics & kPeFileDll) &&
                  headers.magic == kPeMagic32;
    if (!usable || !intact) {
        Require(!fault.empty());
    } else if (!read) {
        Require(fault == why);
    } else {
        Require(fault.empty() == all);
    }
    return 0;
}
