// Checks a payload archive the way the front end walks it, and further:
// the trailer, the order of entries, and that every stream inflates whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/packer/pack.h"

struct ListedEntry {
    int32_t offset;  // of the entry's header
    uint32_t storedSize;
    uint64_t unpackedSize;
    bool stored;
    std::string name;
};

// Walks size bytes, trailer included. Lists each entry that passed in
// *entries and, when contents is not null, its unpacked bytes. Returns
// false at the first fault, described in *fault with its entry and offset.
bool WalkArchive(const unsigned char* data, size_t size, bool requireStoredFirst,
                 std::vector<ListedEntry>* entries, std::vector<PackInput>* contents,
                 std::string* fault);

// *report is "OK n entries" or the first fault.
bool VerifyArchive(const unsigned char* data, size_t size, std::string* report,
                   bool requireStoredFirst);
