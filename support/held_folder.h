// A folder held open from its creation or check to its removal. The handle
// reads the folder's entries and shares no delete, so while it is open no
// other process can rename or replace the folder (on NTFS, nor any folder
// above it): what the path names stays what was made or checked.
#pragma once
#include <windows.h>

class HeldFolder {
   public:
    constexpr HeldFolder() = default;
    ~HeldFolder() { Release(); }
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;

    // Makes the folder path and holds it in one step, so that what is held
    // is what was made, whatever another process puts at the name. 0,
    // ERROR_ALREADY_EXISTS when the name is taken, or the system error code.
    DWORD Create(const wchar_t* path, SECURITY_ATTRIBUTES* security);
    // Holds an existing path when it is a real folder, not a link, and, with
    // checkProtection, CheckFolderProtection accepts it. 0, or the system
    // error code that refuses it; nothing is held then.
    DWORD Hold(const wchar_t* path, bool checkProtection);
    bool IsHeld() const { return handle_ != nullptr; }
    // True while path names the held folder: the same volume and file ID.
    bool IsAt(const wchar_t* path) const;
    // Deletes the held folder, emptied by now, when path still names it;
    // the hold ends with it. False, still holding, while it is not empty
    // or in use; false, and the hold ends, when path names another.
    bool Remove(const wchar_t* path);
    void Release();

   private:
    DWORD Keep(HANDLE folder);
    bool IsSame(HANDLE folder) const;
    HANDLE handle_ = nullptr;
    DWORD volume_ = 0;
    DWORD indexHigh_ = 0;
    DWORD indexLow_ = 0;
};

// The run's archive folder, held from its creation to its removal: only a
// folder held here is this run's to remove.
extern HeldFolder archiveFolderHold;
