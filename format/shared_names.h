// Names the program, the packer and the installer agree on. The texts are
// also macros, so that each side makes of them what it made before: a
// literal where it stood, an array of its own.
#pragma once

#include <cstddef>

// The archive folder: kArchiveFolderFormat of the program's folder, this
// name and a counter from 1 to kMaxArchiveFolderCounter.
#define ZENTROVA_ARCHIVE_FOLDER_NAME "tmp"
constexpr const wchar_t* kArchiveFolderName = L"" ZENTROVA_ARCHIVE_FOLDER_NAME;
constexpr const wchar_t* kArchiveFolderFormat = L"%s\\%s-%d";
constexpr int kMaxArchiveFolderCounter = 49;
// The shortest archive folder: the first, for a program at a drive's root.
constexpr char kShortestArchiveFolder[] = "C:\\" ZENTROVA_ARCHIVE_FOLDER_NAME "-1";

// Where the basic install copies the application, and where the
// application is looked for last.
#define ZENTROVA_BASIC_INSTALL_FOLDER L"C:\\Zentrova\\"

// What the payload's zlib1.dll must export, in the order the program looks
// the names up.
#define ZENTROVA_ZLIB_EXPORTS                                                             \
    "inflateEnd", "inflate", "inflateInit_", "inflateInit2_", "deflateEnd", "deflate",    \
        "deflateInit_", "gzopen", "gzclose", "gzread", "gzwrite", "inflateSync", "crc32", \
        "get_crc_table", "deflateInit2_"
constexpr size_t kZlibExportCount = 15;
