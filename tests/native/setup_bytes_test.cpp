// The bytes zpack writes never change by accident: a payload shaped like the
// demo folder packs, and makes a setup program from each tiny stub, exactly
// as the packer did when these references were recorded. Their streams are
// libdeflate 1.14's: another libdeflate version may make other bytes.
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "packer/pack.h"
#include "packer/stub.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr uint32_t kFillerMultiplier = 1103515245;
constexpr uint32_t kFillerIncrement = 12345;
constexpr unsigned kFillerShift = 16;
// Six bits a byte: compressible, but not to nothing.
constexpr uint32_t kFillerMask = 0x3F;
constexpr size_t kFillerBytes = 701;
constexpr unsigned kPackJobs = 3;

Bytes ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

// Program-like bytes that are the same on every machine.
Bytes Filler(uint32_t seed) {
    Bytes bytes(kFillerBytes);
    for (unsigned char& byte : bytes) {
        seed = seed * kFillerMultiplier + kFillerIncrement;
        byte = static_cast<unsigned char>(seed >> kFillerShift & kFillerMask);
    }
    return bytes;
}

PackInput Text(const std::string& name, const std::string& text) {
    return PackInput{name, "", Bytes(text.begin(), text.end())};
}

// The demo folder's names, in the order create-dir collects them.
std::vector<PackInput> DemoPayload() {
    std::vector<PackInput> inputs = {
        PackInput{"zlib1.dll", "", Filler(1)},
        PackInput{"InstallZentrova.exe", "", Filler(2)},
        Text("Licence.txt", "Zentrova licence\r\n"),
        PackInput{"Uninstall.exe", "", Filler(3)},
        PackInput{"Zentrova.exe", "", Filler(4)},
        Text("docs\\empty.txt", ""),
        PackInput{"libeay32.dll", "", Filler(5)},
        PackInput{"libssl32.dll", "", Filler(6)},
    };
    return inputs;
}

Bytes DemoArchive() {
    Bytes archive;
    std::vector<std::string> warnings;
    std::string error;
    EXPECT_TRUE(PackEntries(DemoPayload(), true, &archive, &warnings, &error, kPackJobs)) << error;
    return archive;
}

// Where two byte strings part, or "" when they are the same.
std::string FirstDifference(const Bytes& made, const Bytes& recorded) {
    if (made == recorded) return "";
    auto parted = std::mismatch(made.begin(), made.end(), recorded.begin(), recorded.end());
    return "made " + std::to_string(made.size()) + " bytes, recorded " +
           std::to_string(recorded.size()) + "; they part at offset " +
           std::to_string(parted.first - made.begin());
}

std::string Fixture(const std::string& name) {
    return std::string(PACKER_FIXTURES) + "/" + name;
}

}  // namespace

TEST(SameBytes, DemoArchive) {
    const Bytes recorded = ReadFile(Fixture("demo.zpk"));
    ASSERT_FALSE(recorded.empty());
    EXPECT_EQ(FirstDifference(DemoArchive(), recorded), "");
}

TEST(SameBytes, SetupProgramFromEachStub) {
    const Bytes archive = DemoArchive();
    const std::vector<std::pair<std::string, bool>> stubs = {
        {"i386", false}, {"rsrc_last", false}, {"x64", true}};
    for (const auto& stub : stubs) {
        const Bytes bytes = ReadFile(std::string(STUB_SEEDS) + "/" + stub.first + ".bin");
        const Bytes recorded = ReadFile(Fixture(stub.first + "-setup.bin"));
        ASSERT_FALSE(recorded.empty()) << stub.first;
        SetupImage image;
        std::string fault;
        ASSERT_TRUE(MakeSetupImage(bytes.data(), bytes.size(), archive.data(), archive.size(),
                                   stub.second, &image, &fault))
            << stub.first << ": " << fault;
        Bytes made = image.head;
        made.insert(made.end(), archive.begin(), archive.end());
        made.insert(made.end(), image.tail.begin(), image.tail.end());
        EXPECT_EQ(FirstDifference(made, recorded), "") << stub.first;
    }
}
