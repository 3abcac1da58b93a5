// Depth-first removal of the archive folder: silent, but for the lines
// that say it is left for the next restart, or was not this run's.
#pragma once
#include <windows.h>

#include <cstddef>

#include "format/capacities.h"

// The pattern that lists a folder of kFinderPathUnits: "\*.*" after it.
constexpr size_t kFinderPatternUnits = kFinderPathUnits + 4;
// A file in use (a virus scanner reading a fresh file, a program that runs
// on) is tried again this long, then left to be deleted at the next restart.
constexpr DWORD kRemovalRetryMs = 2000;
constexpr DWORD kRemovalRetryPollMs = 100;

// One search over one folder level, on its caller's stack.
struct FileFinder {
    int open;
    WIN32_FIND_DATAW data;
    HANDLE handle;
    const wchar_t* pattern;
};

void FileFinderInit(FileFinder* finder);
// Produces the next entry: 1, with name (kFinderPathUnits), use and folder
// flags; 0 when there is none. first starts the search over pattern.
int FileFinderNext(FileFinder* finder, const wchar_t* pattern, bool first, wchar_t* name, int* use,
                   int* folder);
void FileFinderClose(FileFinder* finder);

// RemoveDirectoryW's result for path. Links to folders are removed as
// links, never followed; read-only files go too.
BOOL DeleteFolderTree(const wchar_t* path);
// The same, and what cannot be deleted now (a program still running from
// the folder) is left to be deleted at the next restart.
BOOL DeleteFolderTreeNowOrAtRestart(const wchar_t* path);
// The end of a run: the held archive folder (archiveFolderHold) emptied and
// removed, retried for kRemovalRetryMs while answering messages, then what
// remains is left for the next restart, with a log line. Before each try
// path must still name the held folder; once it does not, or the hold is
// lost, nothing more is removed and a log line says so. Nonzero when the
// folder went now; nothing happens without a hold.
BOOL RemoveArchiveFolder(const wchar_t* path);
// As the session ends: the held archive folder, at once or at the next
// restart. Nothing when this run holds none at path.
BOOL RemoveArchiveFolderNowOrAtRestart(const wchar_t* path);
