// Where zpack may write what it makes: never over its own stub, nor into
// the folder it packs, whose next pack would then carry this one.
#pragma once

#include <string>

// Why out may not be written when packing folder (and, unless "", stub
// into a setup program), or "" when it may. Paths are compared resolved.
std::string OutputPlaceFault(const std::string& out, const std::string& stub,
                             const std::string& folder);
