// Makes a setup program from the stub, the program without a payload: a
// copy whose resource section is rebuilt from the stub's resource tree with
// the payload archive added as resource 100, and whose later sections move
// up behind it. Every offset, size and count in the stub is untrusted and
// checked before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "format/resource_ids.h"
#include "packer/pe.h"
#include "packer/resource_tree.h"

constexpr uint16_t kResourceTypeDialog = 5;   // RT_DIALOG
constexpr uint16_t kResourceTypeRcdata = 10;  // RT_RCDATA
// English (United Kingdom), as every other resource of the program but its
// manifest carries.
constexpr uint16_t kPayloadLanguage = 0x0809;
// The largest SizeOfImage a setup program may have. The program is 32-bit
// and not large-address-aware: the loader must find this much contiguous
// room in a 2 GiB address space that also holds Windows' own DLLs, zlib1.dll,
// the stacks and the heap the unpacking needs. Half of it leaves them room.
constexpr uint64_t kMaxSetupImageBytes = uint64_t{1} << 30;

// The setup program is head, then the archive's bytes, then tail.
struct SetupImage {
    std::vector<unsigned char> head;
    std::vector<unsigned char> tail;
};

// Lays out the setup program from the stub and the archive. testStub takes
// the 64-bit (x86-64) build of the stub too, which the tests run. False,
// saying why in *fault, for a stub it cannot use; archive may be empty to
// check a stub alone.
bool MakeSetupImage(const unsigned char* stub, size_t stubSize, const unsigned char* archive,
                    size_t archiveSize, bool testStub, SetupImage* image, std::string* fault);
