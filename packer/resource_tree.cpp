#include "packer/resource_tree.h"

#include <algorithm>

namespace {

// Resource directory tables, their entries and data entries.
constexpr uint64_t kTableBytes = 16;
constexpr uint64_t kTableTimeDateStampOffset = 4;
constexpr uint64_t kTableMajorVersionOffset = 8;
constexpr uint64_t kTableMinorVersionOffset = 10;
constexpr uint64_t kTableNamedCountOffset = 12;
constexpr uint64_t kTableIdCountOffset = 14;
constexpr uint64_t kEntryBytes = 8;  // name or number, then where it points
constexpr uint64_t kEntryTargetOffset = 4;
constexpr uint64_t kDataEntryBytes = 16;  // RVA, size, code page, reserved
constexpr uint64_t kDataEntrySizeOffset = 4;
constexpr uint64_t kDataEntryCodePageOffset = 8;
constexpr uint64_t kNameLengthBytes = 2;  // a name's count of UTF-16 units
constexpr uint64_t kUnitBytes = 2;
// An entry's name field holds the offset of a string rather than a number.
constexpr uint32_t kNameIsString = 0x80000000;
// An entry's target is a directory table rather than a data entry.
constexpr uint32_t kTargetIsTable = 0x80000000;

enum TreeLevel : uint64_t { kTypeLevel, kNameLevel, kLanguageLevel };

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

std::string KeyText(const ResourceKey& key) {
    if (!key.named) return std::to_string(key.id);
    std::string text = "\"";
    for (char16_t unit : key.name) text += unit >= 0x20 && unit < 0x7F ? char(unit) : '?';
    return text + "\"";
}

struct Table {
    const unsigned char* entries;
    uint64_t count;
    uint64_t named;  // the first entries, keyed by strings
};

class TreeReader {
   public:
    TreeReader(const unsigned char* section, uint64_t size, uint32_t rva, std::string* fault)
        : section_(section), size_(size), rva_(rva), fault_(fault) {}

    bool ReadTable(uint64_t offset, ResourceDirectoryInfo* info, Table* read) {
        if (!Fits(offset, kTableBytes, size_)) return TablePastEnd(offset);
        const unsigned char* table = section_ + offset;
        info->characteristics = Le32(table);
        info->timeDateStamp = Le32(table + kTableTimeDateStampOffset);
        info->majorVersion = Le16(table + kTableMajorVersionOffset);
        info->minorVersion = Le16(table + kTableMinorVersionOffset);
        read->named = Le16(table + kTableNamedCountOffset);
        read->count = read->named + Le16(table + kTableIdCountOffset);
        entryCount_ += read->count;
        if (entryCount_ > kMaxResourceEntries)
            return Fail("it has more than " + std::to_string(kMaxResourceEntries) +
                        " resource entries");
        if (!Fits(offset + kTableBytes, read->count * kEntryBytes, size_))
            return TablePastEnd(offset);
        read->entries = table + kTableBytes;
        return true;
    }

    // The key of entry i of a table; *next is where it points.
    bool ReadEntry(const Table& table, uint64_t i, TreeLevel level, ResourceKey* key,
                   uint64_t* next) {
        const unsigned char* entry = table.entries + i * kEntryBytes;
        uint32_t name = Le32(entry);
        uint32_t target = Le32(entry + kEntryTargetOffset);
        key->named = (name & kNameIsString) != 0;
        if (key->named != (i < table.named))
            return Fail("a resource directory table lists names and numbers out of place");
        if (key->named) {
            if (level == kLanguageLevel) return Fail("a resource language is a string");
            if (!ReadName(name & ~kNameIsString, &key->name)) return false;
        } else {
            if (name > UINT16_MAX) return Fail("a resource number is " + Hex(name));
            key->id = static_cast<uint16_t>(name);
        }
        bool toTable = (target & kTargetIsTable) != 0;
        if (toTable != (level < kLanguageLevel))
            return Fail("its resource tree is not three levels deep (type, name, language)");
        *next = target & ~kTargetIsTable;
        return true;
    }

