// The extraction run: log, archive folder, payload lookup, unpacking.
#pragma once

#include <windows.h>

#include "format/resource_ids.h"
#include "format/shared_names.h"
#include "support/security.h"

// Fills both buffers (kExtractPathUnits each, no trailing backslash; the
// archive folder's once it exists) and returns the number of entries
// written, or -1 when the payload is missing.
int RunExtraction(wchar_t* archiveFolder, wchar_t* ownFolder);
// Replaces folder with the first free kArchiveFolderFormat of folder, name
// and a counter up to kMaxArchiveFolderCounter, and holds the folder it
// creates (archiveFolderHold). False when the name was taken although its folder could not be
// created. A folder that is not the one it made by the time it holds it (a link, or another
// owner's) is a fatal report: another process put it there.
bool CreateArchiveFolder(wchar_t* folder, const wchar_t* name);

// The archive folder's descriptor (kArchiveFolderSddl), or none without
// administrator rights. Throws the fatal report when it cannot be built.
class ArchiveFolderSecurity : public ProtectedSecurity {
   public:
    ArchiveFolderSecurity();
};
