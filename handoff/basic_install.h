// Copies the application and its two libraries into a fixed folder when
// the installer did not install it.
#pragma once

#include <windows.h>

#include "format/shared_names.h"

constexpr wchar_t kBasicInstallFolder[] = ZENTROVA_BASIC_INSTALL_FOLDER;

// 1 when the user agreed and the folder is there, else 0.
int BasicInstall(const wchar_t* archiveFolder);
// Makes kBasicInstallFolder, letting others only read and run what is
// inside, or holds the one there when nobody but administrators and the
// system may change it: any local user may have made it, or a link of its
// name, before the run. 0, or the system error code that refuses it.
DWORD CreateBasicInstallFolder();
// True when kBasicInstallFolder is held: made by this run, or one that
// nobody but administrators and the system may change, as only such a one
// may be started from.
bool HoldBasicInstallFolder();
void CopyAppFile(const wchar_t* sourceFolder, const wchar_t* targetFolder, const wchar_t* name);
