#include "handoff/remove.h"

#include <cwchar>

#include "support/held_folder.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/text.h"
#include "support/wait.h"

void FileFinderInit(FileFinder* finder) {
    finder->open = 0;
}

int FileFinderNext(FileFinder* finder, const wchar_t* pattern, bool first, wchar_t* name, int* use,
                   int* folder) {
    if (first) {
        FileFinderClose(finder);
        finder->pattern = pattern;
        finder->handle = FindFirstFileW(pattern, &finder->data);
        if (finder->handle == INVALID_HANDLE_VALUE) return 0;
        finder->open = 1;
    } else {
        if (!finder->open || !FindNextFileW(finder->handle, &finder->data)) return 0;
    }
    const wchar_t* found = finder->data.cFileName;
    // A name that does not fit cannot be deleted under the name we would form.
    bool whole = CopyText(name, kFinderPathUnits, found);
    bool dots = wcscmp(found, L".") == 0 || wcscmp(found, L"..") == 0;
    *use = whole && !dots;
    *folder = (finder->data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return 1;
}

void FileFinderClose(FileFinder* finder) {
    if (finder->open != 1) return;
    finder->open = 0;
    FindClose(finder->handle);
}

namespace {

BOOL RemoveTree(const wchar_t* path, bool orAtRestart);

// Everything inside path; what cannot go now is left for the next restart
// when orAtRestart.
void EmptyFolder(const wchar_t* path, bool orAtRestart) {
    wchar_t pattern[kFinderPatternUnits];
    if (!FormatW(pattern, kFinderPatternUnits, L"%s\\*.*", path)) return;
    FileFinder finder;
    FileFinderInit(&finder);
    wchar_t name[kFinderPathUnits];
    int use = 0;
    int folder = 0;
    for (bool first = true; FileFinderNext(&finder, pattern, first, name, &use, &folder);
         first = false) {
        if (!use) continue;
        wchar_t child[kFinderPathUnits];
        if (!FormatW(child, kFinderPathUnits, L"%s\\%s", path, name)) continue;
        // The folder may have been writable by anyone: a junction or link
        // here could point at any folder, so only the link itself goes.
        bool link = (finder.data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (folder && link) {
            RemoveDirectoryW(child);
        } else if (folder) {
            RemoveTree(child, orAtRestart);
        } else if (!DeleteFileEvenReadOnly(child) && orAtRestart) {
            MoveFileExW(child, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        }
    }
    FileFinderClose(&finder);
}

BOOL RemoveTree(const wchar_t* path, bool orAtRestart) {
    if (!path[0]) return FALSE;
    EmptyFolder(path, orAtRestart);
    BOOL removed = RemoveDirectoryW(path);
    // Listed after everything inside it, so that it is empty by then.
    if (!removed && orAtRestart) MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return removed;
}

// A held archive folder goes only while path still names it: a link or
// another folder put in its place loses nothing.
bool StillHeldAt(const wchar_t* path) {
    if (archiveFolderHold.IsAt(path)) return true;
    // What was unpacked is left wherever the folder went: the log says so.
    LogFormatW(L"Archive folder replaced, nothing removed: %s", path);
    KeepLog();
    archiveFolderHold.Release();
    return false;
}

// The held folder itself goes through the hold, which shares no delete.
BOOL RemoveArchiveTree(const wchar_t* path, bool orAtRestart) {
    if (!archiveFolderHold.IsHeld()) return RemoveTree(path, orAtRestart);
    EmptyFolder(path, orAtRestart);
    if (archiveFolderHold.Remove(path)) return TRUE;
    DWORD error = GetLastError();
    if (orAtRestart) {
        archiveFolderHold.Release();
        MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    SetLastError(error);
    return FALSE;
}

}  // namespace

BOOL DeleteFolderTree(const wchar_t* path) {
    return RemoveTree(path, false);
}

BOOL DeleteFolderTreeNowOrAtRestart(const wchar_t* path) {
    return RemoveTree(path, true);
}

BOOL RemoveArchiveFolder(const wchar_t* path) {
    if (!path[0]) return FALSE;
    if (archiveFolderHold.IsHeld() && !StillHeldAt(path)) return FALSE;
    DWORD start = GetTickCount();
    for (;;) {
        if (RemoveArchiveTree(path, false)) return TRUE;
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return FALSE;
        // Unsigned difference: right across the tick counter's wrap.
        if (GetTickCount() - start >= kRemovalRetryMs) break;
        WaitAnswering(kRemovalRetryPollMs);
    }
    if (RemoveArchiveTree(path, true)) return TRUE;
    LogFormatW(L"Archive folder in use, deleted at restart: %s", path);
    return FALSE;
}

BOOL RemoveArchiveFolderNowOrAtRestart(const wchar_t* path) {
    if (!path[0] || !archiveFolderHold.IsHeld() || !StillHeldAt(path)) return FALSE;
    return RemoveArchiveTree(path, true);
}
