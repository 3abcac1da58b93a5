// Checks any input as zpack verify does, and repacks what it
// accepts: the packer must take it with the same warnings, and the result
// must unpack the same, but for a stored library's checksum left at 0,
// which the packer fills in.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "format/pe_checksum.h"
#include "packer/pack.h"
#include "packer/reader.h"

namespace {

// Level-9 deflate of a stream bomb would swamp the run; small ones suffice.
constexpr uint64_t kMaxRepackBytes = 1 << 16;

void Require(bool condition) {
    if (!condition) std::abort();
}

bool SameOrFilledIn(const std::vector<unsigned char>& before,
                    const std::vector<unsigned char>& after, bool stored) {
    if (after == before) return true;
    uint32_t field = 0, sum = 0;
    size_t at = 0;
    if (!stored ||
        CheckPeChecksum(before.data(), before.size(), &field, &sum) != kPeChecksumUnset ||
        !FindPeChecksumField(before.data(), before.size(), &at))
        return false;
    std::vector<unsigned char> filled = before;
    for (size_t i = 0; i < kPeChecksumFieldBytes; ++i)
        filled[at + i] = static_cast<unsigned char>(sum >> (8 * i));
    return after == filled;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    std::vector<std::string> warnings;
    std::string strictReport, looseReport;
    bool strict = VerifyArchive(input, size, true, &warnings, &strictReport);
    bool loose = VerifyArchive(input, size, false, &warnings, &looseReport);
    Require(!strictReport.empty() && !looseReport.empty());
    Require(!strict || loose);
    if (!loose) return 0;

    std::vector<ListedEntry> entries;
    std::string fault;
    Require(WalkArchive(input, size, false, &entries, nullptr, &warnings, &fault));
    uint64_t unpacked = 0;
    for (const ListedEntry& entry : entries) unpacked += entry.unpackedSize;
    if (unpacked > kMaxRepackBytes) return 0;

    std::vector<PackInput> contents;
    Require(WalkArchive(input, size, strict, &entries, &contents, &warnings, &fault));
    std::vector<unsigned char> repacked;
    std::vector<std::string> packWarnings;
    std::string error;
    Require(PackEntries(contents, !strict, &repacked, &packWarnings, &error));
    Require(packWarnings.size() == warnings.size());
    std::vector<ListedEntry> again;
    std::vector<PackInput> againContents;
    Require(WalkArchive(repacked.data(), repacked.size(), strict, &again, &againContents, &warnings,
                        &fault));
    Require(warnings.size() == packWarnings.size());
    Require(again.size() == entries.size());
    for (size_t i = 0; i < again.size(); ++i) {
        Require(againContents[i].name == contents[i].name);
        Require(SameOrFilledIn(contents[i].data, againContents[i].data, entries[i].stored));
        Require(again[i].stored == entries[i].stored);
    }
    return 0;
}
