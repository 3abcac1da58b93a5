// Walks any input as the front end walks its payload, from a block holding
// only the walked bytes, so ASan flags any read past them or into the trailer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "format/archive.h"
#include "format/archive_layout.h"

namespace {

volatile unsigned gSink;

// Kept when NDEBUG is set, unlike assert.
void Require(bool condition) {
    if (!condition) std::abort();
}

// What a safe name can never hold, whatever the rules behind it.
void RequireInside(const unsigned char* name, uint32_t size) {
    Require(size > 0 && name[0] != '\\' && name[size - 1] != '\\');
    uint32_t start = 0;
    for (uint32_t i = 0; i <= size; ++i) {
        if (i < size && name[i] != '\\') {
            Require(name[i] >= 0x20 && name[i] != '/' && name[i] != ':');
            continue;
        }
        uint32_t part = i - start;
        Require(part > 0);
        Require(!(part == 1 && name[start] == '.'));
        Require(!(part == 2 && name[start] == '.' && name[start + 1] == '.'));
        start = i + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size > INT32_MAX) return 0;
    int32_t length = size >= kTrailerBytes ? static_cast<int32_t>(size - kTrailerBytes) : 0;
    std::unique_ptr<unsigned char[]> walked(new unsigned char[length]);
    if (length > 0) std::memcpy(walked.get(), input, length);
    const unsigned char* begin = walked.get();

    unsigned sum = 0;
    int32_t offset = 0;
    while (offset < length) {
        int32_t before = offset;
        ArchiveEntry entry;
        ArchiveStatus status = ReadArchiveEntry(begin, length, &offset, &entry);
        if (status != kArchiveOk) {
            Require(offset == before);
            Require(ArchiveStatusText(status)[0] != 0);
            break;
        }
        Require(offset > before && offset <= length);
        Require(entry.name == begin + before + kEntryHeaderBytes);
        Require(entry.data == entry.name + entry.filenameSize);
        Require(entry.data + entry.fileSize == begin + offset);
        Require(entry.filenameSize >= 1 && entry.filenameSize <= kMaxEntryNameBytes);
        Require(std::memchr(entry.name, 0, entry.filenameSize) == nullptr);
        Require(IsSafeEntryName(entry.name, entry.filenameSize));
        RequireInside(entry.name, entry.filenameSize);
        sum += IsStoredEntryName(entry.name, entry.filenameSize);
        for (uint32_t i = 0; i < entry.filenameSize; ++i) sum += entry.name[i];
        for (uint32_t i = 0; i < entry.fileSize; ++i) sum += entry.data[i];
    }
    // The name checks also see bytes the walk never offers them.
    uint32_t raw = static_cast<uint32_t>(size < kMaxEntryNameBytes ? size : kMaxEntryNameBytes);
    if (raw > 0 && IsSafeEntryName(input, raw) && std::memchr(input, 0, raw) == nullptr)
        RequireInside(input, raw);
    gSink = sum;
    return 0;
}
