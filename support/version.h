// Version numbers and build date, shared by the resource script and the code.
// Plain macros only: windres reads this file too.
#pragma once

#include "build_date.h"  // generated at build time: ZENTROVA_BUILD_DATE

#define ZENTROVA_VERSION_BINARY 1, 2, 7, 0
#define ZENTROVA_VERSION_TEXT "1.2.7"
#define ZENTROVA_PRODUCT_NAME "Zentrova"
#define ZENTROVA_COMPANY_NAME "Zentrova Software Ltd"
#define ZENTROVA_COPYRIGHT "Copyright (C) 2026 Zentrova Software Ltd"
#define ZENTROVA_TRADEMARKS "Zentrova is a trademark of Zentrova Software Ltd"
