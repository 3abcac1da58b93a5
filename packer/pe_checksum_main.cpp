// pe_checksum [--run-from-swap] IN OUT: copies a PE file with its checksum
// field filled in when the linker left it 0, so that the front end can check
// the file before it loads it. A field that is set but wrong means a damaged
// file: refused. --run-from-swap first sets the flags that create-setup sets
// in what it makes, for the build's own stub, which GNU ld cannot set.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "format/archive_layout.h"
#include "format/pe_checksum.h"
#include "packer/pack.h"
#include "packer/pe.h"

namespace {

bool SetRunFromSwap(std::vector<unsigned char>* data, std::string* error) {
    PeHeaders headers;
    if (!ReadPeHeaders(data->data(), data->size(), &headers, error)) return false;
    PutLe16(data->data() + PeCharacteristicsOffset(headers),
            static_cast<uint16_t>(headers.characteristics | kPeFileRunFromSwap));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool runFromSwap = argc == 4 && std::strcmp(argv[1], "--run-from-swap") == 0;
    if (argc != 3 && !runFromSwap) {
        std::fputs("usage: pe_checksum [--run-from-swap] IN OUT\n", stderr);
        return 2;
    }
    const char* in = argv[argc - 2];
    std::vector<unsigned char> data;
    std::string error;
    if (!ReadInputFile(in, &data, &error)) {
        std::fprintf(stderr, "pe_checksum: %s\n", error.c_str());
        return 1;
    }
    uint32_t stored = 0, computed = 0;
    size_t field = 0;
    PeChecksumStatus status = CheckPeChecksum(data.data(), data.size(), &stored, &computed);
    if (status == kPeChecksumWrong || status == kPeChecksumNoField ||
        !FindPeChecksumField(data.data(), data.size(), &field)) {
        std::fprintf(stderr, "pe_checksum: %s: no PE checksum field, or a wrong one\n", in);
        return 1;
    }
    if (runFromSwap && !SetRunFromSwap(&data, &error)) {
        std::fprintf(stderr, "pe_checksum: %s: %s\n", in, error.c_str());
        return 1;
    }
    PutLe32(data.data() + field, PeChecksum(data.data(), data.size(), field));
    if (!WriteFileAtomically(argv[argc - 1], data, &error)) {
        std::fprintf(stderr, "pe_checksum: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
