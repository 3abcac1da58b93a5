// The handoff text is UTF-16LE, so each unit is two bytes, low one first.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "handoff/base64.h"

namespace {

constexpr size_t kOutputBytes = 64;

std::string Encode(const char16_t* text) {
    size_t units = std::char_traits<char16_t>::length(text);
    char output[kOutputBytes];
    EXPECT_TRUE(Base64Encode(output, sizeof output, text, units));
    EXPECT_EQ(std::strlen(output) + 1, Base64EncodedSize(units));
    return output;
}

TEST(Base64Encode, EncodesUtf16Units) {
    EXPECT_EQ(Encode(u""), "");
    EXPECT_EQ(Encode(u"a"), "YQA=");
    EXPECT_EQ(Encode(u"ab"), "YQBiAA==");
    EXPECT_EQ(Encode(u"abc"), "YQBiAGMA");
    EXPECT_EQ(Encode(u"abcd"), "YQBiAGMAZAA=");
    // E9 00 and AC 20 as bytes.
    EXPECT_EQ(Encode(u"\u00E9"), "6QA=");
    EXPECT_EQ(Encode(u"\u20AC"), "rCA=");
    // The last two signs of the alphabet.
    EXPECT_EQ(Encode(u"\xFFFB"), "+/8=");
    EXPECT_EQ(Encode(u"\xFFFF\xFFFF"), "/////w==");
}

TEST(Base64Encode, NeedsRoomForTheTerminator) {
    const char16_t text[] = u"abcd";
    const size_t units = 4;
    const size_t needed = Base64EncodedSize(units);
    char output[kOutputBytes];
    std::memset(output, 'x', sizeof output);
    EXPECT_FALSE(Base64Encode(output, needed - 1, text, units));
    EXPECT_STREQ(output, "");
    std::memset(output, 'x', sizeof output);
    EXPECT_FALSE(Base64Encode(output, 1, text, units));
    EXPECT_STREQ(output, "");
    // Zero capacity leaves even the first byte alone.
    std::memset(output, 'x', sizeof output);
    EXPECT_FALSE(Base64Encode(output, 0, text, units));
    EXPECT_EQ(output[0], 'x');

    std::memset(output, 'x', sizeof output);
    ASSERT_TRUE(Base64Encode(output, needed, text, units));
    EXPECT_STREQ(output, "YQBiAGMAZAA=");
    EXPECT_EQ(output[needed], 'x');

    char empty[1] = {'x'};
    EXPECT_TRUE(Base64Encode(empty, sizeof empty, text, 0));
    EXPECT_EQ(empty[0], 0);
}

}  // namespace