    bool ReadData(uint64_t offset, ResourceData* data) {
        if (!Fits(offset, kDataEntryBytes, size_))
            return Fail("a resource data entry runs past its resource section");
        const unsigned char* entry = section_ + offset;
        uint64_t rva = Le32(entry);
        data->size = Le32(entry + kDataEntrySizeOffset);
        data->codePage = Le32(entry + kDataEntryCodePageOffset);
        if (rva < rva_ || !Fits(rva - rva_, data->size, size_))
            return Fail("resource data (RVA " + Hex(rva) + ", " + std::to_string(data->size) +
                        " bytes) lies outside its resource section's data");
        data->data = section_ + (rva - rva_);
        dataBytes_ += data->size;
        // Linkers never share data between resources; a copy of each could
        // make the setup program far larger than the stub.
        if (dataBytes_ > size_) return Fail("its resources share their data");
        return true;
    }

    bool Fail(const std::string& why) {
        *fault_ = Damaged(why);
        return false;
    }

   private:
    bool TablePastEnd(uint64_t offset) {
        return Fail("a resource directory table (at " + Hex(offset) +
                    ") runs past its resource section");
    }

    bool ReadName(uint64_t at, std::u16string* name) {
        if (!Fits(at, kNameLengthBytes, size_))
            return Fail("a resource name runs past its resource section");
        uint64_t units = Le16(section_ + at);
        nameUnits_ += units;
        if (nameUnits_ > kMaxResourceNameUnits)
            return Fail("its resource names are longer than " +
                        std::to_string(kMaxResourceNameUnits) + " characters in all");
        if (!Fits(at + kNameLengthBytes, units * kUnitBytes, size_))
            return Fail("a resource name runs past its resource section");
        name->clear();
        for (uint64_t u = 0; u < units; ++u)
            *name += static_cast<char16_t>(Le16(section_ + at + kNameLengthBytes + kUnitBytes * u));
        return true;
    }

    const unsigned char* section_;
    uint64_t size_;
    uint32_t rva_;
    std::string* fault_;
    uint64_t entryCount_ = 0;
    uint64_t nameUnits_ = 0;
    uint64_t dataBytes_ = 0;
};

// Sorts items by what key gives; false, saying what describe names, at the
// first repeat.
template <typename T, typename Key, typename Describe>
bool SortedWithoutRepeats(std::vector<T>* items, Key key, Describe describe, TreeReader* reader) {
    std::sort(items->begin(), items->end(),
              [&key](const T& a, const T& b) { return key(a) < key(b); });
    for (size_t i = 1; i < items->size(); ++i)
        if (key((*items)[i - 1]) == key((*items)[i]))
            return reader->Fail("it lists " + describe((*items)[i]) + " twice");
    return true;
}

ResourceKey LanguageKey(const ResourceData& data) {
    ResourceKey key;
    key.id = data.language;
    return key;
}

bool ReadLanguage(TreeReader* reader, const Table& languages, uint64_t l, ResourceData* data) {
    ResourceKey language;
    uint64_t next;
    if (!reader->ReadEntry(languages, l, kLanguageLevel, &language, &next) ||
        !reader->ReadData(next, data))
        return false;
    data->language = language.id;
    return true;
}

bool ReadLanguages(TreeReader* reader, uint64_t offset, ResourceName* name) {
    Table languages;
    if (!reader->ReadTable(offset, &name->info, &languages)) return false;
    name->languages.resize(languages.count);
    for (uint64_t l = 0; l < languages.count; ++l)
        if (!ReadLanguage(reader, languages, l, &name->languages[l])) return false;
    return SortedWithoutRepeats(
        &name->languages, LanguageKey,
        [name](const ResourceData& data) {
            return "language " + std::to_string(data.language) + " of resource " +
                   KeyText(name->key);
        },
        reader);
}

bool ReadNames(TreeReader* reader, uint64_t offset, ResourceType* type) {
    Table names;
    if (!reader->ReadTable(offset, &type->info, &names)) return false;
    for (uint64_t n = 0; n < names.count; ++n) {
        ResourceName name;
        uint64_t next;
        if (!reader->ReadEntry(names, n, kNameLevel, &name.key, &next) ||
            !ReadLanguages(reader, next, &name))
            return false;
        type->names.push_back(std::move(name));
    }
    return SortedWithoutRepeats(
        &type->names, [](const ResourceName& name) { return name.key; },
        [type](const ResourceName& name) {
            return "resource " + KeyText(type->key) + " name " + KeyText(name.key);
        },
        reader);
}

uint64_t TableBytes(size_t entries) {
    return kTableBytes + kEntryBytes * entries;
}

uint64_t NameBytes(const ResourceKey& key) {
    return key.named ? kNameLengthBytes + kUnitBytes * key.name.size() : 0;
}

ResourceKey KeyOf(const ResourceType& type) {
    return type.key;
}

ResourceKey KeyOf(const ResourceName& name) {
    return name.key;
}

ResourceKey KeyOf(const ResourceData& data) {
    return LanguageKey(data);
}

// Fills a section sized by MeasureResourceSection, each part from where the
// layout starts it.
class SectionWriter {
   public:
    SectionWriter(const ResourceSectionLayout& layout, const ResourceData* last, uint32_t rva,
                  std::vector<unsigned char>* out)
        : last_(last),
          rva_(rva),
          out_(out),
          dataEntry_(layout.dataEntries),
          name_(layout.names),
          data_(layout.data),
          lastData_(layout.lastData) {}

