// The extraction run: log, archive folder, payload lookup, unpacking.
#pragma once

#include <windows.h>

// Payload archive resource: RT_RCDATA, this id, in the program's own module.
constexpr int kPayloadResourceId = 100;
constexpr int kMaxArchiveFolderCounter = 49;

// Fills both buffers (kExtractPathUnits each, no trailing backslash; the
// archive folder's once it exists) and returns the number of entries
// written, or -1 when the payload is missing.
int RunExtraction(wchar_t* archiveFolder, wchar_t* ownFolder);
// Replaces folder with the first free "%s\%s-%d" of folder, name, 1..49.
// False when the name was taken although its folder could not be created.
bool CreateArchiveFolder(wchar_t* folder, const wchar_t* name);
// True once this run has created its archive folder: only then is the
// folder its own to remove.
bool ArchiveFolderCreated();

// The archive folder's descriptor: protected, SYSTEM and Administrators full
// control, everyone else read and execute, inherited by everything inside.
// None (default security) when the program runs without administrator
// rights. Throws the fatal report when it cannot be built.
class ArchiveFolderSecurity {
   public:
    ArchiveFolderSecurity();
    ~ArchiveFolderSecurity();
    ArchiveFolderSecurity(const ArchiveFolderSecurity&) = delete;
    ArchiveFolderSecurity& operator=(const ArchiveFolderSecurity&) = delete;
    SECURITY_ATTRIBUTES* Attributes();

   private:
    SECURITY_ATTRIBUTES attributes_;
};
