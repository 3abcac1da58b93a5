// zentrova_bench_host: the native side of the benchmark.
//   inflate PAYLOAD DEST     the minimal inflate loop on Linux, system zlib
//   gen-small DIR COUNT      COUNT text files of 1-8 KB in a few folders
//   gen-big DIR COUNT BYTES  COUNT text files of BYTES each, one stream
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "format/archive.h"
#include "format/archive_layout.h"

namespace {

constexpr size_t kBufferBytes = 100000;  // as the front end's inflate buffer
constexpr int kSmallFolders = 8;
constexpr size_t kSmallMinBytes = 1024;
constexpr size_t kSmallMaxBytes = 8192;
constexpr size_t kWordCount = 512;
constexpr size_t kWordMaxLetters = 9;
constexpr size_t kNameChars = 64;
constexpr uint64_t kSeed = 0x5a454e54524f5641ULL;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int Fail(const std::string& what) {
    std::fprintf(stderr, "zentrova_bench_host: %s: %s\n", what.c_str(), std::strerror(errno));
    return kExitFailed;
}

double Now() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

bool ReadWhole(const char* path, std::vector<unsigned char>* data) {
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return false;
    std::fseek(file, 0, SEEK_END);
    data->resize(static_cast<size_t>(std::ftell(file)));
    std::fseek(file, 0, SEEK_SET);
    bool ok = std::fread(data->data(), 1, data->size(), file) == data->size();
    std::fclose(file);
    return ok;
}

bool WriteAll(int fd, const unsigned char* data, size_t count) {
    while (count > 0) {
        ssize_t step = write(fd, data, count);
        if (step < 0 && errno == EINTR) continue;
        if (step <= 0) return false;
        data += step;
        count -= static_cast<size_t>(step);
    }
    return true;
}

// Makes the folders of path after start, when they differ from the last entry's.
void EnsureFolders(const std::string& path, size_t start, std::string* lastFolder) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash < start) return;
    std::string folder = path.substr(0, slash);
    if (folder == *lastFolder) return;
    for (size_t at = path.find('/', start); at != std::string::npos && at <= slash;
         at = path.find('/', at + 1))
        mkdir(path.substr(0, at).c_str(), 0755);
    *lastFolder = folder;
}

bool InflateInto(int fd, const ArchiveEntry& entry, unsigned char* buffer) {
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit(&stream) != Z_OK) return false;
    stream.next_in = const_cast<unsigned char*>(entry.data);
    stream.avail_in = entry.fileSize;
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = buffer;
        stream.avail_out = kBufferBytes;
        result = inflate(&stream, Z_NO_FLUSH);
        size_t produced = kBufferBytes - stream.avail_out;
        if (produced > 0 && !WriteAll(fd, buffer, produced)) result = Z_BUF_ERROR;
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END || (result == Z_BUF_ERROR && entry.fileSize == 0);
}

int Inflate(const char* payloadPath, const std::string& dest) {
    std::vector<unsigned char> payload;
    if (!ReadWhole(payloadPath, &payload) || payload.size() < kTrailerBytes)
        return Fail(std::string("cannot read ") + payloadPath);
    std::vector<unsigned char> buffer(kBufferBytes);
    std::string lastFolder;
    int count = 0;

    double start = Now();
    mkdir(dest.c_str(), 0755);
    int32_t length = static_cast<int32_t>(payload.size()) - kTrailerBytes;
    for (int32_t offset = 0; offset < length; ++count) {
        ArchiveEntry entry;
        if (ReadArchiveEntry(payload.data(), length, &offset, &entry) != kArchiveOk)
            return Fail("damaged payload");
        std::string name(reinterpret_cast<const char*>(entry.name), entry.filenameSize);
        for (char& c : name)
            if (c == '\\') c = '/';
        std::string target = dest + "/" + name;
        EnsureFolders(target, dest.size() + 1, &lastFolder);
        int fd = open(target.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return Fail("cannot create " + target);
        bool ok = IsStoredEntryName(entry.name, entry.filenameSize)
                      ? WriteAll(fd, entry.data, entry.fileSize)
                      : InflateInto(fd, entry, buffer.data());
        close(fd);
        if (!ok) return Fail("cannot unpack " + target);
    }
    std::printf("seconds=%.6f files=%d zlib=\"%s\"\n", Now() - start, count, zlibVersion());
    return 0;
}

// Text that deflate shrinks about threefold: seeded words and numbers.
class TextSource {
   public:
    TextSource() {
        for (std::string& word : words_) {
            size_t letters = 2 + Next() % (kWordMaxLetters - 1);
            for (size_t i = 0; i < letters; ++i) word += static_cast<char>('a' + Next() % 26);
        }
    }
    void Fill(std::string* out, size_t bytes) {
        out->clear();
        while (out->size() < bytes) {
            uint64_t pick = Next();
            *out += words_[pick % kWordCount];
            if (pick % 7 == 0) *out += " " + std::to_string(pick >> 40);
            *out += pick % 13 == 0 ? "\r\n" : " ";
        }
        out->resize(bytes);
    }
    uint64_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }

   private:
    uint64_t state_ = kSeed;
    std::string words_[kWordCount];
};

bool WriteFile(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    return close(fd) == 0 && ok;
}

int GenerateSmall(const std::string& dir, int count) {
    TextSource source;
    std::string text;
    mkdir(dir.c_str(), 0755);
    for (int folder = 0; folder < kSmallFolders; ++folder)
        mkdir((dir + "/docs" + std::to_string(folder)).c_str(), 0755);
    for (int i = 0; i < count; ++i) {
        char name[kNameChars];
        std::snprintf(name, sizeof name, "/docs%d/note%05d.txt", i % kSmallFolders, i);
        source.Fill(&text, kSmallMinBytes + source.Next() % (kSmallMaxBytes - kSmallMinBytes + 1));
        if (!WriteFile(dir + name, text)) return Fail("cannot write " + dir + name);
    }
    return 0;
}

// One seeded stream for every file: payloads of equal total size but
// different file counts hold text of the same kind.
int GenerateBig(const std::string& dir, int count, size_t bytes) {
    TextSource source;
    std::string text;
    mkdir(dir.c_str(), 0755);
    for (int i = 0; i < count; ++i) {
        char name[kNameChars];
        std::snprintf(name, sizeof name, "/data%03d.txt", i);
        source.Fill(&text, bytes);
        if (!WriteFile(dir + name, text)) return Fail("cannot write " + dir + name);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "inflate" && argc == 4) return Inflate(argv[2], argv[3]);
    if (mode == "gen-small" && argc == 4) return GenerateSmall(argv[2], std::atoi(argv[3]));
    if (mode == "gen-big" && argc == 5)
        return GenerateBig(argv[2], std::atoi(argv[3]), std::strtoull(argv[4], nullptr, 10));
    std::fputs(
        "usage: zentrova_bench_host inflate PAYLOAD DEST | gen-small DIR COUNT |"
        " gen-big DIR COUNT BYTES\n",
        stderr);
    return kExitUsage;
}
