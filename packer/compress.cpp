#include "packer/compress.h"

#include <libdeflate.h>

#include <memory>

namespace {

struct FreeCompressor {
    void operator()(libdeflate_compressor* compressor) const {
        libdeflate_free_compressor(compressor);
    }
};

}  // namespace

bool CompressStream(const unsigned char* data, size_t size, std::vector<unsigned char>* out,
                    int level) {
    std::unique_ptr<libdeflate_compressor, FreeCompressor> compressor(
        libdeflate_alloc_compressor(level));
    if (!compressor) return false;
    size_t start = out->size();
    size_t bound = libdeflate_zlib_compress_bound(compressor.get(), size);
    out->resize(start + bound);
    size_t written =
        libdeflate_zlib_compress(compressor.get(), data, size, out->data() + start, bound);
    out->resize(start + written);
    return written != 0;
}
