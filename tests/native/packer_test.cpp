// zpack's own library: what it writes must pass its checker and unpack to
// the inputs, and the checker must name the first fault of a bad archive.
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "format/archive.h"
#include "format/pe_checksum.h"
#include "packer/names.h"
#include "packer/pack.h"
#include "packer/pe.h"
#include "packer/reader.h"
#include "tests/native/helpers.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<unsigned char>;

constexpr size_t kListLineBytes = 128;

Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

PackInput Input(const std::string& name, const std::string& text) {
    return PackInput{name, "", ToBytes(text)};
}

void AppendLe32(Bytes* out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out->push_back(static_cast<unsigned char>(value >> shift));
}

void PutLe16(Bytes* out, size_t at, uint16_t value) {
    (*out)[at] = static_cast<unsigned char>(value);
    (*out)[at + 1] = static_cast<unsigned char>(value >> 8);
}

void PutLe32(Bytes* out, size_t at, uint32_t value) {
    PutLe16(out, at, static_cast<uint16_t>(value));
    PutLe16(out, at + 2, static_cast<uint16_t>(value >> 16));
}

// Where MakeDll puts what the tests change.
constexpr size_t kDllMachine = 0x44;
constexpr size_t kDllSectionCount = 0x46;
constexpr size_t kDllCharacteristics = 0x56;
constexpr size_t kDllMagic = 0x58;
constexpr size_t kDllExportDirectory = 0x58 + 96;
constexpr size_t kDllSectionTable = 0x58 + 224;
constexpr size_t kDllSection = 0x200;  // its file offset
constexpr uint32_t kDllSectionRva = 0x1000;
constexpr size_t kExportNameCount = kDllSection + 24;
constexpr size_t kExportTables = kDllSection + 40;

// A minimal PE32 i386 DLL whose one section holds its export directory,
// each name bound to a function of its own.
Bytes MakeDll(const std::vector<std::string>& exports) {
    const uint32_t count = static_cast<uint32_t>(exports.size());
    const uint32_t functions = kDllSectionRva + 40, names = functions + 4 * count,
                   ordinals = names + 4 * count;
    Bytes section(40 + 10 * count, 0);
    PutLe32(&section, 20, count);
    PutLe32(&section, 24, count);
    PutLe32(&section, 28, functions);
    PutLe32(&section, 32, names);
    PutLe32(&section, 36, ordinals);
    for (uint32_t i = 0; i < count; ++i) {
        PutLe32(&section, functions - kDllSectionRva + 4 * i, 0x2000 + 16 * i);
        PutLe32(&section, names - kDllSectionRva + 4 * i,
                kDllSectionRva + static_cast<uint32_t>(section.size()));
        PutLe16(&section, ordinals - kDllSectionRva + 2 * i, static_cast<uint16_t>(i));
        section.insert(section.end(), exports[i].begin(), exports[i].end());
        section.push_back(0);
    }
    Bytes image(kDllSection, 0);
    image[0] = 'M';
    image[1] = 'Z';
    PutLe32(&image, 0x3C, 0x40);
    image[0x40] = 'P';
    image[0x41] = 'E';
    PutLe16(&image, kDllMachine, 0x14C);
    PutLe16(&image, kDllSectionCount, 1);
    PutLe16(&image, 0x54, 224);                    // optional header size
    PutLe16(&image, kDllCharacteristics, 0x2102);  // executable, 32-bit, DLL
    PutLe16(&image, kDllMagic, 0x10B);
    PutLe32(&image, kDllMagic + 92, 16);  // data directories
    PutLe32(&image, kDllExportDirectory, kDllSectionRva);
    PutLe32(&image, kDllExportDirectory + 4, 40);
    std::memcpy(&image[kDllSectionTable], ".edata", 6);
    PutLe32(&image, kDllSectionTable + 8, static_cast<uint32_t>(section.size()));
    PutLe32(&image, kDllSectionTable + 12, kDllSectionRva);
    PutLe32(&image, kDllSectionTable + 16, static_cast<uint32_t>(section.size()));
    PutLe32(&image, kDllSectionTable + 20, kDllSection);
    image.insert(image.end(), section.begin(), section.end());
    return image;
}

