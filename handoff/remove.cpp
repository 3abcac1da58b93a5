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
// when orAtRestart. True when nothing was refused.
bool EmptyFolder(const wchar_t* path, bool orAtRestart) {
    wchar_t pattern[kFinderPatternUnits];
    if (!FormatW(pattern, kFinderPatternUnits, L"%s\\*.*", path)) return false;
    FileFinder finder;
    FileFinderInit(&finder);
    wchar_t name[kFinderPathUnits];
    int use = 0;
    int folder = 0;
    bool emptied = true;
    for (bool first = true; FileFinderNext(&finder, pattern, first, name, &use, &folder);
         first = false) {
        if (!use) continue;
        wchar_t child[kFinderPathUnits];
        if (!FormatW(child, kFinderPathUnits, L"%s\\%s", path, name)) {
            emptied = false;
            continue;
        }
        // The folder may have been writable by anyone: a junction or link
        // here could point at any folder, so only the link itself goes.
        bool link = (finder.data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (folder && link) {
            emptied = RemoveDirectoryW(child) && emptied;
        } else if (folder) {
            emptied = RemoveTree(child, orAtRestart) && emptied;
        } else if (!DeleteFileEvenReadOnly(child)) {
            emptied = false;
            if (orAtRestart) MoveFileExW(child, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        }
    }
    FileFinderClose(&finder);
    return emptied;
}

BOOL RemoveTree(const wchar_t* path, bool orAtRestart) {
    if (!path[0]) return FALSE;
    EmptyFolder(path, orAtRestart);
    BOOL removed = RemoveDirectoryW(path);
    // Listed after everything inside it, so that it is empty by then.
    if (!removed && orAtRestart) MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return removed;
}

// The archive folder is worked on by its path only while the path is
// proven to name the held folder: one moved or lost meanwhile is left as
// it is, wherever it went, and the log says so.
enum class Removal { kDone, kInUse, kLost };

Removal Lost(const wchar_t* path) {
    LogFormatW(L"Archive folder replaced, nothing removed: %s", path);
    KeepLog();
    archiveFolderHold.Release();
    return Removal::kLost;
}

// One try: what is inside, then the folder itself through the hold.
Removal TryRemoval(const wchar_t* path, bool orAtRestart) {
    if (!archiveFolderHold.IsAt(path)) return Lost(path);
    // The hold gives way for a moment to delete the folder: only once
    // there is nothing left in it to lose.
    if (EmptyFolder(path, orAtRestart)) {
        if (archiveFolderHold.Remove(path)) return Removal::kDone;
        if (!archiveFolderHold.IsHeld()) return Lost(path);
    }
    if (orAtRestart) {
        archiveFolderHold.Release();
        MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
    return Removal::kInUse;
}

}  // namespace

BOOL DeleteFolderTree(const wchar_t* path) {
    return RemoveTree(path, false);
}

BOOL DeleteFolderTreeNowOrAtRestart(const wchar_t* path) {
    return RemoveTree(path, true);
}

BOOL RemoveArchiveFolder(const wchar_t* path) {
    if (!path[0] || !archiveFolderHold.IsHeld()) return FALSE;
    DWORD start = GetTickCount();
    Removal removal;
    while ((removal = TryRemoval(path, false)) == Removal::kInUse) {
        // Unsigned difference: right across the tick counter's wrap.
        if (GetTickCount() - start >= kRemovalRetryMs) {
            removal = TryRemoval(path, true);
            if (removal == Removal::kInUse)
                LogFormatW(L"Archive folder in use, deleted at restart: %s", path);
            break;
        }
        WaitAnswering(kRemovalRetryPollMs);
    }
    return removal == Removal::kDone;
}

BOOL RemoveArchiveFolderNowOrAtRestart(const wchar_t* path) {
    if (!path[0] || !archiveFolderHold.IsHeld()) return FALSE;
    return TryRemoval(path, true) == Removal::kDone;
}
