// Version numbers and build date, shared by the resource script and the code.
// Plain macros only: windres reads this file too.
#pragma once

#include "build_date.h"  // generated at build time: ZENTROVA_BUILD_DATE
#include "version_numbers.h"

#define ZENTROVA_PRODUCT_NAME "Zentrova"
#define ZENTROVA_COMPANY_NAME "Zentrova Software Ltd"
#define ZENTROVA_COPYRIGHT "Copyright (C) 2026 Zentrova Software Ltd"
#define ZENTROVA_TRADEMARKS "Zentrova is a trademark of Zentrova Software Ltd"
