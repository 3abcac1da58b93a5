// The packer's deflate: libdeflate's whole-buffer zlib-format compressor.
// Its streams are plain zlib streams (RFC 1950), 32 KB window, no
// dictionary, which any zlib inflates; the level changes only the bytes.
#pragma once

#include <cstddef>
#include <vector>

// Packs several times faster than zlib's level 9, and no larger.
constexpr int kDefaultDeflateLevel = 9;
// The smallest streams libdeflate makes, in about zlib's level-9 time.
constexpr int kBestDeflateLevel = 12;

// Appends one complete zlib stream of data to out. The whole input and the
// worst-case output are held at once.
bool CompressStream(const unsigned char* data, size_t size, std::vector<unsigned char>* out,
                    int level = kDefaultDeflateLevel);
