// zpack: builds and checks the payload archive the front end carries.
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "packer/output_place.h"
#include "packer/pack.h"
#include "packer/payload.h"
#include "packer/pe.h"
#include "packer/pipeline.h"
#include "packer/progress.h"
#include "packer/reader.h"
#include "packer/stub.h"
#include "support/version_numbers.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
// -j takes up to kMaxPackJobs.
constexpr size_t kMaxJobDigits = 3;
// What comes with zpack: beside it in the kit, here from its folder once
// installed (bin/zpack, share/zentrova/).
constexpr char kStubFileName[] = "ZentrovaSetup-stub.exe";
constexpr char kInstalledFolder[] = "../share/zentrova";

const char kUsage[] =
    "usage: zpack create [-j N] [--best] [-q] [--any-order] OUT ENTRY...   ENTRY is PATH or "
    "NAME=PATH\n"
    "       zpack create-dir [-j N] [--best] [-q] [--any-order] [--zlib PATH] OUT DIR\n"
    "       zpack create-setup [-j N] [--best] [-q] [--any-order] [--zlib PATH] OUT [STUB] DIR\n"
    "       zpack list [--any-order] FILE\n"
    "       zpack verify [--any-order] FILE\n"
    "       zpack --version | --help\n"
    "-j N compresses on N threads (default: one per core); the archive is the same for any N\n"
    "--best makes the smallest archive, several times slower\n"
    "-q shows no progress line; one shows on a terminal when a pack runs over a second\n"
    "--zlib PATH packs PATH as zlib1.dll when DIR has none at its top; without it the\n"
    "  zlib1.dll that comes with zpack is packed, found as STUB is\n"
    "--any-order is for test payloads: entries in any order, zlib1.dll unchecked, and the\n"
    "  64-bit stub taken too\n"
    "create-setup packs DIR as create-dir does into a copy of STUB, ZentrovaSetup-stub.exe;\n"
    "  without STUB, the one beside zpack, or in ../share/zentrova/ from its folder\n"
    "list and verify take an archive or a setup program, signed or not\n";

const char kRunFromSwapNote[] =
    "runs from the page file off a share or a removable medium "
    "(IMAGE_FILE_NET_RUN_FROM_SWAP, IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP)";

struct Options {
    bool anyOrder = false;
    bool jobsGiven = false;
    bool quiet = false;
    unsigned jobs = 0;
    bool levelGiven = false;
    int level = kDefaultDeflateLevel;
    std::string zlib;  // --zlib PATH
};

// Takes the options before the first other argument off args.
bool ParseOptions(std::vector<std::string>* args, Options* options) {
    options->jobs = DefaultPackJobs();
    size_t i = 0;
    for (; i < args->size(); ++i) {
        const std::string& arg = (*args)[i];
        std::string count;
        if (arg == "--any-order") {
            options->anyOrder = true;
            continue;
        }
        if (arg == "--best") {
            options->level = kBestDeflateLevel;
            options->levelGiven = true;
            continue;
        }
        if (arg == "-q") {
            options->quiet = true;
            continue;
        }
        if (arg == "--zlib") {
            if (i + 1 == args->size() || (*args)[i + 1].empty()) return false;
            options->zlib = (*args)[++i];
            continue;
        }
        if (arg == "-j" && i + 1 < args->size())
            count = (*args)[++i];
        else if (arg.size() > 2 && arg.compare(0, 2, "-j") == 0)
            count = arg.substr(2);
        else
            break;
        if (count.empty() || count.size() > kMaxJobDigits ||
            count.find_first_not_of("0123456789") != std::string::npos)
            return false;
        unsigned long jobs = std::stoul(count);
        if (jobs < 1 || jobs > kMaxPackJobs) return false;
        options->jobs = static_cast<unsigned>(jobs);
        options->jobsGiven = true;
    }
    args->erase(args->begin(), args->begin() + static_cast<std::ptrdiff_t>(i));
    return true;
}

