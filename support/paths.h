// Path and file utilities over caller-owned wide buffers.
#pragma once

#include <cstddef>

#include "format/capacities.h"

constexpr int kCsidlDesktopDirectory = 0x10;
constexpr int kCsidlProgramFiles = 0x26;
constexpr int kCsidlPersonal = 5;
constexpr int kCsidlPrograms = 2;

// One unit per byte by sign extension; dst holds capacity units.
void WidenName(wchar_t* dst, size_t capacity, const char* src);
// Cuts at the last backslash after position 0.
void StripToFolder(wchar_t* path);
// Appends "\" unless the path is empty, already ends in one, or is full.
void AddBackslash(wchar_t* path, size_t capacity);
// Windows reads "/" in a path as "\": so must every test made on it, or
// a path that opens one file would pass a test made on another.
void UseBackslashes(wchar_t* path);
// True for "X:\..." and "\\server\share..." paths: any other text names a
// place that depends on the current folder. "\\.\" and "\\?\" are refused.
bool IsAbsolutePath(const wchar_t* path);
// True for a path on a drive that Windows calls remote, whose server
// applies descriptors against the user's rights there.
bool IsOnNetworkDrive(const wchar_t* path);
// True for a path on a volume that keeps permissions (not FAT, exFAT).
bool KeepsPermissions(const wchar_t* path);
// True for a file or folder at path that is a link, or a file of more
// than one name: writing to it by that name would change another.
bool IsLinkOrSharedFile(const wchar_t* path);
// True when the file opens for reading with no sharing: a folder, or a file
// someone else holds open, counts as absent.
bool FileExists(const wchar_t* path);
// Clears a file's read-only attribute, which alone makes Windows refuse to
// delete it. True when it was set and is now clear.
bool ClearReadOnly(const wchar_t* path);
// DeleteFileW, once more after clearing a read-only attribute that refused it.
bool DeleteFileEvenReadOnly(const wchar_t* path);
// The whole file followed by zero bytes (at least one full UTF-16 NUL), or
// null after an error box. Release with FreeFileContents.
wchar_t* ReadFileContents(const wchar_t* path);
void FreeFileContents(wchar_t* contents);

// Special folders, each ending in "\"; path holds kPathUnits.
bool GetSpecialFolder(wchar_t* path, int csidl);
bool GetDesktopFolder(wchar_t* path);
bool GetProgramFilesFolder(wchar_t* path);
bool GetDocumentsFolder(wchar_t* path);
// The Programs folder with sub appended and no final backslash.
bool GetProgramsMenuFolder(wchar_t* path, const wchar_t* sub);

// The running program's full path in kExtractPathUnits; its length, or 0
// with an empty path and the last error set when it cannot be had whole.
int GetOwnModulePath(wchar_t* path);
