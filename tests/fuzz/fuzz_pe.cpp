// Runs the zlib1.dll check on any input: it must accept or name a fault,
// hand on only sections that lie within the input, and find each export
// alone as it finds it among the fifteen.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/packer/pe.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    std::string fault = ZlibLibraryFault(input, size);
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
    if (!usable) {
        Require(!fault.empty());
    } else if (!read) {
        Require(fault == why);
    } else {
        Require(fault.empty() == all);
    }
    return 0;
}
