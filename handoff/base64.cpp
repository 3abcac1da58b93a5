#include "handoff/base64.h"

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

bool Base64Encode(char* output, size_t capacity, const void* data, size_t units) {
    if (capacity == 0) return false;
    output[0] = 0;
    if (capacity < Base64EncodedSize(units)) return false;
    const unsigned char* in = static_cast<const unsigned char*>(data);
    size_t bytes = 2 * units;
    char* out = output;
    for (size_t i = 0; i < bytes; i += 3) {
        unsigned b0 = in[i];
        bool has1 = i + 1 < bytes, has2 = i + 2 < bytes;
        unsigned b1 = has1 ? in[i + 1] : 0;
        unsigned b2 = has2 ? in[i + 2] : 0;
        *out++ = kAlphabet[b0 >> 2];
        *out++ = kAlphabet[(b0 & 0x03) << 4 | b1 >> 4];
        *out++ = has1 ? kAlphabet[(b1 & 0x0F) << 2 | b2 >> 6] : '=';
        *out++ = has2 ? kAlphabet[b2 & 0x3F] : '=';
    }
    *out = 0;
    return true;
}
