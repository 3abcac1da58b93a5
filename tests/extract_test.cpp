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
#include "support/errors.h"
#include "support/log.h"
#include "support/text.h"
#include "tests/harness.h"

namespace {

const std::wstring kLog = WorkPath(L"KSExtractorLog.txt");
const std::wstring kOut = WorkPath(L"out");

std::wstring Line(const std::wstring& text) {
    return text + L"\r\n";
}

std::wstring Unarchiving(const std::wstring& name, size_t size) {
    return Line(L"Unarchiving file \"" + kOut + L"\\" + name + L"\", zippedSize=" +
                std::to_wstring(size));
}

// Runs ExtractFiles over archive bytes (trailer included); -2 when it threw.
int Extract(const std::string& archive, const std::wstring& folder = kOut) {
    CreateDirectoryW(folder.c_str(), nullptr);
    try {
        return ExtractFiles(reinterpret_cast<const unsigned char*>(archive.data()), folder.c_str(),
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
    CreateLog(WorkFolder().c_str());
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
    ExpectBoxes(watcher.Stop(), {});

    for (const wchar_t* name : {L"zlib1.dll", L"Zentrova.exe", L"Licence.txt", L"Uninstall.exe",
                                L"InstallZentrova.exe", L"libeay32.dll", L"libssl32.dll"})
        EXPECT_EQ(ReadBytes(kOut + L"\\" + name), ReadBytes(DemoPath(name))) << ToBytes(name);
    EXPECT_EQ(ReadBytes(kOut + L"\\docs\\sub\\notes.txt"), licence);
    EXPECT_EQ(ReadBytes(kOut + L"\\empty.txt"), "");
    EXPECT_EQ(ReadBytes(kOut + L"\\empty-stream.txt"), "");
    EXPECT_EQ(ReadBytes(kOut + L"\\big.bin"), big);
    EXPECT_EQ(ReadBytes(kOut + L"\\dup.txt"), "second");
    EXPECT_EQ(ReadBytes(kOut + L"\\docs\\zlib1.dll"), "inflated, not stored");
    EXPECT_EQ(std::wstring(zlibPath), kOut + L"\\zlib1.dll");

    std::wstring log = ReadLog(kLog);
    std::wstring head =
        Line(kLog) + Line(L"ExtractFiles destDir=" + kOut) +
        Unarchiving(L"zlib1.dll", ReadBytes(DemoPath(L"zlib1.dll")).size()) +
        Unarchiving(L"Zentrova.exe", Compress(ReadBytes(DemoPath(L"Zentrova.exe"))).size());
    EXPECT_EQ(log.substr(0, head.size()), head);
    EXPECT_NE(log.find(Line(L"CreateDirectory " + kOut + L"\\docs") +
                       Line(L"CreateDirectory " + kOut + L"\\docs\\sub") +
                       Unarchiving(L"docs\\sub\\notes.txt", Compress(licence).size())),
              std::wstring::npos);
    EXPECT_NE(log.find(Unarchiving(L"empty-stream.txt", 0)), std::wstring::npos);
}

TEST(Extract, EmptyArchiveWritesNothing) {
    CreateLog(WorkFolder().c_str());
    EXPECT_EQ(Extract(WithTrailer("")), 0);
    EXPECT_TRUE(ListFolder(kOut).empty());
    EXPECT_EQ(ReadLog(kLog), Line(kLog) + Line(L"ExtractFiles destDir=" + kOut));
}

TEST(Extract, DamagedArchivesAreRefusedWithoutOverrun) {
    CreateLog(WorkFolder().c_str());
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
        std::string archive = WithTrailer(
            Entry(static_cast<uint32_t>(zlib.size()), 9, "zlib1.dll" + zlib) + c.entries);
        EXPECT_EQ(Extract(archive), -2) << ToBytes(c.reason);
    }
    watcher.Stop();
    std::vector<Expected> expected;
    for (const auto& c : cases)
        expected.push_back(FatalBox(std::wstring(L"Damaged installer archive: ") + c.reason));
    ExpectBoxes(watcher.Boxes(), expected);
    EXPECT_EQ(ListFolder(kOut), std::vector<std::wstring>{L"zlib1.dll"});
    EXPECT_EQ(ListFolder(WorkFolder()).size(), 3u) << "nothing beside the archive folder";
}

TEST(Extract, TargetFailuresAreFatal) {
    CreateLog(WorkFolder().c_str());
    BoxWatcher watcher;
    std::string archive = Payload().Stored("zlib1.dll", "x").Bytes();
    std::wstring deep = WorkFolder() + std::wstring(235, L'd');
    CreateDirectoryW(deep.c_str(), nullptr);
    EXPECT_EQ(
        Extract(Payload().Stored("zlib1.dll", "x").Stored("abcdefghijklmnopqrst", "y").Bytes(),
                deep),
        -2);
    try {
        ExtractFiles(reinterpret_cast<const unsigned char*>(archive.data()),
                     WorkPath(L"absent").c_str(), static_cast<int32_t>(archive.size() - 4));
        ADD_FAILURE() << "no throw";
    } catch (CException* caught) {
        EXPECT_EQ(caught->code, 3);
    }
    WriteBytes(WorkPath(L"out-file"), "in the way");
    std::wstring work = WorkFolder();
    work.pop_back();  // a folder as the program names it, without "\\"
    EXPECT_EQ(Extract(Payload().Compressed("out-file\\x.txt", "x").Bytes(), work), -2);
    watcher.Stop();
    const std::wstring tooLong =
        (deep + L"\\abcdefghijklmnopqrst").substr(0, kExtractPathUnits - 1);
    // A file in the way of a folder shows where the file cannot be made.
    ExpectBoxes(watcher.Boxes(),
                {FatalBox(L"Target path too long " + tooLong + L" Error=-1"),
                 FatalBox(L"Error creating target file " + WorkPath(L"absent\\zlib1.dll Error=3")),
                 FatalBox(L"Error creating target file " + WorkPath(L"out-file\\x.txt Error=3"))});
    EXPECT_EQ(ReadBytes(deep + L"\\zlib1.dll"), "x") << "entries before the failure stay";
}

TEST(Inflate, DamagedStreamsEndTheRun) {
    CreateLog(WorkFolder().c_str());
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
    ExpectBoxes(watcher.Stop(), std::vector<Expected>(4, ErrorBox(L"Error in unzip inflate 101")));
    EXPECT_EQ(ReadBytes(kOut + L"\\good.bin"), std::string(250000, 'z') + "end");
}

// Wine's own user32 already holds a builtin "zlib1.dll", which any later
// load of that name returns, so these libraries go in under other names.
TEST(Compression, LibraryWithoutAnExportFailsTheBinding) {
    CreateLog(WorkFolder().c_str());
    const std::wstring library = WorkPath(L"nogzopen.dll");
    ASSERT_TRUE(
        CopyFileW(BuildPath(L"fixtures\\nogzopen\\zlib1.dll").c_str(), library.c_str(), FALSE));
    CopyText(zlibPath, kPathUnits, library.c_str());
    BoxWatcher watcher;
    EXPECT_EQ(Extract(Payload().Raw("a.txt", StoredStream("a")).Bytes()), -2);
    EXPECT_EQ(Extract(Payload().Raw("b.txt", StoredStream("b")).Bytes()), -2) << "tried once only";
    ExpectBoxes(watcher.Stop(),
                {ErrorBox(L"No zip procs 100"), ErrorBox(L"Error in unzip init 101"),
                 ErrorBox(L"Error in unzip init 101")});
    EXPECT_EQ(GetModuleHandleW(library.c_str()), nullptr) << "a half-bound library is unloaded";
}

TEST(Compression, FileThatIsNotALibrary) {
    CreateLog(WorkFolder().c_str());
    const std::wstring library = WorkPath(L"text.dll");
    WriteBytes(library, "This is not a library.");
    CopyText(zlibPath, kPathUnits, library.c_str());
    BoxWatcher watcher;
    EXPECT_EQ(Extract(Payload().Raw("a.txt", StoredStream("a")).Bytes()), -2);
    ExpectBoxes(watcher.Stop(), NoZlibBoxes());
}

// A file of holes on a disk that is full (C:\\full, scripts/run-wine.sh):
// reading it through a mapping faults, as a network share or a removed
// medium may. Read as a file, it ends like any damaged library.
TEST(Compression, LibraryThatFaultsWhenMappedFailsAsDamaged) {
    CreateLog(WorkFolder().c_str());
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
    ExpectBoxes(watcher.Stop(), NoZlibBoxes());
    std::wstring log = ReadLog(WorkPath(L"KSExtractorLog.txt"));
    EXPECT_NE(log.find(L"\r\nDamaged file, not loaded: C:\\full\\zlib-holes.dll\r\nNo zip 100\r\n"),
              std::wstring::npos)
        << ToBytes(log);
}

TEST(Compression, NotALibraryAndLibraryTooLate) {
    CreateLog(WorkFolder().c_str());
    BoxWatcher watcher;
    // The compressed entry comes first: the library is not there yet.
    EXPECT_EQ(
        Extract(Payload().Raw("a.txt", StoredStream("a")).Stored("zlib1.dll", "text").Bytes()), -2);
    ExpectBoxes(watcher.Stop(), NoZlibBoxes());
    EXPECT_FALSE(PathExists(kOut + L"\\zlib1.dll")) << "the run stopped at the first entry";
}

namespace {

struct Ace {
    std::wstring sid;
    DWORD mask;
    int flags;
    bool operator==(const Ace& o) const {
        return sid == o.sid && mask == o.mask && flags == o.flags;
    }
};
void PrintTo(const Ace& ace, std::ostream* out) {
    *out << std::string(ace.sid.begin(), ace.sid.end()) << " mask=0x" << std::hex << ace.mask
         << " flags=0x" << ace.flags;
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
    CreateLog(WorkFolder().c_str());
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
    const std::wstring run = WorkPath(L"run");
    CreateDirectoryW(run.c_str(), nullptr);
    wchar_t folder[kExtractPathUnits] = L"";
    CopyText(folder, kExtractPathUnits, run.c_str());
    CreateArchiveFolder(folder, L"tmp");
    EXPECT_EQ(std::wstring(folder), run + L"\\tmp-1");
    std::string archive = Payload()
                              .Stored("zlib1.dll", ReadBytes(DemoPath(L"zlib1.dll")))
                              .Compressed("sub\\a.txt", "a")
                              .Bytes();
    EXPECT_EQ(Extract(archive, folder), 2);
    ExpectBoxes(watcher.Stop(), {});

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
    CreateLog(WorkFolder().c_str());
    const std::wstring real = WorkPath(L"zlib-from-payload.dll");
    ASSERT_TRUE(CopyFileW(DemoPath(L"zlib1.dll").c_str(), real.c_str(), FALSE));
    CopyText(zlibPath, kPathUnits, real.c_str());
    std::string text(300000, '\0');
    for (size_t i = 0; i < text.size(); ++i) text[i] = "Zentrova unpacks\n"[i % 17];
    BoxWatcher watcher;
    EXPECT_EQ(Extract(Payload().Compressed("a.txt", text).Compressed("b.txt", "").Bytes()), 2);
    ExpectBoxes(watcher.Stop(), {});
    EXPECT_EQ(ReadBytes(kOut + L"\\a.txt"), text);
    EXPECT_EQ(ReadBytes(kOut + L"\\b.txt"), "");

    HMODULE bound = GetModuleHandleW(real.c_str());
    ASSERT_NE(bound, nullptr) << "the copy under its own name is the library in use";
    wchar_t loadedFrom[MAX_PATH] = L"";
    GetModuleFileNameW(bound, loadedFrom, MAX_PATH);
    EXPECT_EQ(_wcsicmp(loadedFrom, real.c_str()), 0) << ToBytes(loadedFrom);
    typedef const char* (*VersionProc)();
    auto version = reinterpret_cast<VersionProc>(
        reinterpret_cast<void*>(GetProcAddress(bound, "zlibVersion")));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(std::string(version()).substr(0, 2), "1.");

    ReleaseCompression();
    EXPECT_EQ(GetModuleHandleW(real.c_str()), nullptr);
    ZStream stream = {};
    EXPECT_EQ(CallInflate(&stream, kZNoFlush), kZStreamError)
        << "nothing calls into the unloaded library";
    EXPECT_EQ(CallInflateEnd(&stream), kZStreamError);
}
