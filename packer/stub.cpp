#include "packer/stub.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "extract/pe_checksum.h"

namespace {

constexpr uint16_t kFileExecutable = 0x0002;  // IMAGE_FILE_EXECUTABLE_IMAGE
constexpr uint16_t kSubsystemWindowsGui = 2;

// Optional header fields, at the same place in PE32 and PE32+.
constexpr uint64_t kSizeOfInitializedData = 8;
constexpr uint64_t kSectionAlignment = 32;
constexpr uint64_t kFileAlignment = 36;
constexpr uint64_t kSizeOfImage = 56;
constexpr uint64_t kSizeOfHeaders = 60;
constexpr uint64_t kCheckSum = 64;
constexpr uint64_t kSubsystem = 68;
constexpr uint64_t kDirectoryCount32 = 92;
constexpr uint64_t kDirectories32 = 96;
constexpr uint64_t kDirectoryCount64 = 108;
constexpr uint64_t kDirectories64 = 112;
constexpr uint64_t kDirectoryBytes = 8;  // RVA, then size
constexpr uint64_t kDirectorySize = 4;
constexpr uint64_t kDirectorySlots = 16;

constexpr size_t kResourceDirectory = 2;
constexpr size_t kCertificateDirectory = 4;
constexpr size_t kRelocationDirectory = 5;
constexpr size_t kDebugDirectory = 6;
const char* const kDirectoryNames[kDirectorySlots] = {
    "export",
    "import",
    "resource",
    "exception",
    "certificate",
    "base relocation",
    "debug",
    "architecture",
    "global pointer",
    "TLS",
    "load configuration",
    "bound import",
    "import address",
    "delay import",
    "CLR runtime",
    "reserved",
};

constexpr uint64_t kSectionVirtualSize = 8;
constexpr uint64_t kSectionVirtualAddress = 12;
constexpr uint64_t kSectionRawSize = 16;
constexpr uint64_t kSectionRawOffset = 20;
constexpr uint64_t kSectionHeaderBytes = 40;
constexpr char kRelocationSection[] = ".reloc";

constexpr uint64_t kRelocationBlockBytes = 8;  // page RVA, then the block's size
constexpr uint64_t kRelocationBlockSize = 4;
constexpr uint64_t kRelocationEntryBytes = 2;
constexpr unsigned kRelocationTypeShift = 12;
constexpr uint32_t kRelocationOffsetMask = 0xFFF;
// The widest place a relocation patches (IMAGE_REL_BASED_DIR64).
constexpr uint64_t kRelocationWidest = 8;

constexpr uint64_t kDebugEntryBytes = 28;
constexpr uint64_t kDebugDataSize = 16;
constexpr uint64_t kDebugDataRva = 20;
constexpr uint64_t kDebugDataOffset = 24;

// Resource directory tables, their entries and data entries.
constexpr uint64_t kTableBytes = 16;
constexpr uint64_t kTableTimeDateStamp = 4;
constexpr uint64_t kTableMajorVersion = 8;
constexpr uint64_t kTableMinorVersion = 10;
constexpr uint64_t kTableNamedCount = 12;
constexpr uint64_t kTableIdCount = 14;
constexpr uint64_t kEntryBytes = 8;  // name or number, then where it points
constexpr uint64_t kEntryTarget = 4;
constexpr uint64_t kDataEntryBytes = 16;  // RVA, size, code page, reserved
constexpr uint64_t kDataEntrySize = 4;
constexpr uint64_t kDataEntryCodePage = 8;
constexpr uint64_t kUnitBytes = 2;  // of a UTF-16 name
constexpr uint32_t kHighBit = 0x80000000;
constexpr uint64_t kNameLengthBytes = 2;
constexpr uint64_t kLanguageLevel = 2;

constexpr uint64_t kMaxImageBytes = UINT32_MAX;

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

bool PowerOfTwo(uint64_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

std::string KeyText(const ResourceKey& key) {
    if (!key.named) return std::to_string(key.id);
    std::string text = "\"";
    for (char16_t unit : key.name) text += unit >= 0x20 && unit < 0x7F ? char(unit) : '?';
    return text + "\"";
}

struct Directory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

struct Layout {
    bool pe32plus = false;
    uint64_t optional = 0;     // file offset of the optional header
    uint64_t directories = 0;  // file offset of the data directories
    uint64_t directoryCount = 0;
    Directory directory[kDirectorySlots];
};

void ReadLayout(const unsigned char* image, const PeHeaders& headers, Layout* layout) {
    *layout = Layout{};
    layout->pe32plus = headers.magic == kPeMagic64;
    layout->optional = headers.optionalOffset;
    uint64_t countField = layout->pe32plus ? kDirectoryCount64 : kDirectoryCount32;
    uint64_t directories = layout->pe32plus ? kDirectories64 : kDirectories32;
    layout->directories = headers.optionalOffset + directories;
    if (headers.optionalSize < directories) return;
    uint64_t room = (headers.optionalSize - directories) / kDirectoryBytes;
    layout->directoryCount = std::min(
        {uint64_t{Le32(image + headers.optionalOffset + countField)}, room, kDirectorySlots});
    for (uint64_t i = 0; i < layout->directoryCount; ++i) {
        const unsigned char* entry = image + layout->directories + i * kDirectoryBytes;
        layout->directory[i] = Directory{Le32(entry), Le32(entry + kDirectorySize)};
    }
}

// The section's file data, as far as it is mapped.
struct SectionBytes {
    const unsigned char* data;
    uint64_t size;
    uint32_t rva;
};

// File bytes of length at rva, within one section's data.
const unsigned char* MapRva(const unsigned char* image, const PeHeaders& headers, uint64_t rva,
                            uint64_t length) {
    for (const PeSection& section : headers.sections) {
        if (rva < section.virtualAddress) continue;
        if (!Fits(rva - section.virtualAddress, length, section.mappedSize)) continue;
        return image + section.rawOffset + (rva - section.virtualAddress);
    }
    return nullptr;
}

struct Table {
    const unsigned char* entries;
    uint64_t count;
    uint64_t named;  // the first entries, keyed by strings
};

class TreeReader {
   public:
    TreeReader(SectionBytes section, std::string* fault) : section_(section), fault_(fault) {}

    bool ReadTable(uint64_t offset, ResourceDirectoryInfo* info, Table* read) {
        if (!Fits(offset, kTableBytes, section_.size))
            return Fail("a resource directory table (at " + Hex(offset) +
                        ") runs past its resource section");
        const unsigned char* table = section_.data + offset;
        info->characteristics = Le32(table);
        info->timeDateStamp = Le32(table + kTableTimeDateStamp);
        info->majorVersion = Le16(table + kTableMajorVersion);
        info->minorVersion = Le16(table + kTableMinorVersion);
        read->named = Le16(table + kTableNamedCount);
        read->count = read->named + Le16(table + kTableIdCount);
        entryCount_ += read->count;
        if (entryCount_ > kMaxResourceEntries)
            return Fail("it has more than " + std::to_string(kMaxResourceEntries) +
                        " resource entries");
        if (!Fits(offset + kTableBytes, read->count * kEntryBytes, section_.size))
            return Fail("a resource directory table (at " + Hex(offset) +
                        ") runs past its resource section");
        read->entries = table + kTableBytes;
        return true;
    }

    // The key of entry i of a table; *next is where it points.
    bool ReadEntry(const Table& table, uint64_t i, uint64_t level, ResourceKey* key,
                   uint64_t* next) {
        const unsigned char* entry = table.entries + i * kEntryBytes;
        uint32_t name = Le32(entry);
        uint32_t target = Le32(entry + kEntryTarget);
        key->named = (name & kHighBit) != 0;
        if (key->named != (i < table.named))
            return Fail("a resource directory table lists names and numbers out of place");
        if (key->named) {
            if (level == kLanguageLevel) return Fail("a resource language is a string");
            uint64_t at = name & ~kHighBit;
            if (!Fits(at, kNameLengthBytes, section_.size))
                return Fail("a resource name runs past its resource section");
            uint64_t units = Le16(section_.data + at);
            nameUnits_ += units;
            if (nameUnits_ > kMaxResourceNameUnits)
                return Fail("its resource names are longer than " +
                            std::to_string(kMaxResourceNameUnits) + " characters in all");
            if (!Fits(at + kNameLengthBytes, units * kUnitBytes, section_.size))
                return Fail("a resource name runs past its resource section");
            key->name.clear();
            for (uint64_t u = 0; u < units; ++u)
                key->name += static_cast<char16_t>(
                    Le16(section_.data + at + kNameLengthBytes + kUnitBytes * u));
        } else {
            if (name > UINT16_MAX) return Fail("a resource number is " + Hex(name));
            key->id = static_cast<uint16_t>(name);
        }
        bool toTable = (target & kHighBit) != 0;
        if (toTable != (level < kLanguageLevel))
            return Fail("its resource tree is not three levels deep (type, name, language)");
        *next = target & ~kHighBit;
        return true;
    }

    bool ReadData(uint64_t offset, ResourceData* data) {
        if (!Fits(offset, kDataEntryBytes, section_.size))
            return Fail("a resource data entry runs past its resource section");
        const unsigned char* entry = section_.data + offset;
        uint64_t rva = Le32(entry);
        data->size = Le32(entry + kDataEntrySize);
        data->codePage = Le32(entry + kDataEntryCodePage);
        if (rva < section_.rva || !Fits(rva - section_.rva, data->size, section_.size))
            return Fail("resource data (RVA " + Hex(rva) + ", " + std::to_string(data->size) +
                        " bytes) lies outside its resource section's data");
        data->data = section_.data + (rva - section_.rva);
        dataBytes_ += data->size;
        // Linkers never share data between resources; a copy of each could
        // make the setup program far larger than the stub.
        if (dataBytes_ > section_.size) return Fail("its resources share their data");
        return true;
    }

   private:
    bool Fail(const std::string& why) {
        *fault_ = Damaged(why);
        return false;
    }

    SectionBytes section_;
    std::string* fault_;
    uint64_t entryCount_ = 0;
    uint64_t nameUnits_ = 0;
    uint64_t dataBytes_ = 0;
};

template <typename T>
bool SortedWithoutRepeats(std::vector<T>* items, std::string* fault, const std::string& what) {
    std::sort(items->begin(), items->end(), [](const T& a, const T& b) { return a.key < b.key; });
    for (size_t i = 1; i < items->size(); ++i) {
        if (!((*items)[i - 1].key == (*items)[i].key)) continue;
        *fault = Damaged("it lists " + what + " " + KeyText((*items)[i].key) + " twice");
        return false;
    }
    return true;
}

bool ReadTree(SectionBytes section, ResourceTree* tree, std::string* fault) {
    *tree = ResourceTree{};
    TreeReader reader(section, fault);
    Table types, names, languages;
    uint64_t next;
    if (!reader.ReadTable(0, &tree->info, &types)) return false;
    for (uint64_t t = 0; t < types.count; ++t) {
        ResourceType type;
        if (!reader.ReadEntry(types, t, 0, &type.key, &next) ||
            !reader.ReadTable(next, &type.info, &names))
            return false;
        for (uint64_t n = 0; n < names.count; ++n) {
            ResourceName name;
            if (!reader.ReadEntry(names, n, 1, &name.key, &next) ||
                !reader.ReadTable(next, &name.info, &languages))
                return false;
            for (uint64_t l = 0; l < languages.count; ++l) {
                ResourceKey language;
                ResourceData data;
                if (!reader.ReadEntry(languages, l, kLanguageLevel, &language, &next) ||
                    !reader.ReadData(next, &data))
                    return false;
                data.language = language.id;
                name.languages.push_back(data);
            }
            std::sort(name.languages.begin(), name.languages.end(),
                      [](const ResourceData& a, const ResourceData& b) {
                          return a.language < b.language;
                      });
            for (size_t l = 1; l < name.languages.size(); ++l)
                if (name.languages[l - 1].language == name.languages[l].language) {
                    *fault =
                        Damaged("it lists language " + std::to_string(name.languages[l].language) +
                                " of resource " + KeyText(name.key) + " twice");
                    return false;
                }
            type.names.push_back(std::move(name));
        }
        if (!SortedWithoutRepeats(&type.names, fault, "resource " + KeyText(type.key) + " name"))
            return false;
        tree->types.push_back(std::move(type));
    }
    return SortedWithoutRepeats(&tree->types, fault, "resource type");
}

// The section whose data starts with the resource tree; false when there is none.
bool FindResourceSection(const PeHeaders& headers, const Layout& layout, size_t* index,
                         std::string* fault) {
    const Directory& resources = layout.directory[kResourceDirectory];
    if (layout.directoryCount <= kResourceDirectory || resources.rva == 0) {
        *fault = "has no resources";
        return false;
    }
    for (size_t i = 0; i < headers.sections.size(); ++i)
        if (headers.sections[i].virtualAddress == resources.rva) {
            *index = i;
            return true;
        }
    *fault =
        Damaged("its resource directory (RVA " + Hex(resources.rva) + ") does not start a section");
    return false;
}

SectionBytes BytesOf(const unsigned char* image, const PeSection& section) {
    return SectionBytes{image + section.rawOffset, section.mappedSize, section.virtualAddress};
}

std::string KindFault(const PeHeaders& headers, bool testStub) {
    std::string found;
    if (headers.machine == kPeMachineAmd64)
        found = "a 64-bit (x86-64) program";
    else if (headers.machine == kPeMachineArm64)
        found = "a 64-bit (ARM64) program";
    else if (headers.machine == kPeMachineArm)
        found = "a 32-bit ARM program";
    else if (headers.machine == kPeMachineI386)
        found = "an i386 program whose optional header magic is " + Hex(headers.magic);
    else
        found = "a program for machine type " + Hex(headers.machine);
    return found + "; the stub is the 32-bit (i386, PE32) program" +
           (testStub ? ", or its 64-bit twin for the tests" : "");
}

// The span of memory the loader gives a section.
uint64_t VirtualSpan(const PeSection& section) {
    return section.virtualSize != 0 ? section.virtualSize : section.rawSize;
}

// Refuses relocations that patch bytes at or after limit: those bytes move.
bool RelocationsEndBefore(const unsigned char* image, const PeHeaders& headers,
                          const Directory& relocations, uint64_t limit, std::string* fault) {
    if (relocations.size == 0) return true;
    const unsigned char* blocks = MapRva(image, headers, relocations.rva, relocations.size);
    if (blocks == nullptr) {
        *fault = Damaged("its base relocations lie outside its sections' data");
        return false;
    }
    uint64_t at = 0;
    while (at < relocations.size) {
        if (!Fits(at, kRelocationBlockBytes, relocations.size)) break;
        uint64_t page = Le32(blocks + at);
        uint64_t bytes = Le32(blocks + at + kRelocationBlockSize);
        if (bytes < kRelocationBlockBytes || !Fits(at, bytes, relocations.size)) {
            *fault =
                Damaged("a block of its base relocations has " + std::to_string(bytes) + " bytes");
            return false;
        }
        for (uint64_t e = at + kRelocationBlockBytes; e + kRelocationEntryBytes <= at + bytes;
             e += kRelocationEntryBytes) {
            uint16_t entry = Le16(blocks + e);
            if ((entry >> kRelocationTypeShift) == 0) continue;  // padding
            uint64_t target = page + (entry & kRelocationOffsetMask);
            if (target + kRelocationWidest > limit) {
                *fault = "relocates an address (RVA " + Hex(target) +
                         ") in or after its resource section, which create-setup rebuilds";
                return false;
            }
        }
        at += bytes;
    }
    return true;
}

bool DebugDataEndsBefore(const unsigned char* image, const PeHeaders& headers,
                         const Directory& debug, uint64_t rvaLimit, uint64_t fileLimit,
                         std::string* fault) {
    if (debug.size == 0) return true;
    const unsigned char* entries = MapRva(image, headers, debug.rva, debug.size);
    if (entries == nullptr) {
        *fault = Damaged("its debug directory lies outside its sections' data");
        return false;
    }
    for (uint64_t at = 0; at + kDebugEntryBytes <= debug.size; at += kDebugEntryBytes) {
        uint64_t size = Le32(entries + at + kDebugDataSize);
        uint64_t rva = Le32(entries + at + kDebugDataRva);
        uint64_t offset = Le32(entries + at + kDebugDataOffset);
        if (size == 0) continue;
        if ((rva != 0 && rva + size > rvaLimit) || (offset != 0 && offset + size > fileLimit)) {
            *fault =
                "has debug data in or after its resource section, which create-setup "
                "rebuilds";
            return false;
        }
    }
    return true;
}

// Lays out the section: directory tables, data entries, names, then the
// data, each on kResourceDataAlignment, the payload last.
class SectionWriter {
   public:
    explicit SectionWriter(const ResourceTree& tree) : tree_(tree) {}

    // The section's size up to the payload, and its full size.
    void Measure(uint64_t payloadSize, uint64_t* beforePayload, uint64_t* total) {
        uint64_t tables = kTableBytes + kEntryBytes * tree_.types.size();
        uint64_t leaves = 0, names = 0;
        for (const ResourceType& type : tree_.types) {
            tables += kTableBytes + kEntryBytes * type.names.size();
            if (type.key.named) names += kNameLengthBytes + kUnitBytes * type.key.name.size();
            for (const ResourceName& name : type.names) {
                tables += kTableBytes + kEntryBytes * name.languages.size();
                if (name.key.named) names += kNameLengthBytes + kUnitBytes * name.key.name.size();
                leaves += name.languages.size();
            }
        }
        dataEntries_ = tables;
        names_ = dataEntries_ + kDataEntryBytes * leaves;
        data_ = names_ + names;
        uint64_t data = data_;
        for (const ResourceType& type : tree_.types)
            for (const ResourceName& name : type.names)
                for (const ResourceData& language : name.languages)
                    if (!IsPayload(type, name, language))
                        data = AlignUp(data, kResourceDataAlignment) + language.size;
        *beforePayload = AlignUp(data, kResourceDataAlignment);
        *total = *beforePayload + payloadSize;
    }

    // The bytes before the payload; Measure first.
    void Write(uint32_t sectionRva, uint64_t beforePayload, std::vector<unsigned char>* out) {
        out->assign(beforePayload, 0);
        out_ = out;
        sectionRva_ = sectionRva;
        payloadAt_ = beforePayload;
        uint64_t table = 0, nextTable = kTableBytes + kEntryBytes * tree_.types.size();
        uint64_t dataEntry = dataEntries_, name = names_, data = data_;
        PutTable(table, tree_.info, tree_.types);
        std::vector<uint64_t> typeTables;
        for (size_t t = 0; t < tree_.types.size(); ++t) {
            PutEntry(table, t, tree_.types[t].key, kHighBit | nextTable, &name);
            typeTables.push_back(nextTable);
            nextTable += kTableBytes + kEntryBytes * tree_.types[t].names.size();
        }
        for (size_t t = 0; t < tree_.types.size(); ++t) {
            const ResourceType& type = tree_.types[t];
            PutTable(typeTables[t], type.info, type.names);
            for (size_t n = 0; n < type.names.size(); ++n) {
                PutEntry(typeTables[t], n, type.names[n].key, kHighBit | nextTable, &name);
                const ResourceName& item = type.names[n];
                PutTable(nextTable, item.info, item.languages);
                for (size_t l = 0; l < item.languages.size(); ++l) {
                    const ResourceData& language = item.languages[l];
                    ResourceKey key;
                    key.id = language.language;
                    PutEntry(nextTable, l, key, static_cast<uint32_t>(dataEntry), &name);
                    uint64_t at = payloadAt_;
                    if (!IsPayload(type, item, language)) {
                        at = AlignUp(data, kResourceDataAlignment);
                        std::copy(language.data, language.data + language.size,
                                  out_->begin() + static_cast<std::ptrdiff_t>(at));
                        data = at + language.size;
                    }
                    unsigned char* entry = out_->data() + dataEntry;
                    PutLe32(entry, static_cast<uint32_t>(sectionRva_ + at));
                    PutLe32(entry + kDataEntrySize, language.size);
                    PutLe32(entry + kDataEntryCodePage, language.codePage);
                    dataEntry += kDataEntryBytes;
                }
                nextTable += kTableBytes + kEntryBytes * item.languages.size();
            }
        }
    }

    static bool IsPayload(const ResourceType& type, const ResourceName& name,
                          const ResourceData& data) {
        return !type.key.named && type.key.id == kResourceTypeRcdata && !name.key.named &&
               name.key.id == kPayloadResourceId && data.language == kPayloadLanguage;
    }

   private:
    template <typename T>
    void PutTable(uint64_t at, const ResourceDirectoryInfo& info, const std::vector<T>& items) {
        unsigned char* table = out_->data() + at;
        uint16_t named = 0;
        for (const T& item : items) named += KeyOf(item).named;
        PutLe32(table, info.characteristics);
        PutLe32(table + kTableTimeDateStamp, info.timeDateStamp);
        PutLe16(table + kTableMajorVersion, info.majorVersion);
        PutLe16(table + kTableMinorVersion, info.minorVersion);
        PutLe16(table + kTableNamedCount, named);
        PutLe16(table + kTableIdCount, static_cast<uint16_t>(items.size() - named));
    }

    static ResourceKey KeyOf(const ResourceType& type) { return type.key; }
    static ResourceKey KeyOf(const ResourceName& name) { return name.key; }
    static ResourceKey KeyOf(const ResourceData&) { return ResourceKey(); }

    void PutEntry(uint64_t table, size_t i, const ResourceKey& key, uint32_t target,
                  uint64_t* name) {
        unsigned char* entry = out_->data() + table + kTableBytes + i * kEntryBytes;
        uint32_t field = key.id;
        if (key.named) {
            field = kHighBit | static_cast<uint32_t>(*name);
            PutLe16(out_->data() + *name, static_cast<uint16_t>(key.name.size()));
            for (size_t u = 0; u < key.name.size(); ++u)
                PutLe16(out_->data() + *name + kNameLengthBytes + kUnitBytes * u, key.name[u]);
            *name += kNameLengthBytes + kUnitBytes * key.name.size();
        }
        PutLe32(entry, field);
        PutLe32(entry + kEntryTarget, target);
    }

    const ResourceTree& tree_;
    std::vector<unsigned char>* out_ = nullptr;
    uint64_t dataEntries_ = 0;  // where the data entries start
    uint64_t names_ = 0;        // where the names start
    uint64_t data_ = 0;         // where the data starts
    uint64_t payloadAt_ = 0;
    uint32_t sectionRva_ = 0;
};

}  // namespace

bool operator<(const ResourceKey& a, const ResourceKey& b) {
    if (a.named != b.named) return a.named;
    return a.named ? a.name < b.name : a.id < b.id;
}

bool operator==(const ResourceKey& a, const ResourceKey& b) {
    return a.named == b.named && (a.named ? a.name == b.name : a.id == b.id);
}

bool ReadResources(const unsigned char* image, const PeHeaders& headers, ResourceTree* tree,
                   std::string* fault) {
    Layout layout;
    ReadLayout(image, headers, &layout);
    size_t index;
    if (!FindResourceSection(headers, layout, &index, fault)) return false;
    return ReadTree(BytesOf(image, headers.sections[index]), tree, fault);
}

const ResourceData* FindResource(const ResourceTree& tree, uint16_t type, uint16_t id,
                                 uint16_t language) {
    for (const ResourceType& t : tree.types) {
        if (t.key.named || t.key.id != type) continue;
        for (const ResourceName& n : t.names) {
            if (n.key.named || n.key.id != id) continue;
            for (const ResourceData& l : n.languages)
                if (l.language == language) return &l;
        }
    }
    return nullptr;
}

uint64_t PeChecksumOffset(const PeHeaders& headers) {
    return headers.optionalOffset + kCheckSum;
}

uint32_t PeChecksum(const std::vector<ByteRange>& parts, uint64_t checksumOffset) {
    PeChecksumParts sum;
    for (const ByteRange& part : parts)
        AddPeChecksumPart(&sum, part.data, part.size, checksumOffset);
    return EndPeChecksum(sum);
}

bool MakeSetupImage(const unsigned char* stub, size_t stubSize, const unsigned char* archive,
                    size_t archiveSize, bool testStub, SetupImage* image, std::string* fault) {
    image->head.clear();
    image->tail.clear();
    PeHeaders headers;
    if (!ReadPeHeaders(stub, stubSize, &headers, fault)) return false;
    bool x86 = headers.machine == kPeMachineI386 && headers.magic == kPeMagic32;
    bool x64 = headers.machine == kPeMachineAmd64 && headers.magic == kPeMagic64;
    if (!x86 && !(testStub && x64)) {
        *fault = KindFault(headers, testStub);
        return false;
    }
    if (headers.characteristics & kPeFileDll) {
        *fault = "a DLL, not a program";
        return false;
    }
    if (!(headers.characteristics & kFileExecutable)) {
        *fault = "not an executable image (its IMAGE_FILE_EXECUTABLE_IMAGE flag is clear)";
        return false;
    }
    Layout layout;
    ReadLayout(stub, headers, &layout);
    const uint64_t optional = layout.optional;
    if (layout.directoryCount <= kResourceDirectory) {
        *fault = Damaged("its optional header is too short for a resource directory");
        return false;
    }
    uint16_t subsystem = Le16(stub + optional + kSubsystem);
    if (subsystem != kSubsystemWindowsGui) {
        *fault = "not a Windows GUI program: its subsystem is " + std::to_string(subsystem);
        return false;
    }
    const Directory& certificate = layout.directory[kCertificateDirectory];
    if (layout.directoryCount > kCertificateDirectory &&
        (certificate.rva != 0 || certificate.size != 0)) {
        *fault =
            "carries a signature; sign the setup program that create-setup makes, not the "
            "stub";
        return false;
    }
    uint64_t dataEnd = 0;
    for (const PeSection& section : headers.sections)
        if (section.rawSize != 0)
            dataEnd = std::max(dataEnd, uint64_t{section.rawOffset} + section.rawSize);
    if (stubSize > dataEnd) {
        *fault = "has " + std::to_string(stubSize - dataEnd) +
                 " bytes after its last section (an overlay), which a setup program must not "
                 "carry";
        return false;
    }

    if (layout.directory[kResourceDirectory].rva == 0) {
        *fault = "has no resources, so no dialog 1000: not a setup stub";
        return false;
    }
    size_t r;
    ResourceTree tree;
    if (!FindResourceSection(headers, layout, &r, fault)) return false;
    const PeSection& resources = headers.sections[r];
    if (!ReadTree(BytesOf(stub, resources), &tree, fault)) return false;
    bool dialog = false;
    for (const ResourceType& type : tree.types)
        for (const ResourceName& name : type.names)
            dialog = dialog || (!type.key.named && type.key.id == kResourceTypeDialog &&
                                !name.key.named && name.key.id == kProgressDialogId);
    if (!dialog) {
        *fault = "has no dialog 1000: not a setup stub";
        return false;
    }

    // Where the payload goes: RT_RCDATA, 100, which must be new.
    auto type = std::find_if(tree.types.begin(), tree.types.end(), [](const ResourceType& t) {
        return !t.key.named && t.key.id == kResourceTypeRcdata;
    });
    if (type == tree.types.end()) {
        ResourceType rcdata;
        rcdata.key.id = kResourceTypeRcdata;
        type = tree.types.insert(std::upper_bound(tree.types.begin(), tree.types.end(), rcdata,
                                                  [](const ResourceType& a, const ResourceType& b) {
                                                      return a.key < b.key;
                                                  }),
                                 rcdata);
    }
    ResourceName payload;
    payload.key.id = kPayloadResourceId;
    auto place = std::lower_bound(
        type->names.begin(), type->names.end(), payload,
        [](const ResourceName& a, const ResourceName& b) { return a.key < b.key; });
    if (place != type->names.end() && place->key == payload.key) {
        *fault =
            "already carries resource 100, a payload; create-setup takes the stub, "
            "ZentrovaSetup-stub.exe";
        return false;
    }
    ResourceData data;
    data.language = kPayloadLanguage;
    data.data = archive;
    data.size = static_cast<uint32_t>(std::min<uint64_t>(archiveSize, UINT32_MAX));
    payload.languages.push_back(data);
    type->names.insert(place, payload);

    // Only what nothing but the loader's tables point into can move.
    const uint64_t sectionAlignment = Le32(stub + optional + kSectionAlignment);
    const uint64_t fileAlignment = Le32(stub + optional + kFileAlignment);
    const uint64_t headerBytes = Le32(stub + optional + kSizeOfHeaders);
    if (!PowerOfTwo(sectionAlignment) || !PowerOfTwo(fileAlignment) ||
        fileAlignment > sectionAlignment) {
        *fault = Damaged("its section alignment " + Hex(sectionAlignment) + " and file alignment " +
                         Hex(fileAlignment) + " are not powers of two, the second no larger");
        return false;
    }
    for (size_t i = 1; i < headers.sections.size(); ++i)
        if (headers.sections[i].virtualAddress <
            headers.sections[i - 1].virtualAddress + VirtualSpan(headers.sections[i - 1])) {
            *fault = Damaged("its sections are not in address order");
            return false;
        }
    const uint64_t oldRaw = resources.rawSize;
    const uint64_t oldEnd =
        AlignUp(uint64_t{resources.virtualAddress} + VirtualSpan(resources), sectionAlignment);
    if (resources.rawOffset % fileAlignment != 0 || oldRaw % fileAlignment != 0 || oldRaw == 0) {
        *fault = Damaged("its resource section's data is not aligned to its file alignment");
        return false;
    }
    if (headers.sectionTable + headers.sections.size() * kSectionHeaderBytes >
            resources.rawOffset ||
        headerBytes > resources.rawOffset) {
        *fault = Damaged("its headers run into its resource section");
        return false;
    }
    for (size_t i = 0; i < headers.sections.size(); ++i) {
        const PeSection& section = headers.sections[i];
        if (i == r || section.rawSize == 0) continue;
        bool before = uint64_t{section.rawOffset} + section.rawSize <= resources.rawOffset;
        bool after = section.rawOffset >= uint64_t{resources.rawOffset} + oldRaw;
        if (i < r ? !before : !after) {
            *fault = Damaged("its section \"" + section.name +
                             "\" overlaps its resource section in the file");
            return false;
        }
    }
    for (size_t i = r + 1; i < headers.sections.size(); ++i) {
        if (headers.sections[i].name != kRelocationSection) {
            *fault = "has section \"" + headers.sections[i].name +
                     "\" after its resource section; create-setup can move only " +
                     kRelocationSection;
            return false;
        }
        if (headers.sections[i].virtualAddress < oldEnd) {
            *fault = Damaged("its section \"" + headers.sections[i].name +
                             "\" overlaps its resource section in memory");
            return false;
        }
    }
    for (size_t i = 0; i < layout.directoryCount; ++i) {
        const Directory& directory = layout.directory[i];
        if (i == kResourceDirectory || i == kRelocationDirectory || directory.size == 0) continue;
        if (uint64_t{directory.rva} + directory.size > resources.virtualAddress) {
            *fault = std::string("has its ") + kDirectoryNames[i] +
                     " directory in or after its resource section, which create-setup rebuilds";
            return false;
        }
    }
    const Directory relocations = layout.directoryCount > kRelocationDirectory
                                      ? layout.directory[kRelocationDirectory]
                                      : Directory{};
    bool relocationsMove = relocations.size != 0 && relocations.rva >= resources.virtualAddress;
    if (relocationsMove && relocations.rva < oldEnd) {
        *fault = Damaged("its base relocations lie in its resource section");
        return false;
    }
    if (!RelocationsEndBefore(stub, headers, relocations, resources.virtualAddress, fault))
        return false;
    if (layout.directoryCount > kDebugDirectory &&
        !DebugDataEndsBefore(stub, headers, layout.directory[kDebugDirectory],
                             resources.virtualAddress, resources.rawOffset, fault))
        return false;

    // The new section and what moves behind it.
    SectionWriter writer(tree);
    uint64_t beforePayload, sectionSize;
    writer.Measure(archiveSize, &beforePayload, &sectionSize);
    const uint64_t newRaw = AlignUp(sectionSize, fileAlignment);
    const uint64_t newEnd =
        AlignUp(uint64_t{resources.virtualAddress} + sectionSize, sectionAlignment);
    const int64_t rawShift = static_cast<int64_t>(newRaw) - static_cast<int64_t>(oldRaw);
    const int64_t addressShift = static_cast<int64_t>(newEnd) - static_cast<int64_t>(oldEnd);
    uint64_t imageSize = AlignUp(headerBytes, sectionAlignment);
    for (size_t i = 0; i < headers.sections.size(); ++i) {
        const PeSection& section = headers.sections[i];
        uint64_t span = i == r ? sectionSize : VirtualSpan(section);
        uint64_t address = section.virtualAddress + (i > r ? addressShift : 0);
        imageSize = std::max(imageSize, AlignUp(address + span, sectionAlignment));
    }
    const int64_t fileSize = static_cast<int64_t>(stubSize) + rawShift;
    const int64_t initialized = int64_t{Le32(stub + optional + kSizeOfInitializedData)} + rawShift;
    if (sectionSize > kMaxImageBytes || imageSize > kMaxImageBytes ||
        fileSize > static_cast<int64_t>(kMaxImageBytes) || archiveSize > UINT32_MAX) {
        *fault = "would make a setup program of more than 4 GiB";
        return false;
    }
    if (initialized < 0 || initialized > static_cast<int64_t>(kMaxImageBytes)) {
        *fault = Damaged("its SizeOfInitializedData does not count its resource section");
        return false;
    }

    std::vector<unsigned char>& head = image->head;
    head.assign(stub, stub + resources.rawOffset);
    std::vector<unsigned char> section;
    writer.Write(resources.virtualAddress, beforePayload, &section);
    head.insert(head.end(), section.begin(), section.end());
    image->tail.assign(newRaw - sectionSize, 0);
    image->tail.insert(image->tail.end(), stub + resources.rawOffset + oldRaw, stub + stubSize);

    for (size_t i = r; i < headers.sections.size(); ++i) {
        unsigned char* entry = head.data() + headers.sectionTable + i * kSectionHeaderBytes;
        const PeSection& old = headers.sections[i];
        if (i == r) {
            PutLe32(entry + kSectionVirtualSize, static_cast<uint32_t>(sectionSize));
            PutLe32(entry + kSectionRawSize, static_cast<uint32_t>(newRaw));
            continue;
        }
        PutLe32(entry + kSectionVirtualAddress,
                static_cast<uint32_t>(old.virtualAddress + addressShift));
        if (old.rawSize != 0)
            PutLe32(entry + kSectionRawOffset, static_cast<uint32_t>(old.rawOffset + rawShift));
    }
    unsigned char* directories = head.data() + layout.directories;
    PutLe32(directories + kResourceDirectory * kDirectoryBytes + kDirectorySize,
            static_cast<uint32_t>(sectionSize));
    if (relocationsMove)
        PutLe32(directories + kRelocationDirectory * kDirectoryBytes,
                static_cast<uint32_t>(relocations.rva + addressShift));
    PutLe32(head.data() + optional + kSizeOfImage, static_cast<uint32_t>(imageSize));
    PutLe32(head.data() + optional + kSizeOfInitializedData, static_cast<uint32_t>(initialized));
    PutLe32(head.data() + optional + kCheckSum, 0);
    uint32_t checksum =
        PeChecksum({ByteRange{head.data(), head.size()}, ByteRange{archive, archiveSize},
                    ByteRange{image->tail.data(), image->tail.size()}},
                   optional + kCheckSum);
    PutLe32(head.data() + optional + kCheckSum, checksum);
    return true;
}
