#include "packer/stub.h"

#include <algorithm>

#include "format/pe_format.h"

namespace {

constexpr char kRelocationSection[] = ".reloc";
// A block of base relocations: its page's RVA, the block's size, then entries.
constexpr uint64_t kRelocationBlockHeaderBytes = 8;
constexpr uint64_t kRelocationBlockSizeOffset = 4;
constexpr uint64_t kRelocationEntryBytes = 2;
constexpr unsigned kRelocationTypeShift = 12;
constexpr uint32_t kRelocationOffsetMask = 0xFFF;
// IMAGE_REL_BASED_* types and how many bytes each patches.
constexpr unsigned kRelocationAbsolute = 0;  // padding: patches nothing
constexpr unsigned kRelocationHigh = 1;
constexpr unsigned kRelocationLow = 2;
constexpr unsigned kRelocationHighLow = 3;
constexpr unsigned kRelocationHighAdjust = 4;  // its next entry is its operand
constexpr unsigned kRelocationDir64 = 10;
constexpr uint64_t kRelocationHalfBytes = 2;
constexpr uint64_t kRelocationWordBytes = 4;
// DIR64's width, and the bound for a type this program's machines do not use.
constexpr uint64_t kRelocationWidest = 8;

constexpr uint64_t kDebugEntryBytes = 28;
constexpr uint64_t kDebugDataSizeOffset = 16;
constexpr uint64_t kDebugDataRvaOffset = 20;
constexpr uint64_t kDebugDataPointerOffset = 24;

constexpr uint64_t kMaxImageBytes = UINT32_MAX;

uint64_t AlignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

bool PowerOfTwo(uint64_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

bool Refuse(std::string* fault, const std::string& why) {
    *fault = why;
    return false;
}

// The span of memory the loader gives a section.
uint64_t VirtualSpan(const PeSection& section) {
    return section.virtualSize != 0 ? section.virtualSize : section.rawSize;
}

// The stub as the relayout sees it, filled in as its checks pass.
struct Stub {
    const unsigned char* bytes = nullptr;
    size_t size = 0;
    PeHeaders headers;
    size_t resources = 0;  // the resource section's index
    uint64_t sectionAlignment = 0;
    uint64_t fileAlignment = 0;
    uint64_t headerBytes = 0;
    uint64_t oldEnd = 0;  // the address where the resource section's memory ends

    const PeSection& Resources() const { return headers.sections[resources]; }
    uint32_t Optional32(uint64_t field) const {
        return Le32(bytes + headers.optionalOffset + field);
    }
};

// What the relayout measured, for the writing.
struct Relayout {
    ResourceSectionLayout section;
    uint64_t sectionSize = 0;  // with the payload
    uint64_t newRaw = 0;       // the section's file size
    int64_t rawShift = 0;      // how far the later sections move in the file
    int64_t addressShift = 0;  // and in memory
    uint64_t imageSize = 0;
    int64_t initialized = 0;  // SizeOfInitializedData
};

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

bool CheckKind(const PeHeaders& headers, bool testStub, std::string* fault) {
    bool x86 = headers.machine == kPeMachineI386 && headers.magic == kPeMagic32;
    bool x64 = headers.machine == kPeMachineAmd64 && headers.magic == kPeMagic64;
    if (!x86 && !(testStub && x64)) return Refuse(fault, KindFault(headers, testStub));
    if (headers.characteristics & kPeFileDll) return Refuse(fault, "a DLL, not a program");
    if (!(headers.characteristics & kPeFileExecutable))
        return Refuse(fault,
                      "not an executable image (its IMAGE_FILE_EXECUTABLE_IMAGE flag is clear)");
    return true;
}

// A GUI program, unsigned and without an overlay.
bool CheckProgram(const Stub& stub, std::string* fault) {
    const PeHeaders& headers = stub.headers;
    // The fields read and patched lie before the resource directory.
    if (headers.directoryCount <= kPeResourceDirectory)
        return Refuse(fault, Damaged("its optional header is too short for a resource directory"));
    uint16_t subsystem = Le16(stub.bytes + headers.optionalOffset + kOptionalSubsystemOffset);
    if (subsystem != kPeSubsystemWindowsGui)
        return Refuse(fault,
                      "not a Windows GUI program: its subsystem is " + std::to_string(subsystem));
    const PeDirectory& certificate = headers.directories[kPeCertificateDirectory];
    if (certificate.rva != 0 || certificate.size != 0)
        return Refuse(fault,
                      "carries a signature; sign the setup program that create-setup makes, not "
                      "the stub");
    uint64_t dataEnd = 0;
    for (const PeSection& section : headers.sections)
        if (section.rawSize != 0)
            dataEnd = std::max(dataEnd, uint64_t{section.rawOffset} + section.rawSize);
    if (stub.size > dataEnd)
        return Refuse(fault, "has " + std::to_string(stub.size - dataEnd) +
                                 " bytes after its last section (an overlay), which a setup "
                                 "program must not carry");
    return true;
}

bool ReadStubTree(Stub* stub, ResourceTree* tree, std::string* fault) {
    if (!FindResourceSection(stub->headers, &stub->resources, fault)) return false;
    const PeSection& section = stub->Resources();
    if (!ReadResourceTree(stub->bytes + section.rawOffset, section.mappedSize,
                          section.virtualAddress, tree, fault))
        return false;
    for (const ResourceType& type : tree->types)
        for (const ResourceName& name : type.names)
            if (!type.key.named && type.key.id == kResourceTypeDialog && !name.key.named &&
                name.key.id == kProgressDialogId)
                return true;
    return Refuse(fault, "has no dialog 1000: not a setup stub");
}

// Adds the payload as RT_RCDATA 100, which must be new; *payload points at
// it within the tree.
bool AddPayload(ResourceTree* tree, const unsigned char* archive, size_t archiveSize,
                const ResourceData** payload, std::string* fault) {
    auto type = std::find_if(tree->types.begin(), tree->types.end(), [](const ResourceType& t) {
        return !t.key.named && t.key.id == kResourceTypeRcdata;
    });
    if (type == tree->types.end()) {
        ResourceType rcdata;
        rcdata.key.id = kResourceTypeRcdata;
        type = tree->types.insert(
            std::upper_bound(
                tree->types.begin(), tree->types.end(), rcdata,
                [](const ResourceType& a, const ResourceType& b) { return a.key < b.key; }),
            rcdata);
    }
    ResourceName name;
    name.key.id = kPayloadResourceId;
    auto place = std::lower_bound(
        type->names.begin(), type->names.end(), name,
        [](const ResourceName& a, const ResourceName& b) { return a.key < b.key; });
    if (place != type->names.end() && place->key == name.key)
        return Refuse(fault,
                      "already carries resource 100, a payload; create-setup takes the stub, "
                      "ZentrovaSetup-stub.exe");
    ResourceData data;
    data.language = kPayloadLanguage;
    data.data = archive;
    data.size = static_cast<uint32_t>(archiveSize);
    name.languages.push_back(data);
    *payload = &type->names.insert(place, name)->languages.front();
    return true;
}

bool CheckAlignment(Stub* stub, std::string* fault) {
    stub->sectionAlignment = stub->Optional32(kOptionalSectionAlignmentOffset);
    stub->fileAlignment = stub->Optional32(kOptionalFileAlignmentOffset);
    stub->headerBytes = stub->Optional32(kOptionalSizeOfHeadersOffset);
    if (!PowerOfTwo(stub->sectionAlignment) || !PowerOfTwo(stub->fileAlignment) ||
        stub->fileAlignment > stub->sectionAlignment)
        return Refuse(fault, Damaged("its section alignment " + Hex(stub->sectionAlignment) +
                                     " and file alignment " + Hex(stub->fileAlignment) +
                                     " are not powers of two, the second no larger"));
    const std::vector<PeSection>& sections = stub->headers.sections;
    for (size_t i = 1; i < sections.size(); ++i)
        if (sections[i].virtualAddress <
            sections[i - 1].virtualAddress + VirtualSpan(sections[i - 1]))
            return Refuse(fault, Damaged("its sections are not in address order"));
    const PeSection& resources = stub->Resources();
    stub->oldEnd = AlignUp(uint64_t{resources.virtualAddress} + VirtualSpan(resources),
                           stub->sectionAlignment);
    if (resources.rawOffset % stub->fileAlignment != 0 ||
        resources.rawSize % stub->fileAlignment != 0 || resources.rawSize == 0)
        return Refuse(fault,
                      Damaged("its resource section's data is not aligned to its file alignment"));
    if (stub->headers.sectionTable + sections.size() * kSectionHeaderBytes > resources.rawOffset ||
        stub->headerBytes > resources.rawOffset)
        return Refuse(fault, Damaged("its headers run into its resource section"));
    return true;
}

// Sections before the resource section stay where they are; after it may
// come only .reloc, which moves.
bool CheckSectionsAround(const Stub& stub, std::string* fault) {
    const std::vector<PeSection>& sections = stub.headers.sections;
    const PeSection& resources = stub.Resources();
    const size_t r = stub.resources;
    for (size_t i = 0; i < sections.size(); ++i) {
        const PeSection& section = sections[i];
        if (i == r || section.rawSize == 0) continue;
        bool before = uint64_t{section.rawOffset} + section.rawSize <= resources.rawOffset;
        bool after = section.rawOffset >= uint64_t{resources.rawOffset} + resources.rawSize;
        if (i < r ? !before : !after)
            return Refuse(fault, Damaged("its section \"" + section.name +
                                         "\" overlaps its resource section in the file"));
    }
    for (size_t i = r + 1; i < sections.size(); ++i) {
        if (sections[i].name != kRelocationSection)
            return Refuse(fault, "has section \"" + sections[i].name +
                                     "\" after its resource section; create-setup can move "
                                     "only " +
                                     kRelocationSection);
        if (sections[i].virtualAddress < stub.oldEnd)
            return Refuse(fault, Damaged("its section \"" + sections[i].name +
                                         "\" overlaps its resource section in memory"));
    }
    return true;
}

uint64_t RelocationWidth(unsigned type) {
    switch (type) {
        case kRelocationAbsolute: return 0;
        case kRelocationHigh:
        case kRelocationLow:
        case kRelocationHighAdjust: return kRelocationHalfBytes;
        case kRelocationHighLow: return kRelocationWordBytes;
        case kRelocationDir64:
        default: return kRelocationWidest;
    }
}

// Refuses relocations that patch bytes at or after limit: those bytes move.
bool RelocationsEndBefore(const Stub& stub, const PeDirectory& relocations, uint64_t limit,
                          std::string* fault) {
    if (relocations.size == 0) return true;
    uint64_t offset, available;
    if (!MapRva(stub.headers, stub.size, relocations.rva, relocations.size, &offset, &available))
        return Refuse(fault, Damaged("its base relocations lie outside its sections' data"));
    const unsigned char* blocks = stub.bytes + offset;
    for (uint64_t at = 0; Fits(at, kRelocationBlockHeaderBytes, relocations.size);) {
        uint64_t page = Le32(blocks + at);
        uint64_t bytes = Le32(blocks + at + kRelocationBlockSizeOffset);
        if (bytes < kRelocationBlockHeaderBytes || !Fits(at, bytes, relocations.size))
            return Refuse(fault, Damaged("a block of its base relocations has " +
                                         std::to_string(bytes) + " bytes"));
        for (uint64_t e = at + kRelocationBlockHeaderBytes; e + kRelocationEntryBytes <= at + bytes;
             e += kRelocationEntryBytes) {
            uint16_t entry = Le16(blocks + e);
            unsigned type = entry >> kRelocationTypeShift;
            uint64_t width = RelocationWidth(type);
            if (type == kRelocationHighAdjust) e += kRelocationEntryBytes;
            if (width == 0) continue;
            uint64_t target = page + (entry & kRelocationOffsetMask);
            if (target + width > limit)
                return Refuse(fault, "relocates an address (RVA " + Hex(target) +
                                         ") in or after its resource section, which "
                                         "create-setup rebuilds");
        }
        at += bytes;
    }
    return true;
}

bool DebugDataEndsBefore(const Stub& stub, const PeDirectory& debug, std::string* fault) {
    if (debug.size == 0) return true;
    uint64_t offset, available;
    if (!MapRva(stub.headers, stub.size, debug.rva, debug.size, &offset, &available))
        return Refuse(fault, Damaged("its debug directory lies outside its sections' data"));
    const unsigned char* entries = stub.bytes + offset;
    const PeSection& resources = stub.Resources();
    for (uint64_t at = 0; at + kDebugEntryBytes <= debug.size; at += kDebugEntryBytes) {
        uint64_t size = Le32(entries + at + kDebugDataSizeOffset);
        uint64_t rva = Le32(entries + at + kDebugDataRvaOffset);
        uint64_t pointer = Le32(entries + at + kDebugDataPointerOffset);
        if (size == 0) continue;
        if ((rva != 0 && rva + size > resources.virtualAddress) ||
            (pointer != 0 && pointer + size > resources.rawOffset))
            return Refuse(fault,
                          "has debug data in or after its resource section, which create-setup "
                          "rebuilds");
    }
    return true;
}

// Only what nothing but the loader's tables point into can move.
bool CheckDirectories(const Stub& stub, std::string* fault) {
    const PeHeaders& headers = stub.headers;
    const PeSection& resources = stub.Resources();
    for (size_t i = 0; i < headers.directoryCount; ++i) {
        const PeDirectory& directory = headers.directories[i];
        if (i == kPeResourceDirectory || i == kPeRelocationDirectory || directory.size == 0)
            continue;
        if (uint64_t{directory.rva} + directory.size > resources.virtualAddress)
            return Refuse(fault, std::string("has its ") + kPeDirectoryNames[i] +
                                     " directory in or after its resource section, which "
                                     "create-setup rebuilds");
    }
    const PeDirectory& relocations = headers.directories[kPeRelocationDirectory];
    if (relocations.size != 0 && relocations.rva >= resources.virtualAddress &&
        relocations.rva < stub.oldEnd)
        return Refuse(fault, Damaged("its base relocations lie in its resource section"));
    return RelocationsEndBefore(stub, relocations, resources.virtualAddress, fault) &&
           DebugDataEndsBefore(stub, headers.directories[kPeDebugDirectory], fault);
}

bool MeasureRelayout(const Stub& stub, const ResourceTree& tree, const ResourceData* payload,
                     size_t archiveSize, Relayout* relayout, std::string* fault) {
    const PeSection& resources = stub.Resources();
    const size_t r = stub.resources;
    relayout->section = MeasureResourceSection(tree, payload);
    relayout->sectionSize = relayout->section.lastData + archiveSize;
    relayout->newRaw = AlignUp(relayout->sectionSize, stub.fileAlignment);
    const uint64_t newEnd =
        AlignUp(uint64_t{resources.virtualAddress} + relayout->sectionSize, stub.sectionAlignment);
    relayout->rawShift =
        static_cast<int64_t>(relayout->newRaw) - static_cast<int64_t>(resources.rawSize);
    relayout->addressShift = static_cast<int64_t>(newEnd) - static_cast<int64_t>(stub.oldEnd);
    relayout->imageSize = AlignUp(stub.headerBytes, stub.sectionAlignment);
    for (size_t i = 0; i < stub.headers.sections.size(); ++i) {
        const PeSection& section = stub.headers.sections[i];
        uint64_t span = i == r ? relayout->sectionSize : VirtualSpan(section);
        uint64_t address = section.virtualAddress + (i > r ? relayout->addressShift : 0);
        relayout->imageSize =
            std::max(relayout->imageSize, AlignUp(address + span, stub.sectionAlignment));
    }
    if (relayout->imageSize > kMaxSetupImageBytes)
        return Refuse(fault, "with its archive of " + std::to_string(archiveSize) +
                                 " bytes the setup program's image (SizeOfImage) would be " +
                                 Hex(relayout->imageSize) + " bytes, past the " +
                                 Hex(kMaxSetupImageBytes) +
                                 " (1 GiB) a 32-bit setup program may take; pack fewer files");
    // A stub whose later sections lie near the top of memory could be pushed past it.
    const int64_t fileSize = static_cast<int64_t>(stub.size) + relayout->rawShift;
    if (relayout->imageSize > kMaxImageBytes || fileSize > static_cast<int64_t>(kMaxImageBytes))
        return Refuse(fault, "would make a setup program of more than 4 GiB");
    relayout->initialized =
        int64_t{stub.Optional32(kOptionalSizeOfInitializedDataOffset)} + relayout->rawShift;
    if (relayout->initialized < 0 || relayout->initialized > static_cast<int64_t>(kMaxImageBytes))
        return Refuse(fault,
                      Damaged("its SizeOfInitializedData does not count its resource section"));
    return true;
}

// Points the section table and the directories at where things now lie.
void PatchHeaders(const Stub& stub, const Relayout& relayout, unsigned char* head) {
    const std::vector<PeSection>& sections = stub.headers.sections;
    const size_t r = stub.resources;
    unsigned char* resources = head + stub.headers.sectionTable + r * kSectionHeaderBytes;
    PutLe32(resources + kSectionVirtualSizeOffset, static_cast<uint32_t>(relayout.sectionSize));
    PutLe32(resources + kSectionSizeOfRawDataOffset, static_cast<uint32_t>(relayout.newRaw));
    for (size_t i = r + 1; i < sections.size(); ++i) {
        unsigned char* entry = head + stub.headers.sectionTable + i * kSectionHeaderBytes;
        PutLe32(entry + kSectionVirtualAddressOffset,
                static_cast<uint32_t>(sections[i].virtualAddress + relayout.addressShift));
        if (sections[i].rawSize != 0)
            PutLe32(entry + kSectionPointerToRawDataOffset,
                    static_cast<uint32_t>(sections[i].rawOffset + relayout.rawShift));
    }
    unsigned char* directories = head + stub.headers.directoryTable;
    PutLe32(directories + kPeResourceDirectory * kDirectoryBytes + kDirectorySizeOffset,
            static_cast<uint32_t>(relayout.sectionSize));
    const PeDirectory& relocations = stub.headers.directories[kPeRelocationDirectory];
    if (relocations.size != 0 && relocations.rva >= stub.Resources().virtualAddress)
        PutLe32(directories + kPeRelocationDirectory * kDirectoryBytes + kDirectoryRvaOffset,
                static_cast<uint32_t>(relocations.rva + relayout.addressShift));
    PutLe16(head + PeCharacteristicsOffset(stub.headers),
            static_cast<uint16_t>(stub.headers.characteristics | kPeFileRunFromSwap));
    unsigned char* optional = head + stub.headers.optionalOffset;
    PutLe32(optional + kOptionalSizeOfImageOffset, static_cast<uint32_t>(relayout.imageSize));
    PutLe32(optional + kOptionalSizeOfInitializedDataOffset,
            static_cast<uint32_t>(relayout.initialized));
}

void WriteSetupImage(const Stub& stub, const ResourceTree& tree, const ResourceData* payload,
                     const Relayout& relayout, const unsigned char* archive, size_t archiveSize,
                     SetupImage* image) {
    const PeSection& resources = stub.Resources();
    std::vector<unsigned char>& head = image->head;
    head.assign(stub.bytes, stub.bytes + resources.rawOffset);
    std::vector<unsigned char> section;
    WriteResourceSection(tree, relayout.section, payload, resources.virtualAddress, &section);
    head.insert(head.end(), section.begin(), section.end());
    image->tail.assign(relayout.newRaw - relayout.sectionSize, 0);
    image->tail.insert(image->tail.end(), stub.bytes + resources.rawOffset + resources.rawSize,
                       stub.bytes + stub.size);
    PatchHeaders(stub, relayout, head.data());
    const uint64_t checksumOffset = PeChecksumOffset(stub.headers);
    PutLe32(head.data() + checksumOffset, 0);
    uint32_t checksum =
        PeChecksum({ByteRange{head.data(), head.size()}, ByteRange{archive, archiveSize},
                    ByteRange{image->tail.data(), image->tail.size()}},
                   checksumOffset);
    PutLe32(head.data() + checksumOffset, checksum);
}

}  // namespace

bool MakeSetupImage(const unsigned char* bytes, size_t size, const unsigned char* archive,
                    size_t archiveSize, bool testStub, SetupImage* image, std::string* fault) {
    image->head.clear();
    image->tail.clear();
    Stub stub;
    stub.bytes = bytes;
    stub.size = size;
    ResourceTree tree;
    const ResourceData* payload = nullptr;
    Relayout relayout;
    if (!ReadPeHeaders(bytes, size, &stub.headers, fault) ||
        !CheckKind(stub.headers, testStub, fault) || !CheckProgram(stub, fault) ||
        !ReadStubTree(&stub, &tree, fault) ||
        !AddPayload(&tree, archive, archiveSize, &payload, fault) ||
        !CheckAlignment(&stub, fault) || !CheckSectionsAround(stub, fault) ||
        !CheckDirectories(stub, fault) ||
        !MeasureRelayout(stub, tree, payload, archiveSize, &relayout, fault))
        return false;
    WriteSetupImage(stub, tree, payload, relayout, archive, archiveSize, image);
    return true;
}
