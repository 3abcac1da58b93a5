// Writing payload entries, the zlib binding and the inflater, in process.
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "extract/compression.h"
#include "extract/entries.h"
#include "extract/inflate.h"
#include "extract/run.h"
#include "support/text.h"
#include "support/errors.h"
#include "support/log.h"
#include "tests/harness.h"

namespace {

const wchar_t kLog[] = L"C:\\zt\\KSExtractorLog.txt";
const wchar_t kOut[] = L"C:\\zt\\out";

std::wstring Line(const std::wstring& text) { return text + L"\r\n"; }

std::wstring Unarchiving(const std::wstring& name, size_t size) {
    return Line(L"Unarchiving file \"" + std::wstring(kOut) + L"\\" + name +
                L"\", zippedSize=" + std::to_wstring(size));
}

// Runs ExtractFiles over archive bytes (trailer included); -2 when it threw.
int Extract(const std::string& archive, const wchar_t* folder = kOut) {
    CreateDirectoryW(folder, nullptr);
    try {
        return ExtractFiles(reinterpret_cast<const unsigned char*>(archive.data()), folder,
                            static_cast<int32_t>(archive.size() - 4));
    } catch (CException*) {
        return -2;
    }
}

std::string Entry(uint32_t fileSize, uint32_t nameSize, const std::string& rest) {
    std::string bytes;
    for (uint32_t value : {fileSize, nameSize})
        for (int i = 0; i < 4; ++i) bytes += static_cast<char>(value >> (8 * i));
    return bytes + rest;
}

std::string WithTrailer(const std::string& entries) {
    std::string bytes = entries;
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>(entries.size() >> (8 * i));
    return bytes;
}

}  // namespace

TEST(Extract, DemoPayloadIsWrittenExactly) {
    CreateLog(L"C:\\zt");
    BoxWatcher watcher;
    std::string licence = ReadBytes(DemoPath(L"Licence.txt"));
    std::string big(3 * kInflateBufferBytes + 17, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 5);
    Payload payload;
    payload.Demo()
        .Compressed("docs\\sub\\notes.txt", licence)
        .Compressed("empty.txt", "")
        .Raw("empty-stream.txt", "")
        .Compressed("big.bin", big)
        .Compressed("dup.txt", "first")
        .Compressed("dup.txt", "second")
        .Compressed("ZLIB1.DLL.txt", "not stored")
        .Compressed("docs\\zlib1.dll", "inflated, not stored");
    std::string archive = payload.Bytes();
    EXPECT_EQ(Extract(archive), 15);
    watcher.Stop();
    EXPECT_TRUE(watcher.Boxes().empty()) << ToBytes(Describe(watcher.Boxes()));

    for (const wchar_t* name : {L"zlib1.dll", L"Zentrova.exe", L"Licence.txt", L"Uninstall.exe",
                                L"InstallZentrova.exe", L"libeay32.dll", L"libssl32.dll"})
        EXPECT_EQ(ReadBytes(std::wstring(kOut) + L"\\" + name), ReadBytes(DemoPath(name)))
            << ToBytes(name);
    EXPECT_EQ(ReadBytes(L"C:\\zt\\out\\docs\\sub\\notes.txt"), licence);
    EXPECT_EQ(ReadBytes(L"C:\\zt\\out\\empty.txt"), "");
    EXPECT_EQ(ReadBytes(L"C:\\zt\\out\\empty-stream.txt"), "");
    EXPECT_EQ(ReadBytes(L"C:\\zt\\out\\big.bin"), big);
    EXPECT_EQ(ReadBytes(L"C:\\zt\\out\\dup.txt"), "second");
    EXPECT_EQ(ReadBytes(L"C:\\zt\\out\\docs\\zlib1.dll"), "inflated, not stored");
    EXPECT_STREQ(zlibPath, L"C:\\zt\\out\\zlib1.dll");

    std::wstring log = ReadLog(kLog);
    std::wstring head = Line(kLog) + Line(L"ExtractFiles destDir=C:\\zt\\out") +
                        Unarchiving(L"zlib1.dll", ReadBytes(DemoPath(L"zlib1.dll")).size()) +
                        Unarchiving(L"Zentrova.exe", Compress(ReadBytes(DemoPath(L"Zentrova.exe"))).size());
    EXPECT_EQ(log.substr(0, head.size()), head);
    EXPECT_NE(log.find(Line(L"CreateDirectory C:\\zt\\out\\docs") +
                       Line(L"CreateDirectory C:\\zt\\out\\docs\\sub") +
                       Unarchiving(L"docs\\sub\\notes.txt", Compress(licence).size())),
              std::wstring::npos);
    EXPECT_NE(log.find(Unarchiving(L"empty-stream.txt", 0)), std::wstring::npos);
}

