#include "packer/pe.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "format/pe_checksum.h"
#include "format/pe_format.h"

const char* const kZlibExportNames[kZlibExportCount] = {ZENTROVA_ZLIB_EXPORTS};

const char* const kPeDirectoryNames[kPeDirectorySlots] = {
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

namespace {

constexpr unsigned char kDosMagic[] = {'M', 'Z'};
constexpr unsigned char kPeSignature[] = {'P', 'E', 0, 0};
static_assert(sizeof kPeSignature == kPeSignatureBytes, "the signature fills its field");

constexpr uint64_t kExportDirectoryBytes = 40;
constexpr uint64_t kExportFunctionCountOffset = 20;
constexpr uint64_t kExportNameCountOffset = 24;
constexpr uint64_t kExportFunctionsOffset = 28;
constexpr uint64_t kExportNamesOffset = 32;
constexpr uint64_t kExportNameOrdinalsOffset = 36;
constexpr uint64_t kExportRvaBytes = 4;  // an address or a name's RVA
constexpr uint64_t kExportOrdinalBytes = 2;

constexpr size_t kNumberTextBytes = 32;

// The data directories of a PE32 or PE32+ optional header; none for another.
void ReadDirectories(const unsigned char* data, PeHeaders* headers) {
    uint64_t countField, directories;
    if (headers->magic == kPeMagic32) {
        countField = kOptional32DirectoryCountOffset;
        directories = kOptional32DirectoriesOffset;
    } else if (headers->magic == kPeMagic64) {
        countField = kOptional64DirectoryCountOffset;
        directories = kOptional64DirectoriesOffset;
    } else {
        return;
    }
    headers->directoryTable = headers->optionalOffset + directories;
    if (headers->optionalSize < directories) return;
    uint64_t room = (headers->optionalSize - directories) / kDirectoryBytes;
    uint64_t listed = Le32(data + headers->optionalOffset + countField);
    headers->directoryCount = std::min({listed, room, uint64_t{kPeDirectorySlots}});
    for (uint64_t i = 0; i < headers->directoryCount; ++i) {
        const unsigned char* entry = data + headers->directoryTable + i * kDirectoryBytes;
        headers->directories[i] =
            PeDirectory{Le32(entry + kDirectoryRvaOffset), Le32(entry + kDirectorySizeOffset)};
    }
}

}  // namespace

bool MapRva(const PeHeaders& headers, uint64_t size, uint64_t rva, uint64_t length,
            uint64_t* offset, uint64_t* available) {
    for (const PeSection& section : headers.sections) {
        if (rva < section.virtualAddress) continue;
        uint64_t into = rva - section.virtualAddress;
        if (!Fits(into, length, section.mappedSize)) continue;
        uint64_t at = uint64_t{section.rawOffset} + into;
        if (!Fits(at, length, size)) continue;
        *offset = at;
        *available = std::min(section.mappedSize - into, size - at);
        return true;
    }
    return false;
}

uint64_t PeChecksumOffset(const PeHeaders& headers) {
    return headers.optionalOffset + kOptionalCheckSumOffset;
}

uint64_t PeCharacteristicsOffset(const PeHeaders& headers) {
    return headers.optionalOffset - kCoffHeaderBytes + kCoffCharacteristicsOffset;
}

std::string MissingRunFromSwap(uint16_t characteristics) {
    std::string missing;
    if (!(characteristics & kPeFileNetRunFromSwap)) missing = "IMAGE_FILE_NET_RUN_FROM_SWAP";
    if (!(characteristics & kPeFileRemovableRunFromSwap))
        missing +=
            std::string(missing.empty() ? "" : " and ") + "IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP";
    return missing;
}

uint32_t PeChecksum(const std::vector<ByteRange>& parts, uint64_t checksumOffset) {
    PeChecksumParts sum;
    for (const ByteRange& part : parts)
        AddPeChecksumPart(&sum, part.data, part.size, checksumOffset);
    return EndPeChecksum(sum);
}

namespace {

bool MapTable(const PeHeaders& headers, uint64_t size, uint64_t rva, uint64_t length,
              const char* what, uint64_t* offset, std::string* fault) {
    uint64_t available;
    if (MapRva(headers, size, rva, length, offset, &available)) return true;
    *fault = Damaged(std::string("its ") + what + " (RVA " + Hex(rva) + ", " +
                     std::to_string(length) + " bytes) lies outside its sections' data");
    return false;
}

std::string MachineFault(uint16_t machine, bool dll) {
    const char* kind = dll ? "library" : "program";
    std::string what;
    switch (machine) {
        case kPeMachineAmd64: what = std::string("a 64-bit (x86-64) ") + kind; break;
        case kPeMachineArm64: what = std::string("a 64-bit (ARM64) ") + kind; break;
        case kPeMachineArm: what = std::string("a 32-bit ARM ") + kind; break;
        default: what = std::string("a ") + kind + " for machine type " + Hex(machine); break;
    }
    return what + "; the front end is 32-bit and needs an i386 zlib1.dll";
}

}  // namespace

std::string Hex(uint64_t value) {
    char text[kNumberTextBytes];
    std::snprintf(text, sizeof text, "0x%" PRIX64, value);
    return text;
}

std::string Damaged(const std::string& why) {
    return "a damaged PE file: " + why;
}

bool ReadPeHeaders(const unsigned char* data, size_t size, PeHeaders* headers, std::string* fault) {
    *headers = PeHeaders{};
    if (size < sizeof kDosMagic || std::memcmp(data, kDosMagic, sizeof kDosMagic) != 0) {
        *fault = "not a PE file: it does not start with \"MZ\"";
        return false;
    }
    if (size < kDosHeaderBytes) {
        *fault = "not a PE file: it ends within its DOS header";
        return false;
    }
    uint64_t pe = Le32(data + kDosNewHeaderOffset);
    if (!Fits(pe, sizeof kPeSignature, size) ||
        std::memcmp(data + pe, kPeSignature, sizeof kPeSignature) != 0) {
        *fault = "not a PE file: no \"PE\" signature at offset " + Hex(pe) +
                 ", where its DOS header points";
        return false;
    }
    uint64_t coff = pe + sizeof kPeSignature;
    if (!Fits(coff, kCoffHeaderBytes, size)) {
        *fault = Damaged("its COFF header runs past its end");
        return false;
    }
    headers->machine = Le16(data + coff + kCoffMachineOffset);
    headers->characteristics = Le16(data + coff + kCoffCharacteristicsOffset);
    uint64_t optional = coff + kCoffHeaderBytes;
    uint64_t optionalSize = Le16(data + coff + kCoffOptionalHeaderSizeOffset);
    if (!Fits(optional, optionalSize, size)) {
        *fault = Damaged("its optional header runs past its end");
        return false;
    }
    if (optionalSize >= kOptionalMagicOffset + kOptionalMagicBytes)
        headers->magic = Le16(data + optional + kOptionalMagicOffset);
    headers->optionalOffset = optional;
    headers->optionalSize = optionalSize;
    ReadDirectories(data, headers);

    uint64_t count = Le16(data + coff + kCoffSectionCountOffset);
    if (count > kMaxPeSections) {
        *fault = Damaged("it has " + std::to_string(count) + " sections; Windows loads at most " +
                         std::to_string(kMaxPeSections));
        return false;
    }
    uint64_t table = optional + optionalSize;
    headers->sectionTable = table;
    if (!Fits(table, count * kSectionHeaderBytes, size)) {
        *fault = Damaged("its section table runs past its end");
        return false;
    }
    for (uint64_t i = 0; i < count; ++i) {
        const unsigned char* entry = data + table + i * kSectionHeaderBytes;
        PeSection section;
        section.virtualAddress = Le32(entry + kSectionVirtualAddressOffset);
        section.rawOffset = Le32(entry + kSectionPointerToRawDataOffset);
        uint32_t rawSize = Le32(entry + kSectionSizeOfRawDataOffset);
        uint32_t virtualSize = Le32(entry + kSectionVirtualSizeOffset);
        section.rawSize = rawSize;
        section.virtualSize = virtualSize;
        section.characteristics = Le32(entry + kSectionCharacteristicsOffset);
        const char* name = reinterpret_cast<const char*>(entry);
        section.name.assign(name, std::find(name, name + kSectionNameBytes, '\0'));
        if (rawSize != 0 && !Fits(section.rawOffset, rawSize, size)) {
            *fault = Damaged("section " + std::to_string(i + 1) + "'s data runs past its end");
            return false;
        }
        // The loader zero-fills what the section's memory holds beyond its file data.
        section.mappedSize = virtualSize != 0 && virtualSize < rawSize ? virtualSize : rawSize;
        headers->sections.push_back(section);
    }
    return true;
}

bool FindPeExports(const unsigned char* data, size_t size, const PeHeaders& headers,
                   const char* const* wanted, size_t count, bool* found, std::string* fault) {
    for (size_t j = 0; j < count; ++j) found[j] = false;
    const uint32_t exportRva = headers.directories[kPeExportDirectory].rva;
    if (exportRva == 0) return true;
    uint64_t directory;
    if (!MapTable(headers, size, exportRva, kExportDirectoryBytes, "export directory", &directory,
                  fault))
        return false;
    uint64_t functionCount = Le32(data + directory + kExportFunctionCountOffset);
    uint64_t nameCount = Le32(data + directory + kExportNameCountOffset);
    if (nameCount > kMaxPeExportNames) {
        *fault = Damaged("it lists " + std::to_string(nameCount) + " export names, more than " +
                         std::to_string(kMaxPeExportNames));
        return false;
    }
    if (nameCount == 0) return true;
    uint64_t names, ordinals;
    if (!MapTable(headers, size, Le32(data + directory + kExportNamesOffset),
                  nameCount * kExportRvaBytes, "export name table", &names, fault) ||
        !MapTable(headers, size, Le32(data + directory + kExportNameOrdinalsOffset),
                  nameCount * kExportOrdinalBytes, "export ordinal table", &ordinals, fault))
        return false;
    uint64_t functions = Le32(data + directory + kExportFunctionsOffset);
    for (uint64_t i = 0; i < nameCount; ++i) {
        uint64_t nameRva = Le32(data + names + i * kExportRvaBytes);
        uint64_t name, available;
        if (!MapRva(headers, size, nameRva, 1, &name, &available)) {
            *fault = Damaged("its export name " + std::to_string(i + 1) + " (RVA " + Hex(nameRva) +
                             ") lies outside its sections' data");
            return false;
        }
        for (size_t j = 0; j < count; ++j) {
            size_t length = std::strlen(wanted[j]);
            // The name must end where the wanted one does, inside the section.
            if (found[j] || available <= length ||
                std::memcmp(data + name, wanted[j], length) != 0 || data[name + length] != 0)
                continue;
            uint64_t ordinal = Le16(data + ordinals + i * kExportOrdinalBytes);
            if (ordinal >= functionCount) {
                *fault = Damaged(std::string("its export \"") + wanted[j] + "\" names function " +
                                 std::to_string(ordinal) + " of " + std::to_string(functionCount));
                return false;
            }
            uint64_t function;
            if (!MapTable(headers, size, functions + ordinal * kExportRvaBytes, kExportRvaBytes,
                          "export address table", &function, fault))
                return false;
            // GetProcAddress finds no address for a name bound to RVA 0.
            found[j] = Le32(data + function) != 0;
        }
    }
    return true;
}

std::string ZlibLibraryFault(const unsigned char* data, size_t size) {
    PeHeaders headers;
    std::string fault;
    if (!ReadPeHeaders(data, size, &headers, &fault)) return fault;
    // First: a damaged file's other faults would only mislead.
    uint32_t stored = 0, computed = 0;
    switch (CheckPeChecksum(data, size, &stored, &computed)) {
        case kPeChecksumWrong:
            return Damaged("its PE checksum is " + Hex(stored) + ", but its bytes sum to " +
                           Hex(computed) + "; the front end refuses to load it");
        case kPeChecksumNoField:
            return Damaged("its optional header ends before its checksum field");
        case kPeChecksumMatches:
        case kPeChecksumUnset: break;
    }
    bool dll = (headers.characteristics & kPeFileDll) != 0;
    if (headers.machine != kPeMachineI386) return MachineFault(headers.machine, dll);
    if (!dll) return "not a DLL but a program (its IMAGE_FILE_DLL flag is clear)";
    if (headers.magic != kPeMagic32)
        return "not a 32-bit image: its optional header magic is " + Hex(headers.magic) +
               ", not PE32's " + Hex(kPeMagic32);
    bool found[kZlibExportCount];
    if (!FindPeExports(data, size, headers, kZlibExportNames, kZlibExportCount, found, &fault))
        return fault;
    std::string missing;
    for (size_t i = 0; i < kZlibExportCount; ++i) {
        if (found[i]) continue;
        if (!missing.empty()) missing += ", ";
        missing += kZlibExportNames[i];
    }
    if (missing.empty()) return "";
    return "does not export " + missing +
           "; the front end looks up fifteen zlib functions and shows \"No zip procs\" when "
           "one is missing";
}
