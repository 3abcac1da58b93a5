// Checks a payload archive the way the front end walks it, and further:
// the trailer, the order of entries, the stored library, and that every
// stream inflates whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "packer/pack.h"

struct ListedEntry {
    int32_t offset;  // of the entry's header
    uint32_t storedSize;
    uint64_t unpackedSize;
    bool stored;
    std::string name;
};

// Walks size bytes, trailer included, applying PayloadRules (strict unless
// the payload is a test one). Lists each entry that passed in *entries and,
// when contents is not null, its unpacked bytes; notes each repeated name in
// *warnings. Returns false at the first fault, described in *fault with its
// entry and offset.
bool WalkArchive(const unsigned char* data, size_t size, bool strict,
                 std::vector<ListedEntry>* entries, std::vector<PackInput>* contents,
                 std::vector<std::string>* warnings, std::string* fault);

// *report is "OK n entries" or the first fault.
bool VerifyArchive(const unsigned char* data, size_t size, bool strict,
                   std::vector<std::string>* warnings, std::string* report);