TEST(Extract, EmptyArchiveWritesNothing) {
    CreateLog(L"C:\\zt");
    EXPECT_EQ(Extract(WithTrailer("")), 0);
    EXPECT_TRUE(ListFolder(kOut).empty());
    EXPECT_EQ(ReadLog(kLog), Line(kLog) + Line(L"ExtractFiles destDir=C:\\zt\\out"));
}

TEST(Extract, DamagedArchivesAreRefusedWithoutOverrun) {
    CreateLog(L"C:\\zt");
    const std::string zlib = "MZ fake library";
    const struct {
        std::string entries;
        const wchar_t* reason;
    } cases[] = {
        {Entry(4, 3, "abc"), L"entry data runs past the end"},
        {Entry(0, 300, std::string(300, 'a')), L"entry name length out of range"},
        {Entry(0, 0, ""), L"entry name length out of range"},
        {Entry(0, 20, "short"), L"entry name runs past the end"},
        {Entry(0x7FFFFFFF, 1, "a"), L"entry data runs past the end"},
        {Entry(0xFFFFFFFF, 1, "a"), L"entry data runs past the end"},
        {Entry(0, 3, std::string("a\0b", 3)), L"entry name holds a 0 byte"},
        {std::string("\x01\x02\x03", 3), L"entry header runs past the end"},
        {Entry(0, 6, "..\\a.b"), L"entry name leaves the archive folder"},
        {Entry(0, 5, "\\root"), L"entry name leaves the archive folder"},
        {Entry(0, 7, "C:a.txt"), L"entry name leaves the archive folder"},
        {Entry(0, 4, "a\\\\b"), L"entry name leaves the archive folder"},
        {Entry(0, 6, "a\\..\\b"), L"entry name leaves the archive folder"},
        {Entry(0, 7, "con.txt"), L"entry name leaves the archive folder"},
        {Entry(0, 2, "a\\"), L"entry name leaves the archive folder"},
        {Entry(0, 3, "a/b"), L"entry name leaves the archive folder"},
    };
    BoxWatcher watcher;
    for (const auto& c : cases) {
        // A good stored entry first: the walk stops at the bad one behind it.
        std::string archive = WithTrailer(Entry(static_cast<uint32_t>(zlib.size()), 9,
                                                "zlib1.dll" + zlib) +
                                          c.entries);
        EXPECT_EQ(Extract(archive), -2) << ToBytes(c.reason);
    }
    watcher.Stop();
    std::vector<Box> boxes = watcher.Boxes();
    ASSERT_EQ(boxes.size(), sizeof cases / sizeof cases[0]) << ToBytes(Describe(boxes));
    for (size_t i = 0; i < boxes.size(); ++i) {
        EXPECT_EQ(boxes[i].text, std::wstring(L"Damaged installer archive: ") + cases[i].reason);
        EXPECT_EQ(boxes[i].icon, L"none");
    }
    EXPECT_EQ(ListFolder(kOut), std::vector<std::wstring>{L"zlib1.dll"});
    EXPECT_EQ(ListFolder(L"C:\\zt").size(), 3u) << "nothing beside the archive folder";
}

TEST(Extract, TargetFailuresAreFatal) {
    CreateLog(L"C:\\zt");
    BoxWatcher watcher;
    std::string archive = Payload().Stored("zlib1.dll", "x").Bytes();
    std::wstring deep = L"C:\\zt\\" + std::wstring(235, L'd');
    CreateDirectoryW(deep.c_str(), nullptr);
    EXPECT_EQ(Extract(Payload().Stored("zlib1.dll", "x").Stored("abcdefghijklmnopqrst", "y").Bytes(),
                      deep.c_str()),
              -2);
    try {
        ExtractFiles(reinterpret_cast<const unsigned char*>(archive.data()), L"C:\\zt\\absent",
                     static_cast<int32_t>(archive.size() - 4));
        ADD_FAILURE() << "no throw";
    } catch (CException* caught) {
        EXPECT_EQ(caught->code, 3);
    }
    WriteBytes(L"C:\\zt\\out-file", "in the way");
    EXPECT_EQ(Extract(Payload().Compressed("out-file\\x.txt", "x").Bytes(), L"C:\\zt"), -2);
    watcher.Stop();
    std::vector<Box> boxes = watcher.Boxes();
    ASSERT_EQ(boxes.size(), 3u) << ToBytes(Describe(boxes));
    EXPECT_EQ(boxes[0].text,
              L"Target path too long " + (deep + L"\\abcdefghijklmnopqrst").substr(0, kExtractPathUnits - 1) +
                  L" Error=-1");
    EXPECT_EQ(boxes[1].text, L"Error creating target file C:\\zt\\absent\\zlib1.dll Error=3");
    // A file in the way of a folder shows where the file cannot be made.
    EXPECT_EQ(boxes[2].text, L"Error creating target file C:\\zt\\out-file\\x.txt Error=3");
    EXPECT_EQ(ReadBytes(deep + L"\\zlib1.dll"), "x") << "entries before the failure stay";
}

