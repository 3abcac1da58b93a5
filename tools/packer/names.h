// Entry name rules shared by the packer and the checker, so that zpack never
// writes an archive its own verify would refuse.
#pragma once

#include <map>
#include <string>

// Why name cannot name a payload entry, or nullptr when it can.
const char* EntryNameFault(const std::string& name);

// Windows folds ASCII case in file names and cannot hold a file and a folder
// of one name, so entries that differ only so would overwrite or fail.
class EntryNameSet {
   public:
    // Records name; false, saying why in *why, when it clashes with an
    // earlier one.
    bool Add(const std::string& name, std::string* why);

   private:
    std::map<std::string, std::string> files_;    // folded name -> as given
    std::map<std::string, std::string> folders_;  // folded folder -> first entry in it
};