std::vector<std::string> ZlibExports() {
    return std::vector<std::string>(kZlibExportNames, kZlibExportNames + kZlibExportCount);
}

// A stand-in zlib1.dll the library check takes, with bytes no text file
// would hold, so a mix-up shows, and its checksum set as a linker sets it.
std::string FakeDll() {
    Bytes dll = MakeDll(ZlibExports());
    size_t field = 0;
    EXPECT_TRUE(FindPeChecksumField(dll.data(), dll.size(), &field));
    PutLe32(&dll, field, PeChecksum(dll.data(), dll.size(), field));
    return std::string(dll.begin(), dll.end());
}

std::string LibraryFault(const Bytes& dll) {
    return ZlibLibraryFault(dll.data(), dll.size());
}

Bytes ReadOrFail(const std::string& path) {
    Bytes data;
    std::string error;
    EXPECT_TRUE(ReadInputFile(path, &data, &error)) << error;
    return data;
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

std::string Verify(const Bytes& archive, bool strict = true,
                   std::vector<std::string>* warnings = nullptr) {
    std::vector<std::string> ignored;
    std::string report;
    bool ok = VerifyArchive(archive.data(), archive.size(), strict,
                            warnings != nullptr ? warnings : &ignored, &report);
    EXPECT_EQ(ok, report.compare(0, 3, "OK ") == 0) << report;
    return report;
}

bool Pack(const std::vector<PackInput>& inputs, bool anyOrder, Bytes* out, std::string* error,
          std::vector<std::string>* warnings = nullptr) {
    std::vector<std::string> ignored;
    return PackEntries(inputs, anyOrder, out, warnings != nullptr ? warnings : &ignored, error);
}

bool Walk(const Bytes& archive, bool strict, std::vector<ListedEntry>* entries,
          std::vector<PackInput>* contents, std::string* fault) {
    std::vector<std::string> warnings;
    return WalkArchive(archive.data(), archive.size(), strict, entries, contents, &warnings, fault);
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
    ASSERT_TRUE(Pack(inputs, false, &packed, &error)) << error;
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
    ASSERT_TRUE(Walk(archive, true, &entries, &contents, &error)) << error;
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
    for (const char* name : {"b.txt", "sub/c.txt", "~.txt", "A.txt", "a-b", "sub/zlib1.dll"})
        folder.Write(name, name);
    std::vector<PackInput> inputs;
    std::string error;
    EXPECT_FALSE(CollectFolder(folder.path(), "", &inputs, &error));
    EXPECT_TRUE(Contains(error, "zlib1.dll")) << error;

    folder.Write("zlib1.dll", FakeDll());
    ASSERT_TRUE(CollectFolder(folder.path(), "", &inputs, &error)) << error;
    std::vector<std::string> names;
    for (const PackInput& input : inputs) names.push_back(input.name);
    EXPECT_EQ(names, (std::vector<std::string>{"zlib1.dll", "A.txt", "a-b", "b.txt", "sub\\c.txt",
                                               "sub\\zlib1.dll", "~.txt"}));
    Bytes first, second;
    ASSERT_TRUE(Pack(inputs, false, &first, &error)) << error;
    std::vector<PackInput> again;
    ASSERT_TRUE(CollectFolder(folder.path(), "", &again, &error)) << error;
    ASSERT_TRUE(Pack(again, false, &second, &error)) << error;
    EXPECT_EQ(first, second);
    EXPECT_EQ(Verify(first), "OK 7 entries");

    // Only the top-level dll is kept as is.
    std::vector<ListedEntry> entries;
    ASSERT_TRUE(Walk(first, true, &entries, nullptr, &error));
    EXPECT_FALSE(entries[5].stored);

    // Linux tells apart what Windows does not.
    folder.Write("B.TXT", "repeat");
    ASSERT_TRUE(CollectFolder(folder.path(), "", &inputs, &error)) << error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(Pack(inputs, false, &first, &error, &warnings)) << error;
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(Contains(warnings[0], "\"b.txt\"") && Contains(warnings[0], "\"B.TXT\""))
        << warnings[0];
    folder.Write("SUB", "clash");
    ASSERT_TRUE(CollectFolder(folder.path(), "", &inputs, &error)) << error;
    EXPECT_FALSE(Pack(inputs, false, &first, &error));
    EXPECT_TRUE(Contains(error, "\"sub\\c.txt\"") && Contains(error, "\"SUB\" is a file")) << error;

    EXPECT_FALSE(CollectFolder(folder.path() + "/none", "", &inputs, &error));
}

TEST(Packer, PacksTheSameBytesOnAnyNumberOfThreads) {
    TempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    folder.Write("zlib1.dll", FakeDll());
    // Sizes that finish out of order: a large entry ahead of small ones.
    for (int i = 0; i < 24; ++i) {
        std::string text;
        for (int line = 0; line < (i % 5 == 0 ? 20000 : 30 * i); ++line)
            text += "line " + std::to_string(line * (i + 1)) + "\n";
        folder.Write("f" + std::to_string(i) + (i % 3 ? "/x.txt" : ".txt"), text);
    }
    folder.Write("empty", "");
    std::vector<PackInput> inputs;
    std::string error;
    ASSERT_TRUE(CollectFolder(folder.path(), "", &inputs, &error)) << error;
    std::vector<std::string> warnings;
    Bytes one;
    ASSERT_TRUE(PackEntries(inputs, false, &one, &warnings, &error, 1)) << error;
    EXPECT_EQ(Verify(one), "OK 26 entries");
    Bytes best;
    ASSERT_TRUE(PackEntries(inputs, false, &best, &warnings, &error, 1, kBestDeflateLevel))
        << error;
    EXPECT_EQ(Verify(best), "OK 26 entries");
    EXPECT_LE(best.size(), one.size());
    for (unsigned jobs : {2u, 3u, 8u, 64u}) {
        Bytes many;
        ASSERT_TRUE(PackEntries(inputs, false, &many, &warnings, &error, jobs)) << error;
        EXPECT_TRUE(many == one) << jobs << " threads";
        ASSERT_TRUE(PackEntries(inputs, false, &many, &warnings, &error, jobs, kBestDeflateLevel))
            << error;
        EXPECT_TRUE(many == best) << jobs << " threads, best";
    }

    // The first fault in input order wins, whichever thread met it first.
    fs::remove(folder.path() + "/f4/x.txt");
    inputs.back().name = "..\\up";
    for (unsigned jobs : {1u, 4u}) {
        EXPECT_FALSE(PackEntries(inputs, false, &one, &warnings, &error, jobs));
        EXPECT_TRUE(Contains(error, "entry \"f4\\x.txt\"") && Contains(error, "f4/x.txt")) << error;
    }
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

    EXPECT_FALSE(Pack({Input("a.txt", "a"), dll}, false, &out, &error));
    EXPECT_TRUE(Contains(error, "\"a.txt\"") && Contains(error, "first")) << error;
    EXPECT_FALSE(Pack({Input("ZLIB1.DLL", "a")}, false, &out, &error));
    EXPECT_FALSE(Pack({}, false, &out, &error));
    EXPECT_TRUE(Contains(error, "zlib1.dll")) << error;

    const std::vector<std::vector<PackInput>> clashes = {
        {dll, Input("zlib1.dll", "again")},
        {dll, Input("a.txt", "1"), Input("ZLIB1.DLL", "folded")},
        {dll, Input("a", "file"), Input("A\\b", "under it")},
        {dll, Input("d\\x", "under"), Input("D", "file")},
    };
    for (const auto& inputs : clashes) {
        EXPECT_FALSE(Pack(inputs, false, &out, &error)) << inputs.back().name;
        EXPECT_TRUE(Contains(error, "\"" + inputs.back().name + "\"")) << error;
    }
    for (const std::string& name :
         {std::string(), std::string(kMaxEntryNameBytes + 1, 'n'), std::string("a\0b", 3),
          std::string("..\\up"), std::string("\\root"), std::string("c:x"), std::string("nul"),
          std::string("dir\\"), std::string("x.")}) {
        EXPECT_FALSE(Pack({dll, Input(name, "x")}, false, &out, &error)) << name;
        EXPECT_TRUE(Contains(error, "name")) << error;
    }
    TempFolder folder;
    Bytes data;
    EXPECT_FALSE(ReadInputFile(folder.path() + "/missing", &data, &error));
    EXPECT_TRUE(Contains(error, "missing")) << error;
    EXPECT_FALSE(ReadInputFile(folder.path(), &data, &error));
    EXPECT_FALSE(WriteFileAtomically(folder.path() + "/no/such/dir/out", data, &error));
}

// The front end widens each byte of a name to one UTF-16 unit.
TEST(Packer, RefusesNamesOutsidePrintableAscii) {
    const PackInput dll = Input("zlib1.dll", FakeDll());
    const Bytes dllBytes = ToBytes(FakeDll());
    const std::vector<std::pair<std::string, std::string>> names = {
        {"Gr\xC3\xBC\xC3\x9F"
         "e.txt",
         "byte 0xC3 at 2"},
        {"docs\\\xE6\x97\xA5.txt", "byte 0xE6 at 5"},
        {"del\x7F", "byte 0x7F at 3"},
        {"caf\xE9.txt", "byte 0xE9 at 3"},
    };
    for (const auto& name : names) {
        const std::string why = "name holds " + name.second +
                                ", outside printable ASCII; the program would widen each byte to "
                                "one UTF-16 character and install the file under a garbled name";
        Bytes out;
        std::string error;
        EXPECT_FALSE(Pack({dll, Input(name.first, "x")}, false, &out, &error));
        EXPECT_EQ(error, "entry \"" + name.first + "\": " + why);
        const std::string report =
            Verify(Assemble({{"zlib1.dll", dllBytes}, {name.first, Stream("x")}}));
        EXPECT_TRUE(Contains(report, "entry 1 at offset ") && Contains(report, why)) << report;
    }
}

TEST(Packer, AnyOrderAllowsTestPayloads) {
    Bytes out;
    std::string error;
    ASSERT_TRUE(Pack({Input("a.txt", "a"), Input("zlib1.dll", "d")}, true, &out, &error)) << error;
    EXPECT_EQ(Verify(out, false), "OK 2 entries");
    std::string strict = Verify(out, true);
    EXPECT_TRUE(Contains(strict, "entry 0 at offset 0") && Contains(strict, "zlib1.dll")) << strict;

    // Nothing but a zero trailer: the walk has nothing to do.
    ASSERT_TRUE(Pack({}, true, &out, &error)) << error;
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
        {cut, "cut short"},         {Bytes(stream.begin(), stream.begin() + 2), "cut short"},
        {longer, "1 bytes follow"}, {twice, "follow"},
        {damaged, "damaged"},       {raw, "damaged"},
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
    report = Verify(Assemble({{"zlib1.dll", dll}, {"a", stream}, {"A\\b", stream}}));
    EXPECT_TRUE(Contains(report, "entry 2") && Contains(report, "needs a folder")) << report;
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
    std::string report = Verify(Assemble({{"zlib1.dll", ToBytes(FakeDll())}, {"a", out}}));
    EXPECT_TRUE(Contains(report, "entry 1") && Contains(report, "dictionary")) << report;
}

TEST(Packer, RefusesNamesTooLongForTheShortestArchiveFolder) {
    const PackInput dll = Input("zlib1.dll", FakeDll());
    Bytes out;
    std::string error;
    const std::string longest(246, 'n');
    ASSERT_EQ(kMaxTargetNameBytes, longest.size());
    ASSERT_TRUE(Pack({dll, Input(longest, "x")}, false, &out, &error)) << error;
    EXPECT_EQ(Verify(out), "OK 2 entries");

    const std::string tooLong(247, 'n');
    const std::string why =
        "the unpacked path \"C:\\tmp-1\\" + tooLong +
        "\" would be 256 characters, longer than 255 even in the shortest archive folder, and the "
        "front end would fail with \"Target path too long\"; names may be at most 246 bytes";
    EXPECT_FALSE(Pack({dll, Input(tooLong, "x")}, false, &out, &error));
    EXPECT_EQ(error, "entry \"" + tooLong + "\": " + why);
    EXPECT_FALSE(Pack({Input(tooLong, "x")}, true, &out, &error)) << "test payloads too";
    const std::string nested = "docs\\" + std::string(242, 'n');
    EXPECT_FALSE(Pack({dll, Input(nested, "x")}, false, &out, &error));
    EXPECT_TRUE(Contains(error, "\"C:\\tmp-1\\" + nested + "\" would be 256")) << error;

    // The archive format holds such a name; the checker must refuse it alike.
    const Bytes dllBytes = ToBytes(FakeDll());
    std::string report = Verify(Assemble({{"zlib1.dll", dllBytes}, {tooLong, Stream("x")}}));
    EXPECT_EQ(report, "entry 1 at offset " + std::to_string(8 + 9 + dllBytes.size()) + " (\"" +
                          tooLong + "\"): " + why);
}

TEST(Packer, RefusesAZlibLibraryTheFrontEndCouldNotBind) {
    const Bytes good = MakeDll(ZlibExports());
    EXPECT_EQ(LibraryFault(good), "");

    auto patched = [&good](size_t at, uint32_t value, int bytes) {
        Bytes dll = good;
        if (bytes == 2) PutLe16(&dll, at, static_cast<uint16_t>(value));
        if (bytes == 4) PutLe32(&dll, at, value);
        return dll;
    };
    std::vector<std::string> someMissing = ZlibExports();
    someMissing.erase(someMissing.begin() + 12);  // crc32
    someMissing.erase(someMissing.begin() + 7);   // gzopen
    Bytes unterminated = MakeDll(ZlibExports());
    unterminated.pop_back();  // the last name, deflateInit2_, loses its 0 byte
    PutLe32(&unterminated, kDllSectionTable + 16,
            static_cast<uint32_t>(unterminated.size() - kDllSection));
    Bytes unbound = good;
    PutLe32(&unbound, kExportTables + 4 * 12, 0);  // crc32's address
    Bytes badOrdinal = good;
    PutLe16(&badOrdinal, kExportTables + 8 * kZlibExportCount, 99);
    const std::string noPe = "not a PE file: ";
    const std::string damaged = "a damaged PE file: ";
    const std::string needs32 = "; the front end is 32-bit and needs an i386 zlib1.dll";
    const std::string noProcs =
        "; the front end looks up fifteen zlib functions and shows \"No zip procs\" when one is "
        "missing";
    const std::vector<std::pair<Bytes, std::string>> faults = {
        {Bytes(), noPe + "it does not start with \"MZ\""},
        {ToBytes("Licence text"), noPe + "it does not start with \"MZ\""},
        {Bytes(good.begin(), good.begin() + 40), noPe + "it ends within its DOS header"},
        {patched(0x3C, 0xFFFFFFF0, 4),
         noPe + "no \"PE\" signature at offset 0xFFFFFFF0, where its DOS header points"},
        {patched(0x40, 'X', 2),
         noPe + "no \"PE\" signature at offset 0x40, where its DOS header points"},
        {Bytes(good.begin(), good.begin() + 0x50), damaged + "its COFF header runs past its end"},
        {Bytes(good.begin(), good.begin() + 0x100),
         damaged + "its optional header runs past its end"},
        {patched(kDllSectionCount, 97, 2),
         damaged + "it has 97 sections; Windows loads at most 96"},
        {patched(kDllSectionCount, 90, 2), damaged + "its section table runs past its end"},
        {Bytes(good.begin(), good.end() - 1), damaged + "section 1's data runs past its end"},
        {patched(kDllMachine, 0x8664, 2), "a 64-bit (x86-64) library" + needs32},
        {patched(kDllMachine, 0xAA64, 2), "a 64-bit (ARM64) library" + needs32},
        {patched(kDllMachine, 0x1234, 2), "a library for machine type 0x1234" + needs32},
        {patched(kDllCharacteristics, 0x0102, 2),
         "not a DLL but a program (its IMAGE_FILE_DLL flag is clear)"},
        {patched(kDllMagic, 0x20B, 2),
         "not a 32-bit image: its optional header magic is 0x20B, not PE32's 0x10B"},
        {MakeDll(someMissing), "does not export gzopen, crc32" + noProcs},
        {unbound, "does not export crc32" + noProcs},
        {unterminated, "does not export deflateInit2_" + noProcs},
        {patched(kDllExportDirectory, 0, 4),
         "does not export inflateEnd, inflate, inflateInit_, inflateInit2_, deflateEnd, deflate, "
         "deflateInit_, gzopen, gzclose, gzread, gzwrite, inflateSync, crc32, get_crc_table, "
         "deflateInit2_" +
             noProcs},
        {patched(kDllExportDirectory, 0x9000, 4),
         damaged + "its export directory (RVA 0x9000, 40 bytes) lies outside its sections' data"},
        {patched(kExportNameCount, 70000, 4),
         damaged + "it lists 70000 export names, more than 65536"},
        {patched(kExportNameCount, 1000, 4),
         damaged +
             "its export name table (RVA 0x1064, 4000 bytes) lies outside its sections' data"},
        {patched(kExportTables + 4 * kZlibExportCount, 0x7000, 4),
         damaged + "its export name 1 (RVA 0x7000) lies outside its sections' data"},
        {badOrdinal, damaged + "its export \"inflateEnd\" names function 99 of 15"},
    };
    const PackInput text = Input("Licence.txt", "text");
    for (const auto& fault : faults) {
        EXPECT_EQ(LibraryFault(fault.first), fault.second);
        Bytes out;
        std::string error;
        std::vector<PackInput> inputs = {{"zlib1.dll", "", fault.first}, text};
        EXPECT_FALSE(Pack(inputs, false, &out, &error));
        EXPECT_EQ(error, "entry \"zlib1.dll\": " + fault.second);
        // Test payloads may carry any zlib1.dll; a runnable one may not.
        ASSERT_TRUE(Pack(inputs, true, &out, &error)) << error;
        EXPECT_EQ(Verify(out, false), "OK 2 entries");
        EXPECT_EQ(Verify(out, true), "entry 0 at offset 0 (\"zlib1.dll\"): " + fault.second);
    }

    // The builds the demo payload and a careless vendor would take.
    const Bytes real = ReadOrFail(ZLIB_DLL_PATH);
    EXPECT_EQ(LibraryFault(real), "");
    Bytes out;
    std::string error;
    ASSERT_TRUE(Pack({{"zlib1.dll", "", real}, text}, false, &out, &error)) << error;
    EXPECT_EQ(Verify(out), "OK 2 entries");
    EXPECT_EQ(LibraryFault(ReadOrFail(ZLIB_DLL64_PATH)), "a 64-bit (x86-64) library" + needs32);
}

// The front end loads the stored library only when its checksum, where set,
// is right; one left at 0 is filled in so that the front end can check it.
TEST(Packer, ChecksTheLibrarysChecksumAndFillsInAZeroOne) {
    const Bytes real = ReadOrFail(ZLIB_DLL_PATH);
    uint32_t stored = 0, computed = 0;
    ASSERT_EQ(CheckPeChecksum(real.data(), real.size(), &stored, &computed), kPeChecksumMatches)
        << "the linker's own checksum of Debian's library";
    EXPECT_NE(stored, 0u);
    size_t field = 0;
    ASSERT_TRUE(FindPeChecksumField(real.data(), real.size(), &field));
    const PackInput text = Input("Licence.txt", "text");

    Bytes unset = real;
    PutLe32(&unset, field, 0);
    EXPECT_EQ(LibraryFault(unset), "");
    for (bool anyOrder : {false, true}) {
        Bytes out;
        std::string error;
        ASSERT_TRUE(Pack({{"zlib1.dll", "", unset}, text}, anyOrder, &out, &error)) << error;
        std::vector<ListedEntry> entries;
        std::vector<PackInput> contents;
        ASSERT_TRUE(Walk(out, !anyOrder, &entries, &contents, &error)) << error;
        EXPECT_EQ(contents[0].data, real) << "the checksum the linker would have set";
    }

    const size_t pe = field - 88;
    Bytes body = real, header = real, sum = real;
    body[real.size() / 2] ^= 0x10;
    header[pe + 8] ^= 0x01;  // the link time, which nothing else reads
    sum[field] ^= 0x01;
    for (const Bytes& damaged : {body, header, sum}) {
        uint32_t claimed = 0, actual = 0;
        ASSERT_EQ(CheckPeChecksum(damaged.data(), damaged.size(), &claimed, &actual),
                  kPeChecksumWrong);
        char numbers[kListLineBytes];
        std::snprintf(numbers, sizeof numbers, "its PE checksum is 0x%X, but its bytes sum to 0x%X",
                      claimed, actual);
        const std::string why =
            std::string("a damaged PE file: ") + numbers + "; the front end refuses to load it";
        EXPECT_EQ(LibraryFault(damaged), why);
        Bytes out;
        std::string error;
        EXPECT_FALSE(Pack({{"zlib1.dll", "", damaged}, text}, false, &out, &error));
        EXPECT_EQ(error, "entry \"zlib1.dll\": " + why);
        ASSERT_TRUE(Pack({{"zlib1.dll", "", damaged}, text}, true, &out, &error)) << error;
        EXPECT_EQ(Verify(out, true), "entry 0 at offset 0 (\"zlib1.dll\"): " + why);
    }
    Bytes cut(real.begin(), real.begin() + real.size() / 2);
    EXPECT_EQ(CheckPeChecksum(cut.data(), cut.size(), &stored, &computed), kPeChecksumWrong);
    EXPECT_NE(LibraryFault(cut), "");

    // Headers that do not hold the field, and offsets past the end, are
    // never read beyond.
    Bytes farHeader = real;
    PutLe32(&farHeader, 0x3C, 0xFFFFFFF0);
    Bytes shortOptional = real;
    PutLe16(&shortOptional, pe + 20, 67);
    for (const Bytes& noField :
         {Bytes(), Bytes(real.begin(), real.begin() + 63),
          Bytes(real.begin(), real.begin() + field + 3), farHeader, shortOptional}) {
        size_t at = 0;
        EXPECT_FALSE(FindPeChecksumField(noField.data(), noField.size(), &at));
        EXPECT_EQ(CheckPeChecksum(noField.data(), noField.size(), &stored, &computed),
                  kPeChecksumNoField);
    }
    Bytes noChecksum = MakeDll(ZlibExports());
    PutLe16(&noChecksum, kDllSectionCount, 0);
    PutLe16(&noChecksum, 0x54, 67);  // optional header size
    EXPECT_EQ(LibraryFault(noChecksum),
              "a damaged PE file: its optional header ends before its checksum field");
}

TEST(Verify, AgreesWithTheFrontEndOnEmptyEntriesAndRepeats) {
    const Bytes dll = ToBytes(FakeDll());
    const Bytes stream = Stream("text");
    std::vector<ListedEntry> entries;
    std::vector<PackInput> contents;
    std::string fault;
    std::vector<std::string> warnings;

    // The front end leaves an empty file for an entry of no bytes.
    const Bytes empty = Assemble({{"zlib1.dll", dll}, {"empty.txt", Bytes()}, {"a", stream}});
    EXPECT_EQ(Verify(empty), "OK 3 entries");
    ASSERT_TRUE(Walk(empty, true, &entries, &contents, &fault)) << fault;
    EXPECT_EQ(entries[1].storedSize, 0u);
    EXPECT_EQ(entries[1].unpackedSize, 0u);
    EXPECT_FALSE(entries[1].stored);
    EXPECT_TRUE(contents[1].data.empty());
    EXPECT_EQ(contents[2].data, ToBytes("text"));

    // A repeat is unpacked again over the first: a warning, not a fault.
    const int32_t third = static_cast<int32_t>(8 + 9 + dll.size() + 8 + 5 + stream.size());
    const Bytes repeated = Assemble({{"zlib1.dll", dll}, {"a.txt", stream}, {"A.txt", stream}});
    EXPECT_EQ(Verify(repeated, true, &warnings), "OK 3 entries");
    EXPECT_EQ(warnings, std::vector<std::string>{"entry 2 at offset " + std::to_string(third) +
                                                 " (\"A.txt\"): repeats \"a.txt\"; the front "
                                                 "end unpacks it over the earlier file"});
    EXPECT_EQ(Verify(Assemble({{"zlib1.dll", dll}, {"a.txt", stream}}), true, &warnings),
              "OK 2 entries");
    EXPECT_TRUE(warnings.empty());

    Bytes out;
    std::string error;
    ASSERT_TRUE(Pack({Input("zlib1.dll", FakeDll()), Input("a.txt", "1"), Input("A.TXT", "2")},
                     false, &out, &error, &warnings))
        << error;
    EXPECT_EQ(warnings, std::vector<std::string>{"entry \"A.TXT\": repeats \"a.txt\"; the front "
                                                 "end unpacks it over the earlier file"});
    ASSERT_TRUE(Walk(out, true, &entries, &contents, &fault)) << fault;
    ASSERT_EQ(contents.size(), 3u);
    EXPECT_EQ(contents[2].data, ToBytes("2"));

    // Only the library may not come twice, and only where it is bound.
    const std::string twice =
        "repeats \"zlib1.dll\", the library the front end loads from that "
        "file to unpack the rest; the payload must hold it once";
    const Bytes dllTwice = Assemble({{"zlib1.dll", dll}, {"a", stream}, {"zlib1.dll", dll}});
    EXPECT_TRUE(Contains(Verify(dllTwice), "entry 2 at offset") &&
                Contains(Verify(dllTwice), twice))
        << Verify(dllTwice);
    EXPECT_EQ(Verify(dllTwice, false, &warnings), "OK 3 entries");
    EXPECT_EQ(warnings.size(), 1u);
    EXPECT_FALSE(
        Pack({Input("zlib1.dll", FakeDll()), Input("Zlib1.dll", "x")}, false, &out, &error));
    EXPECT_EQ(error, "entry \"Zlib1.dll\": " + twice);
}

TEST(Zpack, SaysWhyOnStandardErrorAndExitsNonZero) {
    TempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    const std::string dir = folder.path();
    const std::string text = folder.Write("a.txt", "some text");
    const std::string archive = dir + "/payload.bin";

    const std::string tooLong(247, 'n');
    ZpackRun run =
        RunZpack(folder, "create " + archive + " " + ZLIB_DLL_PATH + " " + tooLong + "=" + text);
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "zpack: " + archive + ": entry \"" + tooLong + "\" (from " + text +
                           "): the unpacked path \"C:\\tmp-1\\" + tooLong +
                           "\" would be 256 characters, longer than 255 even in the shortest "
                           "archive folder, and the front end would fail with \"Target path too "
                           "long\"; names may be at most 246 bytes\n");
    EXPECT_FALSE(fs::exists(archive));

    run = RunZpack(folder, "create " + archive + " " + ZLIB_DLL64_PATH + " " + text);
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "zpack: " + archive + ": entry \"zlib1.dll\" (from " + ZLIB_DLL64_PATH +
                           "): a 64-bit (x86-64) library; the front end is 32-bit and needs an "
                           "i386 zlib1.dll\n");
    EXPECT_FALSE(fs::exists(archive));

    const std::string warning = ": entry \"A.TXT\" (from " + text +
                                "): repeats \"a.txt\"; the front end unpacks it over the earlier "
                                "file\n";
    run =
        RunZpack(folder, "create " + archive + " " + ZLIB_DLL_PATH + " " + text + " A.TXT=" + text);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.err, "zpack: warning: " + archive + warning);
    run = RunZpack(folder, "verify " + archive);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out, "OK 3 entries\n");
    EXPECT_TRUE(Contains(run.err, "zpack: warning: " + archive + ": entry 2 at offset ") &&
                Contains(run.err, "(\"A.TXT\"): repeats \"a.txt\""))
        << run.err;

    const Bytes dll = ReadOrFail(ZLIB_DLL_PATH);
    const std::string empty = dir + "/empty.bin";
    ASSERT_TRUE(WriteFileAtomically(empty, Assemble({{"zlib1.dll", dll}, {"empty.txt", Bytes()}}),
                                    &run.err));
    run = RunZpack(folder, "verify " + empty);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out, "OK 2 entries\n");
    EXPECT_EQ(run.err, "");
    run = RunZpack(folder, "list " + empty);
    EXPECT_EQ(run.code, 0);
    char line[kListLineBytes];
    std::snprintf(line, sizeof line, "%5d %10zu %10d %10d %-7s %s\n", 1, 8 + 9 + dll.size(), 0, 0,
                  "zlib", "empty.txt");
    EXPECT_TRUE(Contains(run.out, line)) << run.out;
}

}  // namespace
