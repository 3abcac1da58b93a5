// The version numbers alone, for what is built without the resource
// script's generated headers: zpack prints the version the program carries.
// Plain macros only: windres reads this file too.
#pragma once

#define ZENTROVA_VERSION_BINARY 1, 2, 7, 0
#define ZENTROVA_VERSION_TEXT "1.2.7"
