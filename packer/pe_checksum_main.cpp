// pe_checksum IN OUT: copies a PE library with its checksum field filled in
// when the linker left it 0, so that the front end can check the file before
// it loads it. A field that is set but wrong means a damaged file: refused.
#include <cstdio>
#include <string>
#include <vector>

#include "format/archive_layout.h"
#include "format/pe_checksum.h"
#include "packer/pack.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: pe_checksum IN OUT\n", stderr);
        return 2;
    }
    std::vector<unsigned char> data;
    std::string error;
    if (!ReadInputFile(argv[1], &data, &error)) {
        std::fprintf(stderr, "pe_checksum: %s\n", error.c_str());
        return 1;
    }
    uint32_t stored = 0, computed = 0;
    size_t field = 0;
    PeChecksumStatus status = CheckPeChecksum(data.data(), data.size(), &stored, &computed);
    if (status == kPeChecksumWrong || status == kPeChecksumNoField ||
        !FindPeChecksumField(data.data(), data.size(), &field)) {
        std::fprintf(stderr, "pe_checksum: %s: no PE checksum field, or a wrong one\n", argv[1]);
        return 1;
    }
    PutLe32(data.data() + field, computed);
    if (!WriteFileAtomically(argv[2], data, &error)) {
        std::fprintf(stderr, "pe_checksum: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