int Usage() {
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

int Refuse(const std::string& message) {
    std::fprintf(stderr, "zpack: %s\n", message.c_str());
    return kExitRefused;
}

void Warn(const std::string& archive, const std::vector<std::string>& warnings) {
    for (const std::string& warning : warnings)
        std::fprintf(stderr, "zpack: warning: %s: %s\n", archive.c_str(), warning.c_str());
}

bool Pack(const std::string& out, const std::vector<PackInput>& inputs, const Options& options,
          std::vector<unsigned char>* archive) {
    std::vector<std::string> warnings;
    std::string error;
    ProgressLine progress(stderr, !options.quiet && ErrorIsTerminal(), inputs);
    bool packed = PackEntries(inputs, options.anyOrder, archive, &warnings, &error, options.jobs,
                              options.level, [&progress](size_t done) { progress.Packed(done); });
    progress.Finish();
    Warn(out, warnings);
    if (!packed) Refuse(out + ": " + error);
    return packed;
}

int WriteArchive(const std::string& out, const std::vector<PackInput>& inputs,
                 const Options& options) {
    std::vector<unsigned char> archive;
    if (!Pack(out, inputs, options, &archive)) return kExitRefused;
    std::string error;
    if (!WriteFileAtomically(out, archive, &error)) return Refuse(error);
    return kExitOk;
}

int Create(const std::vector<std::string>& args, const Options& options) {
    if (args.empty() || (args.size() < 2 && !options.anyOrder)) return Usage();
    std::vector<PackInput> inputs;
    for (size_t i = 1; i < args.size(); ++i) {
        PackInput input;
        ParseEntryArgument(args[i], &input.name, &input.source);
        input.fromSource = true;
        inputs.push_back(std::move(input));
    }
    return WriteArchive(args[0], inputs, options);
}

// The file of that name that comes with zpack, or "".
std::string CompanionFile(const char* name) {
    std::string self = ExecutablePath();
    if (self.empty()) return "";
    const std::filesystem::path folder = std::filesystem::u8path(self).parent_path();
    for (const std::filesystem::path& place : {folder / name, folder / kInstalledFolder / name}) {
        std::error_code code;
        if (std::filesystem::is_regular_file(place, code))
            return place.lexically_normal().u8string();
    }
    return "";
}

// The zlib1.dll packed when the folder has none: --zlib's, or zpack's own.
std::string LibraryFallback(const Options& options) {
    return options.zlib.empty() ? CompanionFile(kStoredEntryName) : options.zlib;
}

bool CollectPayload(const std::string& out, const std::string& stub, const std::string& folder,
                    const Options& options, std::vector<PackInput>* inputs, std::string* error) {
    *error = OutputPlaceFault(out, stub, folder);
    if (!error->empty() || !CollectFolder(folder, LibraryFallback(options), inputs, error))
        return false;
    if (options.zlib.empty() || inputs->front().source == options.zlib) return true;
    *error = folder + ": has its own " + kStoredEntryName + "; --zlib is for a folder without one";
    return false;
}

int CreateFromFolder(const std::vector<std::string>& args, const Options& options) {
    if (args.size() != 2) return Usage();
    std::vector<PackInput> inputs;
    std::string error;
    if (!CollectPayload(args[0], "", args[1], options, &inputs, &error)) return Refuse(error);
    return WriteArchive(args[0], inputs, options);
}

int CreateSetup(const std::vector<std::string>& args, const Options& options) {
    if (args.size() != 2 && args.size() != 3) return Usage();
    const std::string& out = args[0];
    const std::string& folder = args.back();
    const std::string stubPath = args.size() == 3 ? args[1] : CompanionFile(kStubFileName);
    if (stubPath.empty())
        return Refuse(std::string("no ") + kStubFileName + " beside zpack or in " +
                      kInstalledFolder + "/ from its folder; name the stub: zpack create-setup " +
                      "OUT STUB DIR");
    std::vector<unsigned char> stub;
    std::string error;
    if (!ReadInputFile(stubPath, &stub, &error)) return Refuse(error);
    // The stub first: packing a large folder takes long.
    SetupImage image;
    if (!MakeSetupImage(stub.data(), stub.size(), nullptr, 0, options.anyOrder, &image, &error))
        return Refuse(stubPath + ": " + error);
    std::vector<PackInput> inputs;
    if (!CollectPayload(out, stubPath, folder, options, &inputs, &error)) return Refuse(error);
    std::vector<unsigned char> archive;
    if (!Pack(out, inputs, options, &archive)) return kExitRefused;
    // The stub passed above: what fails now is the archive's doing.
    if (!MakeSetupImage(stub.data(), stub.size(), archive.data(), archive.size(), options.anyOrder,
                        &image, &error))
        return Refuse(out + ": " + error);
    std::vector<ByteRange> parts = {{image.head.data(), image.head.size()},
                                    {archive.data(), archive.size()},
                                    {image.tail.data(), image.tail.size()}};
    if (!WriteFileAtomically(out, parts, true, &error)) return Refuse(error);
    return kExitOk;
}

// The archive in FILE: the whole file, or a setup program's resource 100.
bool LoadArchive(const std::string& path, std::vector<unsigned char>* data, PayloadSpan* payload) {
    std::string error;
    if (!ReadInputFile(path, data, &error)) {
        Refuse(error);
        return false;
    }
    if (FindPayload(data->data(), data->size(), payload, &error)) return true;
    Refuse(path + ": " + error);
    return false;
}

int List(const std::vector<std::string>& args, bool anyOrder) {
    if (args.size() != 1) return Usage();
    std::vector<unsigned char> data;
    PayloadSpan payload;
    if (!LoadArchive(args[0], &data, &payload)) return kExitRefused;
    std::vector<ListedEntry> entries;
    std::vector<std::string> warnings;
    std::string fault;
    bool ok =
        WalkArchive(payload.data, payload.size, !anyOrder, &entries, nullptr, &warnings, &fault);
    Warn(args[0], warnings);
    std::printf("%5s %10s %10s %10s %-7s %s\n", "index", "offset", "stored", "unpacked", "storage",
                "name");
    uint64_t storedTotal = 0, unpackedTotal = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const ListedEntry& entry = entries[i];
        std::printf("%5zu %10" PRId32 " %10" PRIu32 " %10" PRIu64 " %-7s %s\n", i, entry.offset,
                    entry.storedSize, entry.unpackedSize, entry.stored ? "stored" : "zlib",
                    entry.name.c_str());
        storedTotal += entry.storedSize;
        unpackedTotal += entry.unpackedSize;
    }
    std::printf("total %zu entries, %" PRIu64 " bytes stored, %" PRIu64
                " bytes unpacked, archive %zu bytes\n",
                entries.size(), storedTotal, unpackedTotal, payload.size);
    return ok ? kExitOk : Refuse(args[0] + ": " + fault);
}

