#include "extract/inflate.h"

#include <cstring>

#include "extract/compression.h"
#include "support/errors.h"
#include "support/wait.h"

namespace {

constexpr int kInflateErrorCode = 101;

static_assert(sizeof(void*) != 4 || sizeof(ZStream) == 56, "zlib's 32-bit stream record");

[[noreturn]] void FailInflate() {
    ShowSystemErrorA("%s %d", "Error in unzip inflate", kInflateErrorCode);
    // The box has told the user; the run must not go on with a damaged file.
    ThrowException(-1);
}

}  // namespace

int64_t unzipFrom(HANDLE file, const unsigned char* source, uint32_t sourceLength) {
    ZStream stream;
    std::memset(&stream, 0, sizeof stream);
    if (CallInflateInit(&stream, kZlibVersion, sizeof stream) != kZOk) {
        ShowSystemErrorA("%s %d", "Error in unzip init", kInflateErrorCode);
        ThrowException(-1);
    }
    int64_t written = 0;
    unsigned char* buffer =
        static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), 0, kInflateBufferBytes));
    try {
        CheckOrThrow(source, "unzipFrom");
        CheckOrThrow(buffer, "unzipFrom");
        stream.next_in = source;
        stream.avail_in = sourceLength;
        for (;;) {
            stream.next_out = buffer;
            stream.avail_out = kInflateBufferBytes;
            int result = CallInflate(&stream, kZNoFlush);
            if (result == kZNeedDict || result == kZDataError || result == kZMemError ||
                result == kZStreamError)
                FailInflate();
            DWORD produced = kInflateBufferBytes - stream.avail_out;
            if (produced > 0) {
                DWORD done = 0;
                if (!WriteFile(file, buffer, produced, &done, nullptr) || done != produced)
                    ThrowErrorText("Read writing zip to dest");
                written += produced;
            }
            // An entry may take seconds; the Status window must not look hung.
            KeepAnswering();
            if (result == kZStreamEnd) {
                // Bytes after the stream's end would never be consumed.
                if (stream.avail_in != 0) FailInflate();
                break;
            }
            // An empty entry inflates to an empty file.
            if (sourceLength == 0) break;
            // No input left and nothing more to give: the stream was cut short.
            if (stream.avail_in == 0 && produced == 0) FailInflate();
        }
    } catch (CException*) {
        if (buffer) HeapFree(GetProcessHeap(), 0, buffer);
        CallInflateEnd(&stream);
        throw;
    }
    HeapFree(GetProcessHeap(), 0, buffer);
    CallInflateEnd(&stream);
    return written;
}
