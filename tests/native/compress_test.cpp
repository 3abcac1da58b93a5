// The packer's compressor against zlib: every stream it makes, at either
// level, is one zlib stream that zlib's inflate turns back into exactly the
// input, at the edge sizes and at the largest entry the whole runs carry.
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "packer/compress.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr size_t kMegabyte = 1 << 20;
// The full-disk run's entry, the largest a whole run packs.
constexpr size_t kLargestEntryBytes = 8 << 20;
constexpr uint64_t kNoiseMultiplier = 6364136223846793005ULL;
constexpr uint64_t kNoiseIncrement = 1442695040888963407ULL;
constexpr unsigned kNoiseShift = 56;
// Deflate's 32 KB window, as RFC 1950 writes it in the first byte.
constexpr unsigned char kDeflateWindow32K = 0x78;
constexpr unsigned kHeaderCheck = 31;

Bytes Noise(size_t size) {
    Bytes bytes(size);
    uint64_t state = size;
    for (unsigned char& byte : bytes) {
        state = state * kNoiseMultiplier + kNoiseIncrement;
        byte = static_cast<unsigned char>(state >> kNoiseShift);
    }
    return bytes;
}

// Program-like: runs of repeats among noise.
Bytes Mixed(size_t size) {
    Bytes bytes = Noise(size);
    for (size_t i = 0; i < size; ++i)
        if (i / 64 % 3 != 0) bytes[i] = static_cast<unsigned char>(i / 64);
    return bytes;
}

// Inflates one whole zlib stream; fails on trailing bytes or a second stream.
::testing::AssertionResult InflatesTo(const Bytes& stream, const Bytes& expected) {
    // A byte to spare shows output beyond the expected.
    Bytes out(expected.size() + 1);
    uLongf outSize = out.size();
    uLong inSize = stream.size();
    int status = uncompress2(out.data(), &outSize, stream.data(), &inSize);
    if (status != Z_OK) return ::testing::AssertionFailure() << "zlib's inflate says " << status;
    if (inSize != stream.size())
        return ::testing::AssertionFailure() << stream.size() - inSize << " bytes after the stream";
    out.resize(outSize);
    if (out != expected)
        return ::testing::AssertionFailure()
               << "inflated " << out.size() << " bytes, not the " << expected.size() << " packed";
    return ::testing::AssertionSuccess();
}

void ExpectRoundTrip(const std::string& what, const Bytes& input) {
    for (int level : {kDefaultDeflateLevel, kBestDeflateLevel}) {
        Bytes stream = {0xAB};
        ASSERT_TRUE(CompressStream(input.data(), input.size(), &stream, level))
            << what << ", level " << level;
        ASSERT_GE(stream.size(), 3u) << "what was in out is kept, then the stream";
        EXPECT_EQ(stream[0], 0xAB) << what;
        stream.erase(stream.begin());
        EXPECT_EQ(stream[0], kDeflateWindow32K) << what;
        EXPECT_EQ((stream[0] * 256u + stream[1]) % kHeaderCheck, 0u) << what;
        EXPECT_TRUE(InflatesTo(stream, input)) << what << ", level " << level;
    }
}

}  // namespace

TEST(Compress, ZlibInflatesEveryEdgeSizeExactly) {
    ExpectRoundTrip("empty", Bytes());
    ExpectRoundTrip("one byte", Bytes(1, 'z'));
    ExpectRoundTrip("incompressible", Noise(kMegabyte));
    ExpectRoundTrip("repetitive megabyte", Bytes(kMegabyte, 'a'));
    ExpectRoundTrip("largest entry", Mixed(kLargestEntryBytes));
}

TEST(Compress, BestIsNoLarger) {
    const Bytes input = Mixed(kMegabyte);
    Bytes normal, best;
    ASSERT_TRUE(CompressStream(input.data(), input.size(), &normal, kDefaultDeflateLevel));
    ASSERT_TRUE(CompressStream(input.data(), input.size(), &best, kBestDeflateLevel));
    EXPECT_LE(best.size(), normal.size());
    EXPECT_LT(normal.size(), input.size() / 2);
}