TEST(Inflate, DamagedStreamsEndTheRun) {
    CreateLog(L"C:\\zt");
    std::string zlib = ReadBytes(DemoPath(L"zlib1.dll"));
    std::string stream = Compress(std::string(250000, 'z') + "end");
    const std::string damaged[] = {
        stream.substr(0, stream.size() - 5),  // cut short
        stream + "extra",                     // bytes after the end of the stream
        "not a zlib stream at all",
        stream.substr(0, 2),
    };
    BoxWatcher watcher;
    // A file being written when the run ends stays open, so each gets its own name.
    int n = 0;
    for (const std::string& data : damaged) {
        std::string name = "bad" + std::to_string(++n) + ".bin";
        EXPECT_EQ(Extract(Payload().Stored("zlib1.dll", zlib).Raw(name, data).Bytes()), -2);
    }
    EXPECT_EQ(Extract(Payload().Stored("zlib1.dll", zlib).Raw("good.bin", stream).Bytes()), 2);
    watcher.Stop();
    std::vector<Box> boxes = watcher.Boxes();
    ASSERT_EQ(boxes.size(), 4u) << ToBytes(Describe(boxes));
    for (const Box& box : boxes) {
        EXPECT_EQ(box.caption, L"Error");
        EXPECT_EQ(box.text, L"Error in unzip inflate 101");
        EXPECT_EQ(box.icon, L"error");
    }
    EXPECT_EQ(ReadBytes(L"C:\\zt\\out\\good.bin"), std::string(250000, 'z') + "end");
}

// Wine's own user32 already holds a builtin "zlib1.dll", which any later
// load of that name returns, so these libraries go in under other names.
TEST(Compression, LibraryWithoutAnExportFailsTheBinding) {
    CreateLog(L"C:\\zt");
    ASSERT_TRUE(CopyFileW(BuildPath(L"fixtures\\nogzopen\\zlib1.dll").c_str(),
                          L"C:\\zt\\nogzopen.dll", FALSE));
    CopyText(zlibPath, kPathUnits, L"C:\\zt\\nogzopen.dll");
    BoxWatcher watcher;
    EXPECT_EQ(Extract(Payload().Raw("a.txt", StoredStream("a")).Bytes()), -2);
    EXPECT_EQ(Extract(Payload().Raw("b.txt", StoredStream("b")).Bytes()), -2) << "tried once only";
    watcher.Stop();
    std::vector<Box> boxes = watcher.Boxes();
    ASSERT_EQ(boxes.size(), 3u) << ToBytes(Describe(boxes));
    EXPECT_EQ(boxes[0].text, L"No zip procs 100");
    EXPECT_EQ(boxes[0].icon, L"error");
    EXPECT_EQ(boxes[1].text, L"Error in unzip init 101");
    EXPECT_EQ(boxes[2].text, L"Error in unzip init 101");
    EXPECT_EQ(GetModuleHandleW(L"C:\\zt\\nogzopen.dll"), nullptr) << "a half-bound library is unloaded";
}

TEST(Compression, FileThatIsNotALibrary) {
    CreateLog(L"C:\\zt");
    WriteBytes(L"C:\\zt\\text.dll", "This is not a library.");
    CopyText(zlibPath, kPathUnits, L"C:\\zt\\text.dll");
    BoxWatcher watcher;
    EXPECT_EQ(Extract(Payload().Raw("a.txt", StoredStream("a")).Bytes()), -2);
    watcher.Stop();
    std::vector<Box> boxes = watcher.Boxes();
    ASSERT_EQ(boxes.size(), 3u) << ToBytes(Describe(boxes));
    EXPECT_EQ(boxes[0].text, L"No zip 100");
    EXPECT_EQ(boxes[1].text, L"No zip procs 100");
    EXPECT_EQ(boxes[2].text, L"Error in unzip init 101");
}

