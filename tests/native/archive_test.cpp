// The walk reads untrusted sizes; these pin down every bounds and name rule
// it must hold, with the buffers sized exactly so ASan sees any overrun.
#include <sys/mman.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "format/archive.h"

namespace {

void PutLe32(unsigned char* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::vector<unsigned char> Entry(uint32_t fileSize, uint32_t nameSize, const std::string& name,
                                 const std::string& data) {
    std::vector<unsigned char> bytes(kEntryHeaderBytes);
    PutLe32(bytes.data(), fileSize);
    PutLe32(bytes.data() + 4, nameSize);
    bytes.insert(bytes.end(), name.begin(), name.end());
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

std::vector<unsigned char> Entry(const std::string& name, const std::string& data) {
    return Entry(static_cast<uint32_t>(data.size()), static_cast<uint32_t>(name.size()), name,
                 data);
}

// A heap block of exactly the archive's size, so ASan sees any overrun.
class Block {
   public:
    explicit Block(const std::vector<unsigned char>& bytes)
        : bytes_(new unsigned char[bytes.size()]), size_(static_cast<int32_t>(bytes.size())) {
        if (!bytes.empty()) std::memcpy(bytes_.get(), bytes.data(), bytes.size());
    }
    const unsigned char* data() const { return bytes_.get(); }
    int32_t size() const { return size_; }

   private:
    std::unique_ptr<unsigned char[]> bytes_;
    int32_t size_;
};

ArchiveStatus ReadOnly(const Block& block, int32_t* offset, ArchiveEntry* entry) {
    int32_t before = *offset;
    ArchiveStatus status = ReadArchiveEntry(block.data(), block.size(), offset, entry);
    if (status != kArchiveOk) {
        EXPECT_EQ(*offset, before) << ArchiveStatusText(status);
    } else {
        EXPECT_EQ(entry->name, block.data() + before + kEntryHeaderBytes);
        EXPECT_EQ(entry->data, entry->name + entry->filenameSize);
        EXPECT_EQ(entry->data + entry->fileSize, block.data() + *offset);
    }
    return status;
}

ArchiveStatus StatusOf(const std::vector<unsigned char>& bytes) {
    int32_t offset = 0;
    ArchiveEntry entry;
    return ReadOnly(Block(bytes), &offset, &entry);
}

bool Safe(const std::string& name) {
    return IsSafeEntryName(reinterpret_cast<const unsigned char*>(name.data()),
                           static_cast<uint32_t>(name.size()));
}

bool Stored(const std::string& name) {
    return IsStoredEntryName(reinterpret_cast<const unsigned char*>(name.data()),
                             static_cast<uint32_t>(name.size()));
}

TEST(ReadArchiveEntry, WalksEntriesBackToBack) {
    std::vector<unsigned char> bytes = Entry("a.txt", "hello");
    std::vector<unsigned char> second = Entry("dir\\b", "");
    bytes.insert(bytes.end(), second.begin(), second.end());
    Block block(bytes);
    int32_t offset = 0;
    ArchiveEntry entry;
    ASSERT_EQ(ReadOnly(block, &offset, &entry), kArchiveOk);
    EXPECT_EQ(entry.fileSize, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(entry.data), entry.fileSize), "hello");
    EXPECT_EQ(offset, 8 + 5 + 5);
    ASSERT_EQ(ReadOnly(block, &offset, &entry), kArchiveOk);
    EXPECT_EQ(entry.fileSize, 0u);
    EXPECT_EQ(offset, block.size());
    EXPECT_EQ(ReadOnly(block, &offset, &entry), kArchiveHeaderPastEnd);
}

TEST(ReadArchiveEntry, RefusesPartsPastTheEnd) {
    std::vector<unsigned char> whole = Entry("name", "data");
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        std::vector<unsigned char> part(whole.begin(), whole.begin() + cut);
        ArchiveStatus expected = cut < 8       ? kArchiveHeaderPastEnd
                                 : cut < 8 + 4 ? kArchiveNamePastEnd
                                               : kArchiveDataPastEnd;
        EXPECT_EQ(StatusOf(part), expected) << "cut at " << cut;
    }
    EXPECT_EQ(StatusOf({}), kArchiveHeaderPastEnd);
    EXPECT_EQ(StatusOf(Entry(UINT32_MAX, 1, "a", "")), kArchiveDataPastEnd);
    EXPECT_EQ(StatusOf(Entry(0, UINT32_MAX, "a", "")), kArchiveNameSizeBad);
    EXPECT_EQ(StatusOf(Entry(0x80000000u, 1, "a", "x")), kArchiveDataPastEnd);

    Block block(whole);
    ArchiveEntry entry;
    for (int32_t offset : {-1, INT32_MIN, block.size() - 7, block.size(), block.size() + 1})
        EXPECT_EQ(ReadOnly(block, &offset, &entry), kArchiveHeaderPastEnd) << offset;
}

TEST(ReadArchiveEntry, BoundsTheNameSize) {
    EXPECT_EQ(StatusOf(Entry(0, 0, "", "")), kArchiveNameSizeBad);
    std::string longest(kMaxEntryNameBytes, 'n');
    EXPECT_EQ(StatusOf(Entry(longest, "d")), kArchiveOk);
    EXPECT_EQ(StatusOf(Entry(longest + "n", "d")), kArchiveNameSizeBad);
    // The size is judged before the bytes, so a short block cannot hide it.
    EXPECT_EQ(StatusOf(Entry(0, kMaxEntryNameBytes + 1, "n", "")), kArchiveNameSizeBad);
}

TEST(ReadArchiveEntry, RefusesBadNameBytes) {
    EXPECT_EQ(StatusOf(Entry(std::string("a\0b", 3), "")), kArchiveNameHasNul);
    EXPECT_EQ(StatusOf(Entry(std::string("ab\0", 3), "")), kArchiveNameHasNul);
    EXPECT_EQ(StatusOf(Entry("..\\evil.exe", "x")), kArchiveNameUnsafe);
    EXPECT_EQ(StatusOf(Entry("C:\\evil.exe", "x")), kArchiveNameUnsafe);
    // Sizes come first: a bad name behind data past the end is that fault.
    EXPECT_EQ(StatusOf(Entry(9, 2, "..", "x")), kArchiveDataPastEnd);
}

// A payload near 2 GB must not wrap any sum; the block is reserved, not
// backed, and only its last page is touched.
TEST(ReadArchiveEntry, HoldsNearTheSignedLimit) {
    const size_t span = size_t{1} << 31;
    void* block = mmap(nullptr, span, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (block == MAP_FAILED) GTEST_SKIP() << "cannot reserve 2 GB of address space";
    unsigned char* archive = static_cast<unsigned char*>(block);
    const int32_t length = INT32_MAX;
    const int32_t last = length - (kEntryHeaderBytes + 2);
    PutLe32(archive + last, 1);
    PutLe32(archive + last + 4, 1);
    archive[last + 8] = 'a';
    archive[last + 9] = 'b';

    int32_t offset = last;
    ArchiveEntry entry;
    EXPECT_EQ(ReadArchiveEntry(archive, length, &offset, &entry), kArchiveOk);
    EXPECT_EQ(offset, INT32_MAX);
    EXPECT_EQ(ReadArchiveEntry(archive, length, &offset, &entry), kArchiveHeaderPastEnd);

    for (uint32_t fileSize : {2u, 0x7FFFFFFFu, 0x80000000u, UINT32_MAX}) {
        PutLe32(archive + last, fileSize);
        offset = last;
        EXPECT_EQ(ReadArchiveEntry(archive, length, &offset, &entry), kArchiveDataPastEnd)
            << fileSize;
        EXPECT_EQ(offset, last);
    }
    PutLe32(archive + last, 0);
    PutLe32(archive + last + 4, 3);
    offset = last;
    EXPECT_EQ(ReadArchiveEntry(archive, length, &offset, &entry), kArchiveNamePastEnd);
    offset = length - kEntryHeaderBytes + 1;
    EXPECT_EQ(ReadArchiveEntry(archive, length, &offset, &entry), kArchiveHeaderPastEnd);
    munmap(block, span);
}

TEST(IsSafeEntryName, AcceptsPlainRelativeNames) {
    for (const char* name :
         {"a", "readme.txt", "bin\\tool.exe", "a\\b\\c\\d.dat", ".hidden", "..a", "a..b",
          "name with blanks.txt", "COM10", "LPT", "console", "nullify.txt", "con2", "x.con",
          "caf\xE9.txt", "\x80\xFF", "a~1", "[x]{y}#&'!@$%^()+,;=`"})
        EXPECT_TRUE(Safe(name)) << name;
    EXPECT_TRUE(Safe(std::string(kMaxEntryNameBytes, 'x')));
}

TEST(IsSafeEntryName, RefusesNamesLeavingTheFolder) {
    for (const char* name :
         {"..", ".", "..\\x", "a\\..\\..\\x", "a\\..", "a\\.\\b", "\\a", "a\\", "a\\\\b",
          "\\\\server\\share", "C:x", "C:\\x", "a:b", "file.txt:stream", "a/b", "/etc/passwd"})
        EXPECT_FALSE(Safe(name)) << name;
    EXPECT_FALSE(Safe(""));
}

TEST(IsSafeEntryName, RefusesNamesWindowsWouldAlter) {
    // Trailing dots and blanks are dropped by Windows, wildcards and the
    // like cannot be created at all.
    for (const char* name :
         {"a.", "a ", "dir.\\x", "dir \\x", ". .", "a*", "a?", "a\"b", "<a", "a>", "a|b"})
        EXPECT_FALSE(Safe(name)) << name;
    for (unsigned char c = 1; c < 0x20; ++c)
        EXPECT_FALSE(Safe(std::string("a") + static_cast<char>(c) + "b")) << int(c);
}

TEST(IsSafeEntryName, RefusesDeviceNames) {
    for (const char* name : {"CON", "con", "Prn", "AUX", "nul", "nul.txt", "NUL.tar.gz", "nul .txt",
                             "COM1", "com9.log", "LPT1", "lpt5.dat", "CONIN$", "conout$",
                             "dir\\aux", "aux\\file.txt", "a\\Con.ini\\b"})
        EXPECT_FALSE(Safe(name)) << name;
}

TEST(IsStoredEntryName, MatchesOnlyTheExactName) {
    EXPECT_TRUE(Stored(kStoredEntryName));
    for (const char* name : {"ZLIB1.DLL", "Zlib1.dll", "x\\zlib1.dll", "zlib1.dll\\x", "zlib1.dl",
                             "zlib1.dll ", " zlib1.dll", "zlib1.dll.", "zlib1"})
        EXPECT_FALSE(Stored(name)) << name;
    // Only the given size counts, not what follows it.
    const unsigned char longer[] = "zlib1.dllx";
    EXPECT_TRUE(IsStoredEntryName(longer, 9));
    EXPECT_FALSE(IsStoredEntryName(longer, 10));
    EXPECT_FALSE(IsStoredEntryName(longer, 8));
}

TEST(ArchiveStatusText, NamesEveryStatus) {
    std::vector<std::string> texts;
    for (ArchiveStatus status :
         {kArchiveOk, kArchiveHeaderPastEnd, kArchiveNameSizeBad, kArchiveNamePastEnd,
          kArchiveDataPastEnd, kArchiveNameHasNul, kArchiveNameUnsafe}) {
        std::string text = ArchiveStatusText(status);
        EXPECT_FALSE(text.empty());
        for (const std::string& earlier : texts) EXPECT_NE(text, earlier);
        texts.push_back(text);
    }
}

}  // namespace
