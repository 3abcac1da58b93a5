// Path buffers of the program, in UTF-16 units with the terminator, each
// named for what it holds. The packer refuses names that would not fit.
#pragma once

#include <cstddef>

// A path as Windows' own calls take it (MAX_PATH).
constexpr size_t kPathUnits = 260;
// The program's own path, the archive folder and every target path.
constexpr size_t kExtractPathUnits = 256;
// The log's path.
constexpr size_t kLogPathUnits = kPathUnits;
// A path the removal forms inside the archive folder: as long as the
// longest target path.
constexpr size_t kFinderPathUnits = kExtractPathUnits;
