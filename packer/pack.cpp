#include "packer/pack.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "format/archive.h"
#include "format/pe_checksum.h"
#include "packer/names.h"
#include "packer/pipeline.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kReadChunkBytes = 1 << 16;

void AppendLe32(std::vector<unsigned char>* out, uint32_t value) {
    unsigned char field[sizeof value];
    PutLe32(field, value);
    out->insert(out->end(), field, field + sizeof field);
}

std::string Describe(const PackInput& input) {
    std::string text = "entry \"" + input.name + "\"";
    if (!input.source.empty()) text += " (from " + input.source + ")";
    return text;
}

std::string ErrnoText(int error) {
    return std::strerror(error);
}

// The front end checks the stored library's checksum before it loads it; a
// field left at 0 would let a damaged download through unchecked.
std::vector<unsigned char> WithPeChecksum(const std::vector<unsigned char>& data) {
    std::vector<unsigned char> copy = data;
    uint32_t stored, computed;
    size_t field;
    if (CheckPeChecksum(data.data(), data.size(), &stored, &computed) != kPeChecksumUnset ||
        !FindPeChecksumField(data.data(), data.size(), &field))
        return copy;
    PutLe32(copy.data() + field, computed);
    return copy;
}

}  // namespace

void ParseEntryArgument(const std::string& argument, std::string* name, std::string* path) {
    size_t equals = argument.find('=');
    if (equals == std::string::npos) {
        *path = argument;
        size_t slash = argument.rfind('/');
        *name = slash == std::string::npos ? argument : argument.substr(slash + 1);
    } else {
        *name = argument.substr(0, equals);
        *path = argument.substr(equals + 1);
    }
    std::replace(name->begin(), name->end(), '/', '\\');
}

bool ReadInputFile(const std::string& path, std::vector<unsigned char>* data, std::string* error) {
    std::error_code code;
    if (!fs::is_regular_file(fs::u8path(path), code)) {
        *error = path + ": " + (code ? code.message() : "not a regular file");
        return false;
    }
    std::FILE* file = OpenForReading(path);
    if (file == nullptr) {
        *error = path + ": " + ErrnoText(errno);
        return false;
    }
    data->clear();
    unsigned char chunk[kReadChunkBytes];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        data->insert(data->end(), chunk, chunk + got);
        if (data->size() > kMaxArchiveBytes) {
            std::fclose(file);
            *error = path + ": larger than an archive may be";
            return false;
        }
    }
    bool failed = std::ferror(file) != 0;
    int readError = errno;
    std::fclose(file);
    if (failed) {
        *error = path + ": " + ErrnoText(readError);
        return false;
    }
    return true;
}

bool CollectFolder(const std::string& folder, const std::string& library,
                   std::vector<PackInput>* inputs, std::string* error) {
    std::error_code code;
    // UTF-8 both ways, whatever the system's narrow encoding.
    fs::path root = fs::u8path(folder);
    if (!fs::is_directory(root, code)) {
        *error = folder + ": " + (code ? code.message() : "not a folder");
        return false;
    }
    std::vector<std::pair<std::string, fs::path>> files;
    fs::recursive_directory_iterator walk(root, code), end;
    for (; !code && walk != end; walk.increment(code)) {
        if (!walk->is_regular_file(code)) continue;
        std::string name = walk->path().lexically_relative(root).generic_u8string();
        std::replace(name.begin(), name.end(), '/', '\\');
        files.emplace_back(name, walk->path());
    }
    if (code) {
        *error = folder + ": " + code.message();
        return false;
    }
    auto first = std::find_if(files.begin(), files.end(),
                              [](const auto& file) { return file.first == kStoredEntryName; });
    if (first != files.end()) {
        std::iter_swap(files.begin(), first);
    } else if (!library.empty()) {
        files.emplace(files.begin(), kStoredEntryName, fs::u8path(library));
    } else {
        *error = folder + ": has no " + kStoredEntryName + " at its top; put the 32-bit " +
                 kStoredEntryName + " there or beside zpack, or give --zlib PATH";
        return false;
    }
    std::sort(files.begin() + 1, files.end());
    inputs->clear();
    for (const auto& file : files) {
        PackInput input;
        input.name = file.first;
        input.source = file.second.u8string();
        input.fromSource = true;
        inputs->push_back(std::move(input));
    }
    return true;
}

bool PackEntries(const std::vector<PackInput>& inputs, bool anyOrder,
                 std::vector<unsigned char>* out, std::vector<std::string>* warnings,
                 std::string* error, unsigned jobs, int level, const PackProgress& progress) {
    out->clear();
    warnings->clear();
    if (!anyOrder && inputs.empty()) {
        *error = std::string("no entries; the first entry must be ") + kStoredEntryName;
        return false;
    }
    PayloadRules rules(!anyOrder);
    EntryPipeline pipeline(inputs, jobs, level);
    for (const PackInput& input : inputs) {
        PreparedEntry prepared = pipeline.Take();
        if (!prepared.error.empty()) {
            *error = Describe(input) + ": " + prepared.error;
            return false;
        }
        const std::vector<unsigned char>* stored = &prepared.stored;
        std::string why;
        switch (rules.Check(input.name, stored->data(), stored->size(), &why)) {
            case PayloadRules::kAccept: break;
            case PayloadRules::kWarn: warnings->push_back(Describe(input) + ": " + why); break;
            case PayloadRules::kRefuse: *error = Describe(input) + ": " + why; return false;
        }
        const unsigned char* name = reinterpret_cast<const unsigned char*>(input.name.data());
        uint32_t nameSize = static_cast<uint32_t>(input.name.size());
        std::vector<unsigned char> library;
        if (IsStoredEntryName(name, nameSize)) {
            library = WithPeChecksum(prepared.stored);
            stored = &library;
        }
        uint64_t total =
            out->size() + uint64_t{kEntryHeaderBytes} + nameSize + stored->size() + kTrailerBytes;
        if (total > kMaxArchiveBytes) {
            *error = Describe(input) + ": the archive would pass 2^31-1 bytes";
            return false;
        }
        AppendLe32(out, static_cast<uint32_t>(stored->size()));
        AppendLe32(out, nameSize);
        out->insert(out->end(), name, name + nameSize);
        out->insert(out->end(), stored->begin(), stored->end());
        if (progress) progress(static_cast<size_t>(&input - inputs.data()) + 1);
    }
    AppendLe32(out, static_cast<uint32_t>(out->size()));
    return true;
}
