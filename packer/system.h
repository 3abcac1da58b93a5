// The packer's only calls into the operating system, so that the rest stays
// portable C++17 and zpack builds for Linux, macOS and Windows alike.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

struct ByteRange {
    const unsigned char* data;
    size_t size;
};

// Writes the ranges in order to a sibling temporary file, flushes it to disk
// and renames it over path, so a failed run never leaves a half-written file
// under the final name. An executable file is made runnable where the
// system marks that.
bool WriteFileAtomically(const std::string& path, const std::vector<ByteRange>& parts,
                         bool executable, std::string* error);

bool WriteFileAtomically(const std::string& path, const std::vector<unsigned char>& data,
                         std::string* error);

// The program's arguments in UTF-8. Windows hands a narrow main its
// arguments in the ANSI code page, which cannot hold every folder name, so
// there they are read from the wide command line instead.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Opens a file named in UTF-8 for reading, through the wide API on Windows.
std::FILE* OpenForReading(const std::string& path);

// ---- Terminal, interruption and zpack's own place ----
// Kept apart from the file writing above so that each side changes alone.

// Whether standard error is a terminal (a console on Windows), where a
// line can be redrawn in place.
bool ErrorIsTerminal();

// The running zpack's own path, or "" when the system does not tell.
std::string ExecutablePath();

// From now on an interruption (SIGINT or SIGTERM; Ctrl+C or Ctrl+Break on
// Windows) first removes the temporary file WriteFileAtomically is writing,
// then ends zpack as it would have.
void RemoveTemporaryFileOnInterrupt();

// The temporary file an interruption removes, until ReleaseTemporaryFile.
void HoldTemporaryFile(const std::string& path);
void ReleaseTemporaryFile();
