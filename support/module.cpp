#include "support/module.h"

HINSTANCE instanceHandle;
