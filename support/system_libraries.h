// The system libraries beyond KERNEL32, loaded from System32 only. The
// loader resolves a static import, and what that library imports in turn,
// before WinMain, in the search order that begins with the program's own
// folder: Downloads, a stick, a share, where anyone may put a DLL of a
// system name. So the program imports statically only KERNEL32 and the C
// runtime, msvcrt.dll, both KnownDLLs that Windows maps from System32
// whatever the folder, and loads the others here.
#pragma once

// Restricts the search to System32 where Windows can (Windows 8, or 7
// with KB2533623), then loads each library from there (elsewhere by its
// full System32 path) and binds the functions the program calls in them.
// First thing in WinMain; false when a library or function is missing.
bool StartSystemLibraries();
