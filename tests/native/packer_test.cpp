// zpack's own library: what it writes must pass its checker and unpack to
// the inputs, and the checker must name the first fault of a bad archive.
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "extract/archive.h"
#include "tools/packer/pack.h"
#include "tools/packer/reader.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<unsigned char>;

constexpr char kTempTemplate[] = "/tmp/zpack_test.XXXXXX";

class TempFolder {
   public:
    TempFolder() {
        char path[sizeof kTempTemplate];
        std::snprintf(path, sizeof path, "%s", kTempTemplate);
        if (mkdtemp(path) != nullptr) path_ = path;
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

    std::string Write(const std::string& relative, const std::string& text) const {
        fs::path file = fs::path(path_) / relative;
        fs::create_directories(file.parent_path());
        std::FILE* out = std::fopen(file.c_str(), "wb");
        EXPECT_NE(out, nullptr) << file;
        if (out != nullptr) {
            std::fwrite(text.data(), 1, text.size(), out);
            std::fclose(out);
        }
        return file.string();
    }

   private:
    std::string path_;
};

Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

PackInput Input(const std::string& name, const std::string& text) {
    return PackInput{name, "", ToBytes(text)};
}

// A fake zlib1.dll: bytes no text file would hold, so a mix-up shows.
std::string FakeDll() {
    std::string bytes = "MZ";
    for (int i = 0; i < 300; ++i) bytes += static_cast<char>(i * 37);
    return bytes;
}

void AppendLe32(Bytes* out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out->push_back(static_cast<unsigned char>(value >> shift));
}

// Lays out entries as given, bypassing every packer check.
Bytes Assemble(const std::vector<std::pair<std::string, Bytes>>& entries) {
    Bytes out;
    for (const auto& entry : entries) {
        AppendLe32(&out, static_cast<uint32_t>(entry.second.size()));
        AppendLe32(&out, static_cast<uint32_t>(entry.first.size()));
        out.insert(out.end(), entry.first.begin(), entry.first.end());
        out.insert(out.end(), entry.second.begin(), entry.second.end());
    }
    AppendLe32(&out, static_cast<uint32_t>(out.size()));
    return out;
}

Bytes Stream(const std::string& text) {
    Bytes out;
    EXPECT_TRUE(
        CompressStream(reinterpret_cast<const unsigned char*>(text.data()), text.size(), &out));
    return out;
}

std::string Verify(const Bytes& archive, bool requireStoredFirst = true) {
    std::string report;
    bool ok = VerifyArchive(archive.data(), archive.size(), &report, requireStoredFirst);
    EXPECT_EQ(ok, report.compare(0, 3, "OK ") == 0) << report;
    return report;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(Packer, RoundTripsFilesThroughItsChecker) {
    TempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    const std::string dll = FakeDll();
    const std::string text(5000, 'z');
    folder.Write("zlib1.dll", dll);
    folder.Write("Licence.txt", text);
    folder.Write("deep/b.txt", "second");
    folder.Write("empty", "");

    std::vector<PackInput> inputs;
    for (const std::string& argument :
         {"zlib1.dll=" + folder.path() + "/zlib1.dll", folder.path() + "/Licence.txt",
          "docs/b.txt=" + folder.path() + "/deep/b.txt", "e=" + folder.path() + "/empty"}) {
        PackInput input;
        ParseEntryArgument(argument, &input.name, &input.source);
        std::string error;
        ASSERT_TRUE(ReadInputFile(input.source, &input.data, &error)) << error;
        inputs.push_back(input);
    }
    EXPECT_EQ(inputs[1].name, "Licence.txt");
    EXPECT_EQ(inputs[2].name, "docs\\b.txt");

    Bytes packed;
    std::string error;
    ASSERT_TRUE(PackEntries(inputs, false, &packed, &error)) << error;
    const std::string out = folder.path() + "/out.bin";
    ASSERT_TRUE(WriteFileAtomically(out, packed, &error)) << error;
    Bytes archive;
    ASSERT_TRUE(ReadInputFile(out, &archive, &error)) << error;
    EXPECT_EQ(archive, packed);
    size_t files = 0;
    for (const auto& file : fs::recursive_directory_iterator(folder.path()))
        files += file.is_regular_file();
    EXPECT_EQ(files, 5u) << "a temporary file was left behind";

    EXPECT_EQ(Verify(archive), "OK 4 entries");
    std::vector<ListedEntry> entries;
    std::vector<PackInput> contents;
    ASSERT_TRUE(WalkArchive(archive.data(), archive.size(), true, &entries, &contents, &error))
        << error;
    ASSERT_EQ(contents.size(), inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
        EXPECT_EQ(contents[i].name, inputs[i].name);
        EXPECT_EQ(contents[i].data, inputs[i].data) << inputs[i].name;
        EXPECT_EQ(entries[i].stored, i == 0);
        EXPECT_EQ(entries[i].unpackedSize, inputs[i].data.size());
        if (i > 0) {
            const unsigned char* stream =
                archive.data() + entries[i].offset + kEntryHeaderBytes + entries[i].name.size();
            EXPECT_EQ(stream[0], 0x78);
            EXPECT_EQ(stream[1], 0xDA);
        }
    }
    // The dll is kept byte for byte right after its header.
    EXPECT_EQ(entries[0].offset, 0);
    EXPECT_EQ(Bytes(archive.begin() + 8 + 9, archive.begin() + 8 + 9 + dll.size()), ToBytes(dll));
    EXPECT_LT(entries[1].storedSize, text.size() / 10);
}

TEST(Packer, CollectsAFolderInAFixedOrder) {
    TempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    for (const char* name : {"b.txt", "sub/c.txt", "\xE9.txt", "A.txt", "a-b", "sub/zlib1.dll"})
        folder.Write(name, name);
    std::vector<PackInput> inputs;
    std::string error;
    EXPECT_FALSE(CollectFolder(folder.path(), &inputs, &error));
    EXPECT_TRUE(Contains(error, "zlib1.dll")) << error;

    folder.Write("zlib1.dll", FakeDll());
    ASSERT_TRUE(CollectFolder(folder.path(), &inputs, &error)) << error;
    std::vector<std::string> names;
    for (const PackInput& input : inputs) names.push_back(input.name);
    EXPECT_EQ(names, (std::vector<std::string>{"zlib1.dll", "A.txt", "a-b", "b.txt", "sub\\c.txt",
                                               "sub\\zlib1.dll", "\xE9.txt"}));
    Bytes first, second;
    ASSERT_TRUE(PackEntries(inputs, false, &first, &error)) << error;
    std::vector<PackInput> again;
    ASSERT_TRUE(CollectFolder(folder.path(), &again, &error)) << error;
    ASSERT_TRUE(PackEntries(again, false, &second, &error)) << error;
    EXPECT_EQ(first, second);
    EXPECT_EQ(Verify(first), "OK 7 entries");

    // Only the top-level dll is kept as is.
    std::vector<ListedEntry> entries;
    ASSERT_TRUE(WalkArchive(first.data(), first.size(), true, &entries, nullptr, &error));
    EXPECT_FALSE(entries[5].stored);

    folder.Write("B.TXT", "clash");
    ASSERT_TRUE(CollectFolder(folder.path(), &inputs, &error)) << error;
    EXPECT_FALSE(PackEntries(inputs, false, &first, &error));
    EXPECT_TRUE(Contains(error, "B.TXT") && Contains(error, "b.txt")) << error;

    EXPECT_FALSE(CollectFolder(folder.path() + "/none", &inputs, &error));
}

TEST(Packer, ParsesEntryArguments) {
    std::string name, path;
    ParseEntryArgument("dir/sub/file.txt", &name, &path);
    EXPECT_EQ(name, "file.txt");
    EXPECT_EQ(path, "dir/sub/file.txt");
    ParseEntryArgument("plain", &name, &path);
    EXPECT_EQ(name, "plain");
    EXPECT_EQ(path, "plain");
    ParseEntryArgument("a/b\\c.txt=x/y=z", &name, &path);
    EXPECT_EQ(name, "a\\b\\c.txt");
    EXPECT_EQ(path, "x/y=z");
    ParseEntryArgument("=x", &name, &path);
    EXPECT_EQ(name, "");
    EXPECT_EQ(path, "x");
}

TEST(Packer, RefusesWhatTheFrontEndCouldNotUnpack) {
    const PackInput dll = Input("zlib1.dll", FakeDll());
    Bytes out;
    std::string error;

    EXPECT_FALSE(PackEntries({Input("a.txt", "a"), dll}, false, &out, &error));
    EXPECT_TRUE(Contains(error, "\"a.txt\"") && Contains(error, "first")) << error;
    EXPECT_FALSE(PackEntries({Input("ZLIB1.DLL", "a")}, false, &out, &error));
    EXPECT_FALSE(PackEntries({}, false, &out, &error));
    EXPECT_TRUE(Contains(error, "zlib1.dll")) << error;

    const std::vector<std::vector<PackInput>> clashes = {
        {dll, Input("a.txt", "1"), Input("A.TXT", "2")},
        {dll, Input("zlib1.dll", "again")},
        {dll, Input("a", "file"), Input("A\\b", "under it")},
        {dll, Input("d\\x", "under"), Input("D", "file")},
    };
    for (const auto& inputs : clashes) {
        EXPECT_FALSE(PackEntries(inputs, false, &out, &error)) << inputs.back().name;
        EXPECT_TRUE(Contains(error, "\"" + inputs.back().name + "\"")) << error;
    }
    for (const std::string& name :
         {std::string(), std::string(kMaxEntryNameBytes + 1, 'n'), std::string("a\0b", 3),
          std::string("..\\up"), std::string("\\root"), std::string("c:x"), std::string("nul"),
          std::string("dir\\"), std::string("x.")}) {
        EXPECT_FALSE(PackEntries({dll, Input(name, "x")}, false, &out, &error)) << name;
        EXPECT_TRUE(Contains(error, "name")) << error;
    }
    ASSERT_TRUE(
        PackEntries({dll, Input(std::string(kMaxEntryNameBytes, 'n'), "x")}, false, &out, &error))
        << error;
    EXPECT_EQ(Verify(out), "OK 2 entries");

    TempFolder folder;
    Bytes data;
    EXPECT_FALSE(ReadInputFile(folder.path() + "/missing", &data, &error));
    EXPECT_TRUE(Contains(error, "missing")) << error;
    EXPECT_FALSE(ReadInputFile(folder.path(), &data, &error));
    EXPECT_FALSE(WriteFileAtomically(folder.path() + "/no/such/dir/out", data, &error));
}

TEST(Packer, AnyOrderAllowsTestPayloads) {
    Bytes out;
    std::string error;
    ASSERT_TRUE(PackEntries({Input("a.txt", "a"), Input("zlib1.dll", "d")}, true, &out, &error))
        << error;
    EXPECT_EQ(Verify(out, false), "OK 2 entries");
    std::string strict = Verify(out, true);
    EXPECT_TRUE(Contains(strict, "entry 0 at offset 0") && Contains(strict, "zlib1.dll")) << strict;

    // Nothing but a zero trailer: the walk has nothing to do.
    ASSERT_TRUE(PackEntries({}, true, &out, &error)) << error;
    EXPECT_EQ(out, Bytes(4, 0));
    EXPECT_EQ(Verify(out, false), "OK 0 entries");
    EXPECT_NE(Verify(out, true).compare(0, 3, "OK "), 0);
}

TEST(Verify, NamesTheFirstFault) {
    const Bytes dll = ToBytes(FakeDll());
    const Bytes stream = Stream("some text, some text, some text");
    const int32_t second = static_cast<int32_t>(8 + 9 + dll.size());
    const std::string atSecond = "entry 1 at offset " + std::to_string(second);
    ASSERT_EQ(Verify(Assemble({{"zlib1.dll", dll}, {"a.txt", stream}})), "OK 2 entries");

    Bytes cut(stream.begin(), stream.end() - 1);
    Bytes longer = stream;
    longer.push_back('z');
    Bytes twice = stream;
    twice.insert(twice.end(), stream.begin(), stream.end());
    Bytes damaged = stream;
    damaged[damaged.size() - 1] ^= 1;
    Bytes raw(dll.begin(), dll.begin() + 40);
    const std::vector<std::pair<Bytes, std::string>> faults = {
        {cut, "cut short"},     {Bytes(stream.begin(), stream.begin() + 2), "cut short"},
        {Bytes(), "cut short"}, {longer, "1 bytes follow"},
        {twice, "follow"},      {damaged, "damaged"},
        {raw, "damaged"},
    };
    for (const auto& fault : faults) {
        std::string report = Verify(Assemble({{"zlib1.dll", dll}, {"a.txt", fault.first}}));
        EXPECT_TRUE(Contains(report, atSecond) && Contains(report, fault.second)) << report;
    }

    Bytes archive = Assemble({{"zlib1.dll", dll}, {"a.txt", stream}});
    archive.back() ^= 1;
    EXPECT_TRUE(Contains(Verify(archive), "trailer")) << Verify(archive);
    archive.pop_back();
    EXPECT_NE(Verify(archive).compare(0, 3, "OK "), 0);

    std::string report = Verify(Assemble({{"a.txt", stream}, {"zlib1.dll", dll}}));
    EXPECT_TRUE(Contains(report, "entry 0 at offset 0")) << report;
    report = Verify(Assemble({{"zlib1.dll", dll}, {"a.txt", stream}, {"A.txt", stream}}));
    EXPECT_TRUE(Contains(report, "entry 2") && Contains(report, "duplicates")) << report;
    report = Verify(Assemble({{"zlib1.dll", dll}, {"", stream}}));
    EXPECT_TRUE(Contains(report, atSecond) &&
                Contains(report, ArchiveStatusText(kArchiveNameSizeBad)))
        << report;
    report = Verify(Assemble({{"zlib1.dll", dll}, {"..\\a", stream}}));
    EXPECT_TRUE(Contains(report, ArchiveStatusText(kArchiveNameUnsafe))) << report;
    for (size_t size = 0; size < 4; ++size)
        EXPECT_NE(Verify(Bytes(size, 0), false).compare(0, 3, "OK "), 0) << size;
}

TEST(Verify, RefusesAPresetDictionary) {
    const char dictionary[] = "some text";
    const char text[] = "some text and some more";
    z_stream stream{};
    ASSERT_EQ(deflateInit(&stream, Z_BEST_COMPRESSION), Z_OK);
    deflateSetDictionary(&stream, reinterpret_cast<const Bytef*>(dictionary),
                         sizeof dictionary - 1);
    Bytes out(deflateBound(&stream, sizeof text));
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text));
    stream.avail_in = sizeof text - 1;
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    ASSERT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    std::string report = Verify(Assemble({{"zlib1.dll", ToBytes("d")}, {"a", out}}));
    EXPECT_TRUE(Contains(report, "entry 1") && Contains(report, "dictionary")) << report;
}

}  // namespace
