// The program's own module, shared by the entry point and the extraction.
#pragma once

#include <windows.h>

// The module instance, stored by the entry point before the dialog opens.
extern HINSTANCE instanceHandle;
