#define ZLIB_CONST
#include "packer/reader.h"

#include <zlib.h>

#include "format/archive.h"
#include "format/archive_layout.h"
#include "packer/names.h"

namespace {

constexpr size_t kInflateChunkBytes = 1 << 16;
// The front end counts each entry's unpacked bytes in an int.
constexpr uint64_t kMaxUnpackedBytes = INT32_MAX;

// Inflates one entry; its stream must end exactly where its data ends.
bool InflateEntry(const unsigned char* data, uint32_t size, uint64_t* unpacked,
                  std::vector<unsigned char>* out, std::string* why) {
    // The front end stops at once on an empty entry and leaves an empty file.
    *unpacked = 0;
    if (size == 0) return true;
    z_stream stream{};
    stream.next_in = data;
    stream.avail_in = size;
    if (inflateInit(&stream) != Z_OK) {
        *why = "zlib could not start inflating";
        return false;
    }
    int status;
    do {
        unsigned char chunk[kInflateChunkBytes];
        stream.next_out = chunk;
        stream.avail_out = sizeof chunk;
        status = inflate(&stream, Z_NO_FLUSH);
        if (out != nullptr)
            out->insert(out->end(), chunk, chunk + (sizeof chunk - stream.avail_out));
    } while (status == Z_OK && stream.total_out <= kMaxUnpackedBytes);
    *unpacked = stream.total_out;
    uInt left = stream.avail_in;
    const char* message = stream.msg;
    inflateEnd(&stream);
    if (*unpacked > kMaxUnpackedBytes) {
        *why = "unpacks to more than 2^31-1 bytes";
        return false;
    }
    switch (status) {
        case Z_STREAM_END:
            if (left == 0) return true;
            *why = std::to_string(left) + " bytes follow the end of the zlib stream";
            return false;
        case Z_BUF_ERROR: *why = "zlib stream is cut short"; return false;
        case Z_NEED_DICT: *why = "zlib stream needs a preset dictionary"; return false;
        case Z_DATA_ERROR:
            *why = std::string("zlib stream is damaged: ") + (message ? message : "bad data");
            return false;
        default: *why = "zlib failed with code " + std::to_string(status); return false;
    }
}

std::string Where(size_t index, int32_t offset) {
    return "entry " + std::to_string(index) + " at offset " + std::to_string(offset);
}

}  // namespace

bool WalkArchive(const unsigned char* data, size_t size, bool strict,
                 std::vector<ListedEntry>* entries, std::vector<PackInput>* contents,
                 std::vector<std::string>* warnings, std::string* fault) {
    entries->clear();
    if (contents != nullptr) contents->clear();
    warnings->clear();
    if (size < kTrailerBytes) {
        *fault = "archive is " + std::to_string(size) + " bytes, shorter than its trailer";
        return false;
    }
    if (size > kMaxArchiveBytes) {
        *fault = "archive is " + std::to_string(size) + " bytes, more than 2^31-1";
        return false;
    }
    int32_t length = static_cast<int32_t>(size - kTrailerBytes);
    PayloadRules rules(strict);
    int32_t offset = 0;
    while (offset < length) {
        int32_t at = offset;
        size_t index = entries->size();
        ArchiveEntry entry;
        ArchiveStatus status = ReadArchiveEntry(data, length, &offset, &entry);
        if (status != kArchiveOk) {
            *fault = Where(index, at) + ": " + ArchiveStatusText(status);
            return false;
        }
        ListedEntry listed;
        listed.offset = at;
        listed.storedSize = entry.fileSize;
        listed.unpackedSize = entry.fileSize;
        listed.stored = IsStoredEntryName(entry.name, entry.filenameSize);
        listed.name.assign(reinterpret_cast<const char*>(entry.name), entry.filenameSize);
        std::string where = Where(index, at) + " (\"" + listed.name + "\")";
        std::string why;
        switch (rules.Check(listed.name, entry.data, entry.fileSize, &why)) {
            case PayloadRules::kAccept: break;
            case PayloadRules::kWarn: warnings->push_back(where + ": " + why); break;
            case PayloadRules::kRefuse: *fault = where + ": " + why; return false;
        }
        PackInput unpacked;
        if (listed.stored) {
            if (contents != nullptr) unpacked.data.assign(entry.data, entry.data + entry.fileSize);
        } else if (!InflateEntry(entry.data, entry.fileSize, &listed.unpackedSize,
                                 contents != nullptr ? &unpacked.data : nullptr, &why)) {
            *fault = where + ": " + why;
            return false;
        }
        if (contents != nullptr) {
            unpacked.name = listed.name;
            contents->push_back(std::move(unpacked));
        }
        entries->push_back(std::move(listed));
    }
    if (strict && entries->empty()) {
        *fault = std::string("archive has no entries; the first must be ") + kStoredEntryName;
        return false;
    }
    uint32_t trailer = Le32(data + length);
    if (trailer != static_cast<uint32_t>(length)) {
        *fault = "trailer at offset " + std::to_string(length) + " says " +
                 std::to_string(trailer) + ", but the entries end at " + std::to_string(length);
        return false;
    }
    return true;
}

bool VerifyArchive(const unsigned char* data, size_t size, bool strict,
                   std::vector<std::string>* warnings, std::string* report) {
    std::vector<ListedEntry> entries;
    if (!WalkArchive(data, size, strict, &entries, nullptr, warnings, report)) return false;
    *report = "OK " + std::to_string(entries.size()) + " entries";
    return true;
}
