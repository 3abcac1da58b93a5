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
// Puts in place (kExtractPathUnits) the folder that the archive folder goes
// in: ownFolder, or, elevated, the Windows folder's Temp when ownFolder
// cannot be protected. Then returns why (for the log), else null.
const wchar_t* ChooseArchivePlace(wchar_t* place, const wchar_t* ownFolder);
// Replaces folder with the first free kArchiveFolderFormat of folder, name
// and a counter up to kMaxArchiveFolderCounter, made and held in one step
// (archiveFolderHold). Any failure but a taken name is a fatal report.
void CreateArchiveFolder(wchar_t* folder, const wchar_t* name);

// The archive folder's descriptor (kArchiveFolderSddl), or none without
// administrator rights. Throws the fatal report when it cannot be built.
class ArchiveFolderSecurity : public ProtectedSecurity {
   public:
    ArchiveFolderSecurity();
};