    void Write(const ResourceTree& tree) {
        uint64_t nextTable = TableBytes(tree.types.size());
        PutTable(0, tree.info, tree.types);
        std::vector<uint64_t> typeTables;
        for (size_t t = 0; t < tree.types.size(); ++t) {
            PutEntry(0, t, tree.types[t].key, kTargetIsTable | static_cast<uint32_t>(nextTable));
            typeTables.push_back(nextTable);
            nextTable += TableBytes(tree.types[t].names.size());
        }
        for (size_t t = 0; t < tree.types.size(); ++t)
            nextTable = WriteNames(tree.types[t], typeTables[t], nextTable);
    }

   private:
    // Writes a type's name table at table and its language tables from
    // nextTable on; returns where the next table goes.
    uint64_t WriteNames(const ResourceType& type, uint64_t table, uint64_t nextTable) {
        PutTable(table, type.info, type.names);
        for (size_t n = 0; n < type.names.size(); ++n) {
            const ResourceName& name = type.names[n];
            PutEntry(table, n, name.key, kTargetIsTable | static_cast<uint32_t>(nextTable));
            PutTable(nextTable, name.info, name.languages);
            for (size_t l = 0; l < name.languages.size(); ++l) {
                PutEntry(nextTable, l, LanguageKey(name.languages[l]),
                         static_cast<uint32_t>(dataEntry_));
                PutData(name.languages[l]);
            }
            nextTable += TableBytes(name.languages.size());
        }
        return nextTable;
    }

    void PutData(const ResourceData& resource) {
        uint64_t at = lastData_;
        if (&resource != last_) {
            at = AlignUp(data_, kResourceDataAlignment);
            std::copy(resource.data, resource.data + resource.size,
                      out_->begin() + static_cast<std::ptrdiff_t>(at));
            data_ = at + resource.size;
        }
        unsigned char* entry = out_->data() + dataEntry_;
        PutLe32(entry, static_cast<uint32_t>(rva_ + at));
        PutLe32(entry + kDataEntrySizeOffset, resource.size);
        PutLe32(entry + kDataEntryCodePageOffset, resource.codePage);
        dataEntry_ += kDataEntryBytes;
    }

    template <typename T>
    void PutTable(uint64_t at, const ResourceDirectoryInfo& info, const std::vector<T>& items) {
        unsigned char* table = out_->data() + at;
        uint16_t named = 0;
        for (const T& item : items) named += KeyOf(item).named;
        PutLe32(table, info.characteristics);
        PutLe32(table + kTableTimeDateStampOffset, info.timeDateStamp);
        PutLe16(table + kTableMajorVersionOffset, info.majorVersion);
        PutLe16(table + kTableMinorVersionOffset, info.minorVersion);
        PutLe16(table + kTableNamedCountOffset, named);
        PutLe16(table + kTableIdCountOffset, static_cast<uint16_t>(items.size() - named));
    }

    // Entry i of the table at table; a string key goes at the next name.
    void PutEntry(uint64_t table, size_t i, const ResourceKey& key, uint32_t target) {
        unsigned char* entry = out_->data() + table + TableBytes(i);
        uint32_t field = key.id;
        if (key.named) {
            field = kNameIsString | static_cast<uint32_t>(name_);
            PutLe16(out_->data() + name_, static_cast<uint16_t>(key.name.size()));
            for (size_t u = 0; u < key.name.size(); ++u)
                PutLe16(out_->data() + name_ + kNameLengthBytes + kUnitBytes * u, key.name[u]);
            name_ += NameBytes(key);
        }
        PutLe32(entry, field);
        PutLe32(entry + kEntryTargetOffset, target);
    }