// A file of holes on a disk that is full (C:\\full, scripts/run-wine.sh):
// reading it through a mapping faults, as a network share or a removed
// medium may. Read as a file, it ends like any damaged library.
TEST(Compression, LibraryThatFaultsWhenMappedFailsAsDamaged) {
    CreateLog(L"C:\\zt");
    const wchar_t kHoles[] = L"C:\\full\\zlib-holes.dll";
    HANDLE file = CreateFileW(kHoles, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end;
    end.QuadPart = 1 << 20;
    ASSERT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file));
    CloseHandle(file);
    // Fills the disk: the write stops short when it is full.
    HANDLE filler =
        CreateFileW(L"C:\\full\\filler", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    std::string bytes(4 << 20, 'f');
    DWORD written = 0;
    WriteFile(filler, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(filler);
    ULARGE_INTEGER available = {};
    ASSERT_TRUE(GetDiskFreeSpaceExW(L"C:\\full\\", &available, nullptr, nullptr));
    ASSERT_LT(available.QuadPart, 4096u) << "the disk must be full";
    CopyText(zlibPath, kPathUnits, kHoles);
    BoxWatcher watcher;
    EXPECT_EQ(Extract(Payload().Raw("a.txt", StoredStream("a")).Bytes()), -2);
    watcher.Stop();
    std::vector<Box> boxes = watcher.Boxes();
    ASSERT_EQ(boxes.size(), 3u) << ToBytes(Describe(boxes));
    EXPECT_EQ(boxes[0].text, L"No zip 100");
    EXPECT_EQ(boxes[1].text, L"No zip procs 100");
    EXPECT_EQ(boxes[2].text, L"Error in unzip init 101");
    std::wstring log = ReadLog(L"C:\\zt\\KSExtractorLog.txt");
    EXPECT_NE(log.find(L"\r\nDamaged file, not loaded: C:\\full\\zlib-holes.dll\r\nNo zip 100\r\n"),
              std::wstring::npos)
        << ToBytes(log);
}

TEST(Compression, NotALibraryAndLibraryTooLate) {
    CreateLog(L"C:\\zt");
    BoxWatcher watcher;
    // The compressed entry comes first: the library is not there yet.
    EXPECT_EQ(Extract(Payload().Raw("a.txt", StoredStream("a")).Stored("zlib1.dll", "text").Bytes()), -2);
    watcher.Stop();
    std::vector<Box> boxes = watcher.Boxes();
    ASSERT_EQ(boxes.size(), 3u) << ToBytes(Describe(boxes));
    EXPECT_EQ(boxes[0].text, L"No zip 100");
    EXPECT_EQ(boxes[0].icon, L"error");
    EXPECT_EQ(boxes[1].text, L"No zip procs 100");
    EXPECT_EQ(boxes[2].text, L"Error in unzip init 101");
    EXPECT_FALSE(PathExists(L"C:\\zt\\out\\zlib1.dll")) << "the run stopped at the first entry";
}

namespace {

struct Ace {
    std::wstring sid;
    DWORD mask;
    int flags;
    bool operator==(const Ace& o) const { return sid == o.sid && mask == o.mask && flags == o.flags; }
};
void PrintTo(const Ace& ace, std::ostream* out) {
    *out << std::string(ace.sid.begin(), ace.sid.end()) << " mask=0x" << std::hex << ace.mask << " flags=0x" << ace.flags;
}

std::vector<Ace> AllowedEntries(PSECURITY_DESCRIPTOR descriptor, bool* isProtected) {
    std::vector<Ace> aces;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    *isProtected = (control & SE_DACL_PROTECTED) != 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) break;
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        wchar_t* sid = nullptr;
        ConvertSidToStringSidW(&ace->SidStart, &sid);
        aces.push_back({sid ? sid : L"?", ace->Mask, ace->Header.AceFlags});
        LocalFree(sid);
    }
    return aces;
}

std::vector<Ace> AllowedEntries(const std::wstring& path, bool* isProtected) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                        nullptr, nullptr, nullptr, nullptr, &descriptor);
    EXPECT_EQ(error, 0u) << ToBytes(path);
    if (error) return {};
    std::vector<Ace> aces = AllowedEntries(descriptor, isProtected);
    LocalFree(descriptor);
    return aces;
}

}  // namespace

