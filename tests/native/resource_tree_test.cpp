// The resource tree written as it was read: a stub's tree, written into a
// new section and read back from it, is the same tree.
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "packer/resource_tree.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Where the written section is mapped; any RVA will do.
constexpr uint32_t kSectionRva = 0x7000;

Bytes Seed(const std::string& name) {
    std::ifstream file(std::string(STUB_SEEDS) + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

}  // namespace

TEST(ResourceTree, ReadsBackWhatItWrites) {
    // setup.bin holds a named resource and a payload as well as a dialog.
    for (const char* name : {"i386.bin", "setup.bin"}) {
        const Bytes stub = Seed(name);
        PeHeaders headers;
        ResourceTree tree, again;
        std::string fault;
        ASSERT_TRUE(ReadPeHeaders(stub.data(), stub.size(), &headers, &fault)) << fault;
        ASSERT_TRUE(ReadResources(stub.data(), headers, &tree, &fault)) << name << ": " << fault;
        ASSERT_FALSE(tree.types.empty()) << name;

        const ResourceSectionLayout layout = MeasureResourceSection(tree, nullptr);
        Bytes section;
        WriteResourceSection(tree, layout, nullptr, kSectionRva, &section);
        ASSERT_EQ(section.size(), layout.lastData) << name;
        ASSERT_TRUE(ReadResourceTree(section.data(), section.size(), kSectionRva, &again, &fault))
            << name << ": " << fault;
        EXPECT_TRUE(SameResources(tree, again)) << name;
        EXPECT_NE(tree.types.front().names.front().languages.front().data,
                  again.types.front().names.front().languages.front().data)
            << name << ": read back from the new section, not the stub";
    }
}

TEST(ResourceTree, TellsTreesApart) {
    const Bytes stub = Seed("i386.bin");
    PeHeaders headers;
    ResourceTree tree;
    std::string fault;
    ASSERT_TRUE(ReadPeHeaders(stub.data(), stub.size(), &headers, &fault)) << fault;
    ASSERT_TRUE(ReadResources(stub.data(), headers, &tree, &fault)) << fault;
    ResourceTree other = tree;
    EXPECT_TRUE(SameResources(tree, other));
    other.types.back().names.back().languages.back().codePage ^= 1;
    EXPECT_FALSE(SameResources(tree, other));
    other = tree;
    other.types.back().names.pop_back();
    EXPECT_FALSE(SameResources(tree, other));
}
