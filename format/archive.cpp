#include "format/archive.h"

#include <cstring>

namespace {

char Lower(unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

// Windows opens a device, not a file, for these base names whatever the
// extension ("nul.txt" too), so a payload must never name one.
bool IsDeviceName(const unsigned char* part, uint32_t size) {
    static const char* const kDevices[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
    uint32_t base = 0;
    while (base < size && part[base] != '.') ++base;
    while (base > 0 && part[base - 1] == ' ') --base;
    char lower[8];
    if (base >= sizeof lower) return false;
    for (uint32_t i = 0; i < base; ++i) lower[i] = Lower(part[i]);
    lower[base] = 0;
    for (const char* device : kDevices)
        if (std::strcmp(lower, device) == 0) return true;
    if (base == 4 && (std::memcmp(lower, "com", 3) == 0 || std::memcmp(lower, "lpt", 3) == 0))
        return lower[3] >= '0' && lower[3] <= '9';
    return false;
}

bool IsSafeComponent(const unsigned char* part, uint32_t size) {
    if (size == 0) return false;
    // Windows drops trailing dots and blanks, so "..", ". ." and "a." would
    // not name what they seem to.
    if (part[size - 1] == '.' || part[size - 1] == ' ') return false;
    for (uint32_t i = 0; i < size; ++i) {
        unsigned char c = part[i];
        if (c < 0x20 || c == '/' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' ||
            c == '>' || c == '|')
            return false;
    }
    return !IsDeviceName(part, size);
}

}  // namespace

ArchiveStatus ReadArchiveEntry(const unsigned char* archive, int32_t length, int32_t* offset,
                               ArchiveEntry* entry) {
    // All sums are done in 64 bits: the stored sizes are untrusted.
    int64_t at = *offset;
    if (at < 0 || length - at < kEntryHeaderBytes) return kArchiveHeaderPastEnd;
    uint32_t fileSize = Le32(archive + at + kEntryFileSizeOffset);
    uint32_t nameSize = Le32(archive + at + kEntryNameSizeOffset);
    at += kEntryHeaderBytes;
    if (nameSize == 0 || nameSize > kMaxEntryNameBytes) return kArchiveNameSizeBad;
    if (static_cast<int64_t>(nameSize) > length - at) return kArchiveNamePastEnd;
    const unsigned char* name = archive + at;
    at += nameSize;
    if (static_cast<int64_t>(fileSize) > length - at) return kArchiveDataPastEnd;
    if (std::memchr(name, 0, nameSize) != nullptr) return kArchiveNameHasNul;
    if (!IsSafeEntryName(name, nameSize)) return kArchiveNameUnsafe;
    entry->fileSize = fileSize;
    entry->filenameSize = nameSize;
    entry->name = name;
    entry->data = archive + at;
    *offset = static_cast<int32_t>(at + fileSize);
    return kArchiveOk;
}

bool IsSafeEntryName(const unsigned char* name, uint32_t size) {
    if (size == 0) return false;
    uint32_t start = 0;
    for (uint32_t i = 0; i <= size; ++i) {
        if (i == size || name[i] == '\\') {
            if (!IsSafeComponent(name + start, i - start)) return false;
            start = i + 1;
        }
    }
    return true;
}

bool IsStoredEntryName(const unsigned char* name, uint32_t size) {
    return size == sizeof kStoredEntryName - 1 && std::memcmp(name, kStoredEntryName, size) == 0;
}

const char* ArchiveStatusText(ArchiveStatus status) {
    switch (status) {
        case kArchiveOk: return "no error";
        case kArchiveHeaderPastEnd: return "entry header runs past the end";
        case kArchiveNameSizeBad: return "entry name length out of range";
        case kArchiveNamePastEnd: return "entry name runs past the end";
        case kArchiveDataPastEnd: return "entry data runs past the end";
        case kArchiveNameHasNul: return "entry name holds a 0 byte";
        case kArchiveNameUnsafe: return "entry name leaves the archive folder";
    }
    return "unknown archive error";
}