// Elevated, the program loads zlib1.dll from the archive folder and starts
// the installer from it: only SYSTEM and Administrators may change it.
TEST(Extract, ArchiveFolderIsProtected) {
    CreateLog(L"C:\\zt");
    const int inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    const std::vector<Ace> expected = {
        {L"S-1-5-18", FILE_ALL_ACCESS, inherit},
        {L"S-1-5-32-544", FILE_ALL_ACCESS, inherit},
        {L"S-1-1-0", FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, inherit}};
    bool isProtected = false;
    {
        ArchiveFolderSecurity security;
        ASSERT_NE(security.Attributes(), nullptr) << "the tests run as an administrator";
        EXPECT_EQ(AllowedEntries(security.Attributes()->lpSecurityDescriptor, &isProtected),
                  expected);
        EXPECT_TRUE(isProtected);
    }

    BoxWatcher watcher;
    CreateDirectoryW(L"C:\\zt\\run", nullptr);
    wchar_t folder[kExtractPathUnits] = L"C:\\zt\\run";
    CreateArchiveFolder(folder, L"tmp");
    EXPECT_STREQ(folder, L"C:\\zt\\run\\tmp-1");
    std::string archive = Payload()
                              .Stored("zlib1.dll", ReadBytes(DemoPath(L"zlib1.dll")))
                              .Compressed("sub\\a.txt", "a")
                              .Bytes();
    EXPECT_EQ(Extract(archive, folder), 2);
    watcher.Stop();
    EXPECT_TRUE(watcher.Boxes().empty()) << ToBytes(Describe(watcher.Boxes()));

    // Wine keeps no security descriptors: it answers with one made from the
    // unix file mode. Where they are kept, the folder's must be the above
    // and everything inside must inherit it.
    std::vector<Ace> got = AllowedEntries(folder, &isProtected);
    if (!isProtected) {
        std::printf("archive folder's descriptor not kept here, as under Wine\n");
        return;
    }
    EXPECT_EQ(got, expected);
    for (const wchar_t* inside : {L"\\zlib1.dll", L"\\sub", L"\\sub\\a.txt"}) {
        got = AllowedEntries(folder + std::wstring(inside), &isProtected);
        ASSERT_EQ(got.size(), expected.size()) << ToBytes(inside);
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].sid, expected[i].sid);
            EXPECT_EQ(got[i].mask, expected[i].mask);
            EXPECT_TRUE(got[i].flags & INHERITED_ACE) << ToBytes(inside);
        }
    }
}

// Debian's Wine answers any load of a file named zlib1.dll with its own
// builtin; under another name the payload's real library is what binds.
TEST(Compression, PayloadsOwnLibraryBindsAndIsReleased) {
    CreateLog(L"C:\\zt");
    const wchar_t kReal[] = L"C:\\zt\\zlib-from-payload.dll";
    ASSERT_TRUE(CopyFileW(DemoPath(L"zlib1.dll").c_str(), kReal, FALSE));
    CopyText(zlibPath, kPathUnits, kReal);
    std::string text(300000, '\0');
    for (size_t i = 0; i < text.size(); ++i) text[i] = "Zentrova unpacks\n"[i % 17];
    BoxWatcher watcher;
    EXPECT_EQ(Extract(Payload().Compressed("a.txt", text).Compressed("b.txt", "").Bytes()), 2);
    watcher.Stop();
    EXPECT_EQ(Describe(watcher.Boxes()), L"");
    EXPECT_EQ(ReadBytes(std::wstring(kOut) + L"\\a.txt"), text);
    EXPECT_EQ(ReadBytes(std::wstring(kOut) + L"\\b.txt"), "");

    HMODULE bound = GetModuleHandleW(kReal);
    ASSERT_NE(bound, nullptr) << "the copy under its own name is the library in use";
    wchar_t loadedFrom[MAX_PATH] = L"";
    GetModuleFileNameW(bound, loadedFrom, MAX_PATH);
    EXPECT_EQ(_wcsicmp(loadedFrom, kReal), 0) << ToBytes(loadedFrom);
    typedef const char* (*VersionProc)();
    auto version = reinterpret_cast<VersionProc>(
        reinterpret_cast<void*>(GetProcAddress(bound, "zlibVersion")));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(std::string(version()).substr(0, 2), "1.");

    ReleaseCompression();
    EXPECT_EQ(GetModuleHandleW(kReal), nullptr);
    ZStream stream = {};
    EXPECT_EQ(CallInflate(&stream, kZNoFlush), kZStreamError)
        << "nothing calls into the unloaded library";
    EXPECT_EQ(CallInflateEnd(&stream), kZStreamError);
}
