// Making a setup program from a stub: tiny stubs the linker made (the fuzz
// seeds), the payload written as resource 100 into a rebuilt resource
// section, .reloc moved behind it, and the stubs zpack must refuse.
#include <sys/mman.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "format/pe_format.h"
#include "packer/stub.h"
#include "tests/native/helpers.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<unsigned char>;

// The PE32 optional header's fields and data directories the tests change.
constexpr size_t kSizeOfInitializedData = kOptionalSizeOfInitializedDataOffset;
constexpr size_t kSizeOfImage = kOptionalSizeOfImageOffset;
constexpr size_t kSubsystem = kOptionalSubsystemOffset;
constexpr size_t Directory(size_t index) {
    return kOptional32DirectoriesOffset + index * kDirectoryBytes;
}
constexpr size_t kImportDirectory = Directory(1);
constexpr size_t kResourceDirectory = Directory(2);
constexpr size_t kCertificateDirectory = Directory(4);
constexpr size_t kRelocationDirectory = Directory(5);
constexpr uint32_t kPageBytes = 0x1000;

Bytes Seed(const std::string& name) {
    std::ifstream file(std::string(STUB_SEEDS) + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

uint32_t Le32(const Bytes& bytes, size_t at) {
    return static_cast<uint32_t>(bytes[at]) | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
           static_cast<uint32_t>(bytes[at + 3]) << 24;
}

// Where the optional header starts, and the section table.
size_t Optional(const Bytes& image) {
    return Le32(image, 0x3C) + 24;
}

size_t SectionTable(const Bytes& image) {
    return Optional(image) + (image[Le32(image, 0x3C) + 20] | image[Le32(image, 0x3C) + 21] << 8);
}

Bytes With32(Bytes bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
    return bytes;
}

std::string Make(const Bytes& stub, const std::string& archive, bool testStub, Bytes* out) {
    SetupImage image;
    std::string fault;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(archive.data());
    if (!MakeSetupImage(stub.data(), stub.size(), data, archive.size(), testStub, &image, &fault))
        return fault;
    *out = image.head;
    out->insert(out->end(), data, data + archive.size());
    out->insert(out->end(), image.tail.begin(), image.tail.end());
    return "";
}

std::string Text(const ResourceData* data) {
    return data ? std::string(reinterpret_cast<const char*>(data->data), data->size) : "(none)";
}

uint32_t Checksum(const Bytes& image, const PeHeaders& headers) {
    return PeChecksum({ByteRange{image.data(), image.size()}}, PeChecksumOffset(headers));
}

}  // namespace

TEST(SetupImage, RebuildsTheResourceSectionAndMovesRelocations) {
    const Bytes stub = Seed("i386.bin");
    PeHeaders old;
    std::string fault;
    ASSERT_TRUE(ReadPeHeaders(stub.data(), stub.size(), &old, &fault)) << fault;
    // The linker's own checksum of the stub.
    EXPECT_EQ(Checksum(stub, old), Le32(stub, PeChecksumOffset(old)));

    // Odd-sized, and more than the section's file alignment holds.
    const std::string archive(999, 'a');
    Bytes out, again;
    ASSERT_EQ(Make(stub, archive, false, &out), "");
    ASSERT_EQ(Make(stub, archive, false, &again), "");
    EXPECT_TRUE(out == again) << "the same stub and archive give the same bytes";
    PeHeaders headers;
    ResourceTree tree;
    ASSERT_TRUE(ReadPeHeaders(out.data(), out.size(), &headers, &fault)) << fault;
    ASSERT_TRUE(ReadResources(out.data(), headers, &tree, &fault)) << fault;
    EXPECT_EQ(Le32(out, PeChecksumOffset(headers)), Checksum(out, headers));
    // Windows copies it to the page file before it runs from a share or a stick.
    EXPECT_EQ(headers.characteristics, old.characteristics | 0x0C00);
    EXPECT_EQ(MissingRunFromSwap(old.characteristics),
              "IMAGE_FILE_NET_RUN_FROM_SWAP and IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP");

    // Numbers ascending after names, in each table.
    ASSERT_EQ(tree.types.size(), 2u);
    EXPECT_EQ(tree.types[0].key.id, kResourceTypeDialog);
    const std::vector<ResourceName>& rcdata = tree.types[1].names;
    ASSERT_EQ(rcdata.size(), 3u);
    EXPECT_EQ(rcdata[0].key.name, u"ZNAME");
    EXPECT_EQ(rcdata[1].key.id, 50);
    EXPECT_EQ(rcdata[2].key.id, kPayloadResourceId);
    ASSERT_EQ(rcdata[1].languages.size(), 2u);
    EXPECT_EQ(rcdata[1].languages[0].language, 0x0409);
    EXPECT_EQ(Text(FindResource(tree, kResourceTypeRcdata, 50, kPayloadLanguage)), "fifty");
    const ResourceData* payload =
        FindResource(tree, kResourceTypeRcdata, kPayloadResourceId, kPayloadLanguage);
    EXPECT_EQ(Text(payload), archive);

    const PeSection &resources = headers.sections[3], &relocations = headers.sections[4];
    ASSERT_EQ(relocations.name, ".reloc");
    const uint64_t payloadRva =
        payload->data - out.data() - resources.rawOffset + resources.virtualAddress;
    EXPECT_EQ(payloadRva % kResourceDataAlignment, 0u);
    EXPECT_EQ(payloadRva + archive.size(), resources.virtualAddress + resources.virtualSize)
        << "the payload ends the section";
    EXPECT_EQ(resources.rawSize % 0x200, 0u);
    EXPECT_GT(resources.rawSize, old.sections[3].rawSize);
    EXPECT_EQ(relocations.virtualAddress,
              (resources.virtualAddress + resources.virtualSize + kPageBytes - 1) / kPageBytes *
                  kPageBytes);
    EXPECT_EQ(relocations.rawOffset, resources.rawOffset + resources.rawSize);
    const size_t optional = Optional(out);
    EXPECT_EQ(Le32(out, optional + kRelocationDirectory), relocations.virtualAddress);
    EXPECT_TRUE(std::equal(stub.begin() + old.sections[4].rawOffset, stub.end(),
                           out.begin() + relocations.rawOffset));
    EXPECT_EQ(out.size(), relocations.rawOffset + relocations.rawSize);
    EXPECT_EQ(Le32(out, optional + kSizeOfImage), relocations.virtualAddress + kPageBytes);
    EXPECT_EQ(Le32(out, optional + kSizeOfInitializedData),
              Le32(stub, optional + kSizeOfInitializedData) + resources.rawSize -
                  old.sections[3].rawSize);

    // With .rsrc last nothing moves; the 64-bit twin is for the tests only.
    ASSERT_EQ(Make(Seed("rsrc_last.bin"), archive, false, &out), "");
    EXPECT_EQ(Make(Seed("x64.bin"), archive, true, &out), "");
}

TEST(SetupImage, RefusesStubsItCannotUse) {
    const Bytes stub = Seed("i386.bin");
    Bytes setup;
    ASSERT_EQ(Make(stub, "archive", false, &setup), "");
    const size_t optional = Optional(stub);
    Bytes renamed = stub;
    std::memcpy(&renamed[SectionTable(stub) + 4 * kSectionHeaderBytes], ".zdata", 6);
    const uint32_t resources = Le32(stub, optional + kResourceDirectory);
    PeHeaders headers;
    std::string fault;
    ASSERT_TRUE(ReadPeHeaders(stub.data(), stub.size(), &headers, &fault)) << fault;
    const size_t relocationBlock = headers.sections[4].rawOffset;
    const std::vector<std::pair<Bytes, std::string>> faults = {
        {Bytes(stub.begin(), stub.begin() + SectionTable(stub) + 100),
         "a damaged PE file: its section table runs past its end"},
        {Seed("x64.bin"), "a 64-bit (x86-64) program; the stub is the 32-bit (i386, PE32) program"},
        {Seed("console.bin"), "not a Windows GUI program: its subsystem is 3"},
        {With32(stub, optional + kSubsystem, 1), "not a Windows GUI program: its subsystem is 1"},
        {Seed("no_dialog.bin"), "has no dialog 1000: not a setup stub"},
        {setup, "already carries resource 100, a payload"},
        {Seed("signed.bin"), "carries a signature; sign the setup program"},
        {With32(stub, optional + kCertificateDirectory, 0x10), "carries a signature"},
        {Seed("overlay.bin"), "has 7 bytes after its last section (an overlay)"},
        {renamed,
         "has section \".zdata\" after its resource section; create-setup can move "
         "only .reloc"},
        {With32(stub, relocationBlock, resources),
         "relocates an address (RVA 0x4000) in or after its resource section"},
        {With32(stub, optional + kImportDirectory, resources),
         "has its import directory in or after its resource section"},
        {With32(stub, optional + kResourceDirectory, resources + 8),
         "a damaged PE file: its resource directory (RVA 0x4008) does not start a section"},
    };
    for (const auto& fault : faults) {
        Bytes out;
        std::string why = Make(fault.first, "archive", false, &out);
        EXPECT_EQ(why.compare(0, fault.second.size(), fault.second), 0)
            << "got: " << why << "\nwanted: " << fault.second;
    }
}

// A relocation may end exactly where the resource section starts: each
// type is measured by the bytes it patches.
TEST(SetupImage, MeasuresEachRelocationByItsOwnWidth) {
    const Bytes stub = Seed("i386.bin");
    PeHeaders headers;
    std::string fault;
    ASSERT_TRUE(ReadPeHeaders(stub.data(), stub.size(), &headers, &fault)) << fault;
    const uint32_t resources = Le32(stub, Optional(stub) + kResourceDirectory);
    const size_t block = headers.sections[4].rawOffset;
    struct Case {
        uint16_t type, offset;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {3, 0xFFC, true}, {3, 0xFFD, false}, {10, 0xFF8, true}, {10, 0xFFC, false},
        {2, 0xFFE, true}, {1, 0xFFF, false}, {0, 0xFFF, true},
    };
    for (const Case& c : cases) {
        Bytes edge = With32(stub, block, resources - kPageBytes);
        const uint16_t entry = static_cast<uint16_t>(c.type << 12 | c.offset);
        edge[block + 8] = static_cast<unsigned char>(entry);
        edge[block + 9] = static_cast<unsigned char>(entry >> 8);
        Bytes out;
        std::string why = Make(edge, "archive", false, &out);
        EXPECT_EQ(why.empty(), c.accepted) << c.type << " at " << c.offset << ": " << why;
    }
}

// The stub is not large-address-aware; an archive must leave the loader room.
TEST(SetupImage, RefusesAnImagePastTheLimit) {
    const Bytes stub = Seed("i386.bin");
    // Zero pages the kernel maps only as they are read; the refusal reads none.
    void* zeros = mmap(nullptr, kMaxSetupImageBytes, PROT_READ,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(zeros, MAP_FAILED);
    const unsigned char* archive = static_cast<const unsigned char*>(zeros);
    SetupImage image;
    std::string fault;
    EXPECT_FALSE(MakeSetupImage(stub.data(), stub.size(), archive, kMaxSetupImageBytes, false,
                                &image, &fault));
    EXPECT_EQ(fault.compare(0, 36, "with its archive of 1073741824 bytes"), 0) << fault;
    EXPECT_NE(fault.find("past the 0x40000000 (1 GiB)"), std::string::npos) << fault;
    munmap(zeros, kMaxSetupImageBytes);
}

TEST(Zpack, MakesASetupProgramOrSaysWhyInOneLine) {
    TempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    const std::string dir = folder.path(), out = dir + "/Setup.exe";
    folder.Write("payload/docs/a.txt", std::string(100000, 'a'));
    folder.Write("payload/b.txt", "b");
    fs::copy_file(ZLIB_DLL_PATH, dir + "/payload/zlib1.dll");
    auto zpack = [&folder](const std::string& arguments) {
        return RunZpack(folder, arguments).Shown();
    };
    const std::string x64 = std::string(STUB_SEEDS) + "/x64.bin";
    EXPECT_EQ(zpack("create-setup " + out + " " + x64 + " " + dir + "/payload"),
              "1 zpack: " + x64 +
                  ": a 64-bit (x86-64) program; the stub is the 32-bit (i386, PE32) program\n");
    EXPECT_FALSE(fs::exists(out));

    const std::string stub = std::string(STUB_SEEDS) + "/i386.bin";
    EXPECT_EQ(zpack("create-dir -j1 " + dir + "/payload.bin " + dir + "/payload"), "0 ");
    EXPECT_EQ(zpack("create-setup -j1 " + out + " " + stub + " " + dir + "/payload"), "0 ");
    EXPECT_EQ(zpack("create-setup -j 3 " + dir + "/j3.exe " + stub + " " + dir + "/payload"), "0 ");
    const std::string setupText = ReadText(out);
    const Bytes setup(setupText.begin(), setupText.end());
    EXPECT_TRUE(setupText == ReadText(dir + "/j3.exe"));
    PeHeaders headers;
    ResourceTree tree;
    std::string fault;
    ASSERT_TRUE(ReadPeHeaders(setup.data(), setup.size(), &headers, &fault)) << fault;
    ASSERT_TRUE(ReadResources(setup.data(), headers, &tree, &fault)) << fault;
    const ResourceData* payload =
        FindResource(tree, kResourceTypeRcdata, kPayloadResourceId, kPayloadLanguage);
    ASSERT_NE(payload, nullptr);
    EXPECT_TRUE(Text(payload) == ReadText(dir + "/payload.bin"))
        << "create-setup packs as create-dir does";
    EXPECT_EQ(zpack("create-setup --any-order " + out + " " + x64 + " " + dir + "/payload"), "0 ");
}