    const ResourceData* last_;
    uint32_t rva_;
    std::vector<unsigned char>* out_;
    uint64_t dataEntry_;  // the next data entry's offset
    uint64_t name_;       // the next name's offset
    uint64_t data_;       // where the data written so far ends
    uint64_t lastData_;
};

bool SameInfo(const ResourceDirectoryInfo& a, const ResourceDirectoryInfo& b) {
    return a.characteristics == b.characteristics && a.timeDateStamp == b.timeDateStamp &&
           a.majorVersion == b.majorVersion && a.minorVersion == b.minorVersion;
}

bool SameData(const ResourceData& a, const ResourceData& b) {
    return a.language == b.language && a.codePage == b.codePage && a.size == b.size &&
           std::equal(a.data, a.data + a.size, b.data);
}

bool SameName(const ResourceName& a, const ResourceName& b) {
    return a.key == b.key && SameInfo(a.info, b.info) &&
           std::equal(a.languages.begin(), a.languages.end(), b.languages.begin(),
                      b.languages.end(), SameData);
}

bool SameType(const ResourceType& a, const ResourceType& b) {
    return a.key == b.key && SameInfo(a.info, b.info) &&
           std::equal(a.names.begin(), a.names.end(), b.names.begin(), b.names.end(), SameName);
}

}  // namespace

bool operator<(const ResourceKey& a, const ResourceKey& b) {
    if (a.named != b.named) return a.named;
    return a.named ? a.name < b.name : a.id < b.id;
}

bool operator==(const ResourceKey& a, const ResourceKey& b) {
    return a.named == b.named && (a.named ? a.name == b.name : a.id == b.id);
}

bool FindResourceSection(const PeHeaders& headers, size_t* index, std::string* fault) {
    const PeDirectory& resources = headers.directories[kPeResourceDirectory];
    if (resources.rva == 0) {
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

bool ReadResourceTree(const unsigned char* section, uint64_t size, uint32_t rva, ResourceTree* tree,
                      std::string* fault) {
    *tree = ResourceTree{};
    TreeReader reader(section, size, rva, fault);
    Table types;
    if (!reader.ReadTable(0, &tree->info, &types)) return false;
    for (uint64_t t = 0; t < types.count; ++t) {
        ResourceType type;
        uint64_t next;
        if (!reader.ReadEntry(types, t, kTypeLevel, &type.key, &next) ||
            !ReadNames(&reader, next, &type))
            return false;
        tree->types.push_back(std::move(type));
    }
    return SortedWithoutRepeats(
        &tree->types, [](const ResourceType& type) { return type.key; },
        [](const ResourceType& type) { return "resource type " + KeyText(type.key); }, &reader);
}

bool ReadResources(const unsigned char* image, const PeHeaders& headers, ResourceTree* tree,
                   std::string* fault) {
    size_t index;
    if (!FindResourceSection(headers, &index, fault)) return false;
    const PeSection& section = headers.sections[index];
    return ReadResourceTree(image + section.rawOffset, section.mappedSize, section.virtualAddress,
                            tree, fault);
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

bool SameResources(const ResourceTree& a, const ResourceTree& b) {
    return SameInfo(a.info, b.info) &&
           std::equal(a.types.begin(), a.types.end(), b.types.begin(), b.types.end(), SameType);
}

ResourceSectionLayout MeasureResourceSection(const ResourceTree& tree, const ResourceData* last) {
    uint64_t tables = TableBytes(tree.types.size()), leaves = 0, names = 0;
    for (const ResourceType& type : tree.types) {
        tables += TableBytes(type.names.size());
        names += NameBytes(type.key);
        for (const ResourceName& name : type.names) {
            tables += TableBytes(name.languages.size());
            names += NameBytes(name.key);
            leaves += name.languages.size();
        }
    }
    ResourceSectionLayout layout;
    layout.dataEntries = tables;
    layout.names = layout.dataEntries + kDataEntryBytes * leaves;
    layout.data = layout.names + names;
    uint64_t end = layout.data;
    for (const ResourceType& type : tree.types)
        for (const ResourceName& name : type.names)
            for (const ResourceData& resource : name.languages)
                if (&resource != last) end = AlignUp(end, kResourceDataAlignment) + resource.size;
    layout.lastData = AlignUp(end, kResourceDataAlignment);
    return layout;
}

void WriteResourceSection(const ResourceTree& tree, const ResourceSectionLayout& layout,
                          const ResourceData* last, uint32_t sectionRva,
                          std::vector<unsigned char>* out) {
    out->assign(layout.lastData, 0);
    SectionWriter(layout, last, sectionRva, out).Write(tree);
}
