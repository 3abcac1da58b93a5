// A PE file's resource tree (type, name, language), read from its resource
// section and written into a new one. Every offset, size and count read is
// untrusted and checked before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "packer/pe.h"

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

// The header fields of one directory table, kept as the file has them.
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

// The same keys, table headers and resources, byte for byte.
bool SameResources(const ResourceTree& a, const ResourceTree& b);

// The section whose data starts with the resource tree. False, saying why
// in *fault, when the image has none or it starts no section.
bool FindResourceSection(const PeHeaders& headers, size_t* index, std::string* fault);

// Reads the tree from a resource section's data, size bytes mapped at rva.
bool ReadResourceTree(const unsigned char* section, uint64_t size, uint32_t rva, ResourceTree* tree,
                      std::string* fault);

// Reads the resource tree of an image whose headers ReadPeHeaders read.
bool ReadResources(const unsigned char* image, const PeHeaders& headers, ResourceTree* tree,
                   std::string* fault);

// The data of one resource, or nullptr.
const ResourceData* FindResource(const ResourceTree& tree, uint16_t type, uint16_t id,
                                 uint16_t language);

// Where a new resource section puts its parts: directory tables, data
// entries, names, then each resource's data on kResourceDataAlignment, with
// one resource's data, if any, last.
struct ResourceSectionLayout {
    uint64_t dataEntries = 0;  // offset of the first data entry
    uint64_t names = 0;        // offset of the first name
    uint64_t data = 0;         // offset of the first resource's data
    uint64_t lastData = 0;     // offset of the last resource's data: the size of what is written
};

// Measures the section for tree; last (within tree, or nullptr) is the
// resource whose data goes last.
ResourceSectionLayout MeasureResourceSection(const ResourceTree& tree, const ResourceData* last);

// Writes the section, to be mapped at sectionRva, up to layout.lastData: the
// caller appends the last resource's bytes.
void WriteResourceSection(const ResourceTree& tree, const ResourceSectionLayout& layout,
                          const ResourceData* last, uint32_t sectionRva,
                          std::vector<unsigned char>* out);
