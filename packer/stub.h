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

#include "packer/pe.h"
#include "packer/system.h"

constexpr uint16_t kResourceTypeDialog = 5;   // RT_DIALOG
constexpr uint16_t kResourceTypeRcdata = 10;  // RT_RCDATA
constexpr uint16_t kProgressDialogId = 1000;
constexpr uint16_t kPayloadResourceId = 100;
// English (United Kingdom), as every other resource of the program but its
// manifest carries.
constexpr uint16_t kPayloadLanguage = 0x0809;
// Each resource's data starts on this boundary, as linkers place it.
constexpr uint64_t kResourceDataAlignment = 8;
// Bound the walk of a resource tree; the setup program has about a dozen
// entries with no names at all.
constexpr uint64_t kMaxResourceEntries = 1 << 16;
constexpr uint64_t kMaxResourceNameUnits = 1 << 20;

// A resource type or name: a number, or a UTF-16 string.
struct ResourceKey {
    bool named = false;
    uint16_t id = 0;
    std::u16string name;
};
// The loader's binary search order: strings before numbers, strings by code
// unit, numbers ascending.
bool operator<(const ResourceKey& a, const ResourceKey& b);
bool operator==(const ResourceKey& a, const ResourceKey& b);

// The header fields of one directory table, kept as the stub has them.
struct ResourceDirectoryInfo {
    uint32_t characteristics = 0;
    uint32_t timeDateStamp = 0;
    uint16_t majorVersion = 0;
    uint16_t minorVersion = 0;
};

struct ResourceData {
    uint16_t language = 0;
    uint32_t codePage = 0;
    const unsigned char* data = nullptr;  // within the image read
    uint32_t size = 0;
};

struct ResourceName {
    ResourceKey key;
    ResourceDirectoryInfo info;
    std::vector<ResourceData> languages;  // ascending
};

struct ResourceType {
    ResourceKey key;
    ResourceDirectoryInfo info;
    std::vector<ResourceName> names;  // in the loader's order
};

struct ResourceTree {
    ResourceDirectoryInfo info;
    std::vector<ResourceType> types;  // in the loader's order
};

// Reads the resource tree (type, name, language) of an image whose headers
// ReadPeHeaders read. False, saying why in *fault, when it has none or it
// does not lie within its section.
bool ReadResources(const unsigned char* image, const PeHeaders& headers, ResourceTree* tree,
                   std::string* fault);

// The data of one resource, or nullptr.
const ResourceData* FindResource(const ResourceTree& tree, uint16_t type, uint16_t id,
                                 uint16_t language);

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

// The PE image checksum of a file given in parts: 16-bit words summed with
// their carries folded in, its 4-byte CheckSum field at checksumOffset read
// as 0, plus the file's length.
uint32_t PeChecksum(const std::vector<ByteRange>& parts, uint64_t checksumOffset);

// Where a PE file's CheckSum field lies.
uint64_t PeChecksumOffset(const PeHeaders& headers);
