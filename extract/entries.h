// Writes every payload entry to its file inside the archive folder.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "support/paths.h"

// Where the stored zlib1.dll was written; the compression binding loads it.
extern wchar_t zlibPath[kPathUnits];

// Walks length bytes of the archive; returns the number of entries written.
// Any failure is shown and thrown as CException*.
int ExtractFiles(const unsigned char* data, const wchar_t* archiveFolder, int32_t length);
// Closes the file of the entry being written, or left open by a failed
// one, so that the archive folder can be removed while the run stops.
void CloseEntryBeingWritten();
// Creates each folder whose name ends at a backslash at or after start.
void CreateParentFolders(const wchar_t* path, size_t start);
int WriteRawEntry(HANDLE file, const void* data, DWORD count);
void WriteBlock(const void* data, DWORD count, HANDLE file, const char* label);
