#include "packer/names.h"

#include <cstring>

#include "format/archive.h"
#include "packer/pe.h"

namespace {

constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kLastPrintable = 0x7E;

std::string FoldCase(const std::string& name) {
    std::string folded = name;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

std::string Quoted(const std::string& name) {
    return "\"" + name + "\"";
}

// The front end widens each byte of a name to one UTF-16 unit, so only
// printable ASCII names the file the vendor meant.
std::string NonAsciiFault(const std::string& name) {
    for (size_t i = 0; i < name.size(); ++i) {
        unsigned char byte = static_cast<unsigned char>(name[i]);
        if (byte >= kFirstPrintable && byte <= kLastPrintable) continue;
        return "name holds byte " + Hex(byte) + " at " + std::to_string(i) +
               ", outside printable ASCII; the program would widen each byte to one UTF-16 "
               "character and install the file under a garbled name";
    }
    return "";
}

}  // namespace

std::string EntryNameFault(const std::string& name) {
    if (name.empty()) return "name is empty";
    if (name.size() > kMaxTargetNameBytes) {
        std::string path = std::string(kShortestArchiveFolder) + "\\" + name;
        return "the unpacked path " + Quoted(path) + " would be " + std::to_string(path.size()) +
               " characters, longer than 255 even in the shortest archive folder, and the front "
               "end would fail with \"Target path too long\"; names may be at most " +
               std::to_string(kMaxTargetNameBytes) + " bytes";
    }
    if (std::memchr(name.data(), 0, name.size()) != nullptr) return "name holds a 0 byte";
    std::string nonAscii = NonAsciiFault(name);
    if (!nonAscii.empty()) return nonAscii;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(name.data());
    if (!IsSafeEntryName(bytes, static_cast<uint32_t>(name.size())))
        return "name is unsafe: it needs relative parts split by \"\\\", none empty, \".\" or "
               "\"..\", none ending in a dot or blank, none a device such as CON or LPT1, and no "
               "\"/\", \":\", wildcard or control character";
    return "";
}

EntryNameSet::Result EntryNameSet::Add(const std::string& name, std::string* why) {
    std::string folded = FoldCase(name);
    auto file = files_.find(folded);
    if (file != files_.end()) {
        *why =
            "repeats " + Quoted(file->second) + "; the front end unpacks it over the earlier file";
        return kRepeat;
    }
    auto folder = folders_.find(folded);
    if (folder != folders_.end()) {
        *why = "is the folder of " + Quoted(folder->second);
        return kClash;
    }
    for (size_t at = folded.find('\\'); at != std::string::npos; at = folded.find('\\', at + 1)) {
        auto parent = files_.find(folded.substr(0, at));
        if (parent != files_.end()) {
            *why = "needs a folder where " + Quoted(parent->second) + " is a file";
            return kClash;
        }
    }
    for (size_t at = folded.find('\\'); at != std::string::npos; at = folded.find('\\', at + 1))
        folders_.emplace(folded.substr(0, at), name);
    files_.emplace(folded, name);
    return kNew;
}

PayloadRules::Verdict PayloadRules::Check(const std::string& name, const unsigned char* data,
                                          size_t size, std::string* why) {
    size_t index = entries_++;
    *why = EntryNameFault(name);
    if (!why->empty()) return kRefuse;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(name.data());
    bool stored = IsStoredEntryName(bytes, static_cast<uint32_t>(name.size()));
    if (strict_ && index == 0 && !stored) {
        *why = std::string("the first entry must be ") + kStoredEntryName;
        return kRefuse;
    }
    std::string overlap;
    EntryNameSet::Result added = names_.Add(name, &overlap);
    if (added == EntryNameSet::kClash) {
        *why = overlap;
        return kRefuse;
    }
    if (added == EntryNameSet::kRepeat && strict_ && FoldCase(name) == kStoredEntryName) {
        *why = "repeats " + Quoted(kStoredEntryName) +
               ", the library the front end loads from that file to unpack the rest; the payload "
               "must hold it once";
        return kRefuse;
    }
    if (strict_ && stored) {
        *why = ZlibLibraryFault(data, size);
        if (!why->empty()) return kRefuse;
    }
    if (added == EntryNameSet::kRepeat) {
        *why = overlap;
        return kWarn;
    }
    return kAccept;
}
