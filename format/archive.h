// Payload archive walk: bounds and name checks for one entry at a time.
// Free of Windows so that it builds natively for sanitizers and fuzzing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/archive_layout.h"

enum ArchiveStatus {
    kArchiveOk = 0,
    kArchiveHeaderPastEnd,  // fewer than 8 bytes left for a header
    kArchiveNameSizeBad,    // filenameSize 0 or above 255
    kArchiveNamePastEnd,    // the name runs past the walked length
    kArchiveDataPastEnd,    // the data runs past the walked length
    kArchiveNameHasNul,     // a 0 byte inside the name
    kArchiveNameUnsafe,     // the name would leave the archive folder
};

struct ArchiveEntry {
    uint32_t fileSize;
    uint32_t filenameSize;
    const unsigned char* name;  // filenameSize bytes, not terminated
    const unsigned char* data;  // fileSize bytes
};

// Reads the entry at *offset of an archive walked up to length bytes and
// moves *offset past it. On any status but kArchiveOk, *offset is unchanged
// and entry holds nothing to rely on.
ArchiveStatus ReadArchiveEntry(const unsigned char* archive, int32_t length, int32_t* offset,
                               ArchiveEntry* entry);

// True when a name names a file strictly inside the archive folder: no
// empty, "." or ".." component, no leading or trailing "\", no "/" or ":",
// no control character, no component ending in a dot or a blank, and no
// reserved device name such as CON or LPT1.
bool IsSafeEntryName(const unsigned char* name, uint32_t size);

// True for the one stored entry: exactly "zlib1.dll", case and all.
bool IsStoredEntryName(const unsigned char* name, uint32_t size);

// Short English reason for a status, for the user's error box.
const char* ArchiveStatusText(ArchiveStatus status);
