// Builds payload archives: the stored zlib1.dll, then one zlib stream per
// file, then the trailer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "format/archive_layout.h"
#include "packer/compress.h"
#include "packer/system.h"

struct PackInput {
    std::string name;    // entry name, "\" between folders
    std::string source;  // where the bytes come from
    std::vector<unsigned char> data;
    bool fromSource = false;  // data is empty: the packer reads source when it packs the entry
};

// Splits a command line entry, "PATH" or "NAME=PATH", into the entry name
// ("/" turned into "\") and the path. The name is not checked here.
void ParseEntryArgument(const std::string& argument, std::string* name, std::string* path);

// Reads a whole regular file.
bool ReadInputFile(const std::string& path, std::vector<unsigned char>* data, std::string* error);

// Every regular file under folder, top-level zlib1.dll first and the rest in
// byte order of their entry names, so the same tree always packs the same.
// The files are read when they are packed. library, unless "", is the
// zlib1.dll packed first when folder has none at its top.
bool CollectFolder(const std::string& folder, const std::string& library,
                   std::vector<PackInput>* inputs, std::string* error);

// Packs inputs in their order, reading and compressing on up to jobs
// threads at a deflate level; the bytes are the same for any number of
// threads. Unless anyOrder, the payload must be one the front end can run
// (PayloadRules). A repeated name
// is packed and noted in *warnings. A stored zlib1.dll whose PE checksum
// field is 0 is packed with its checksum filled in. progress, when given,
// hears the count of entries packed after each one.
using PackProgress = std::function<void(size_t done)>;
bool PackEntries(const std::vector<PackInput>& inputs, bool anyOrder,
                 std::vector<unsigned char>* out, std::vector<std::string>* warnings,
                 std::string* error, unsigned jobs = 1, int level = kDefaultDeflateLevel,
                 const PackProgress& progress = nullptr);
