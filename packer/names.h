// Entry rules shared by the packer and the checker, so that zpack never
// writes an archive its own verify would refuse, nor verify passes one that
// the packer would not write.
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "format/capacities.h"
#include "format/shared_names.h"

// Longest name whose target path (the archive folder, "\", the name) fits
// the front end's path buffer, its terminator included, in every archive
// folder. The size of kShortestArchiveFolder counts its terminator, which
// stands for the "\" before the name.
constexpr size_t kMaxTargetNameBytes = kExtractPathUnits - 1 - sizeof kShortestArchiveFolder;

// Why name cannot name a payload entry, or "" when it can.
std::string EntryNameFault(const std::string& name);

// Windows folds ASCII case in file names and cannot hold a file and a folder
// of one name: entries that differ only so would overwrite or fail.
class EntryNameSet {
   public:
    enum Result { kNew, kRepeat, kClash };
    // Records name; on a repeat or a clash with an earlier one, *why says
    // which, naming the earlier entry.
    Result Add(const std::string& name, std::string* why);

   private:
    std::map<std::string, std::string> files_;    // folded name -> as given
    std::map<std::string, std::string> folders_;  // folded folder -> first entry in it
};

// Every rule beyond the archive layout, applied entry by entry in archive
// order. Strict is for a payload the front end runs: zlib1.dll first, once,
// and a library the front end can load and bind; otherwise (test payloads)
// only the names are checked.
class PayloadRules {
   public:
    enum Verdict { kAccept, kWarn, kRefuse };
    explicit PayloadRules(bool strict) : strict_(strict) {}
    // data and size are the entry's bytes as stored; *why says why a
    // verdict is not kAccept.
    Verdict Check(const std::string& name, const unsigned char* data, size_t size,
                  std::string* why);

   private:
    bool strict_;
    size_t entries_ = 0;
    EntryNameSet names_;
};
