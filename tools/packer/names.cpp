#include "tools/packer/names.h"

#include <cstring>

#include "extract/archive.h"

namespace {

std::string FoldCase(const std::string& name) {
    std::string folded = name;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

std::string Quoted(const std::string& name) {
    return "\"" + name + "\"";
}

}  // namespace

const char* EntryNameFault(const std::string& name) {
    if (name.empty()) return "name is empty";
    if (name.size() > kMaxEntryNameBytes) return "name is longer than 255 bytes";
    if (std::memchr(name.data(), 0, name.size()) != nullptr) return "name holds a 0 byte";
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(name.data());
    if (!IsSafeEntryName(bytes, static_cast<uint32_t>(name.size())))
        return "name is unsafe: it needs relative parts split by \"\\\", none empty, \".\" or "
               "\"..\", none ending in a dot or blank, none a device such as CON or LPT1, and no "
               "\"/\", \":\", wildcard or control character";
    return nullptr;
}

bool EntryNameSet::Add(const std::string& name, std::string* why) {
    std::string folded = FoldCase(name);
    auto file = files_.find(folded);
    if (file != files_.end()) {
        *why = "duplicates " + Quoted(file->second);
        return false;
    }
    auto folder = folders_.find(folded);
    if (folder != folders_.end()) {
        *why = "is the folder of " + Quoted(folder->second);
        return false;
    }
    for (size_t at = folded.find('\\'); at != std::string::npos; at = folded.find('\\', at + 1)) {
        auto parent = files_.find(folded.substr(0, at));
        if (parent != files_.end()) {
            *why = "needs a folder where " + Quoted(parent->second) + " is a file";
            return false;
        }
    }
    for (size_t at = folded.find('\\'); at != std::string::npos; at = folded.find('\\', at + 1))
        folders_.emplace(folded.substr(0, at), name);
    files_.emplace(folded, name);
    return true;
}