int Verify(const std::vector<std::string>& args, bool anyOrder) {
    if (args.size() != 1) return Usage();
    std::vector<unsigned char> data;
    PayloadSpan payload;
    if (!LoadArchive(args[0], &data, &payload)) return kExitRefused;
    std::vector<std::string> warnings;
    std::string report;
    bool ok = VerifyArchive(payload.data, payload.size, !anyOrder, &warnings, &report);
    const std::string missing = payload.program ? MissingRunFromSwap(payload.characteristics) : "";
    if (!missing.empty())
        warnings.push_back("its header lacks " + missing +
                           ": run from a share that drops or a stick that is pulled, it dies "
                           "mid-run without a word; make it with create-setup");
    Warn(args[0], warnings);
    if (!ok) return Refuse(args[0] + ": " + report);
    std::printf("%s\n", report.c_str());
    if (payload.program && missing.empty()) std::printf("%s\n", kRunFromSwapNote);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args = ProgramArguments(argc, argv);
    if (args.size() < 2) return Usage();
    std::string command = args[1];
    if (args.size() == 2 && (command == "--help" || command == "-h")) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (args.size() == 2 && command == "--version") {
        std::printf("zpack %s\n", ZENTROVA_VERSION_TEXT);
        return kExitOk;
    }
    args.erase(args.begin(), args.begin() + 2);
    Options options;
    if (!ParseOptions(&args, &options)) return Usage();
    RemoveTemporaryFileOnInterrupt();
    if (command == "create" && options.zlib.empty()) return Create(args, options);
    if (command == "create-dir") return CreateFromFolder(args, options);
    if (command == "create-setup") return CreateSetup(args, options);
    if (options.jobsGiven || options.levelGiven || !options.zlib.empty()) return Usage();
    if (command == "list") return List(args, options.anyOrder);
    if (command == "verify") return Verify(args, options.anyOrder);
    return Usage();
}
