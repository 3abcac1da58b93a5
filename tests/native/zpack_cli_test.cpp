// What zpack does for a vendor beyond packing: reading back a setup program,
// its version and usage, the kit's zlib1.dll, the progress line, and the
// refusals that write nothing.
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "packer/progress.h"
#include "packer/system.h"
#include "support/version_numbers.h"
#include "tests/native/helpers.h"

namespace fs = std::filesystem;

namespace {

// A signature is a certificate table after the last section, which the
// certificate directory points at by file offset.
constexpr size_t kCertificateDirectoryEntry = 24 + 128;  // in a PE32 optional header
constexpr size_t kCertificateBytes = 64;
constexpr size_t kCertificateAlignment = 8;
constexpr size_t kPeHeaderOffset = 0x3C;
constexpr size_t kCharacteristicsOffset = 4 + 18;  // after "PE\0\0"

std::string StubPath() {
    return std::string(STUB_SEEDS) + "/i386.bin";
}

void Put32(std::string* bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<char>(value >> (8 * i));
}

uint32_t Get32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// The setup program as osslsigncode leaves it, as far as a reader sees.
std::string Signed(std::string setup) {
    setup.resize((setup.size() + kCertificateAlignment - 1) / kCertificateAlignment *
                 kCertificateAlignment);
    const size_t directory = Get32(setup, kPeHeaderOffset) + kCertificateDirectoryEntry;
    Put32(&setup, directory, static_cast<uint32_t>(setup.size()));
    Put32(&setup, directory + 4, kCertificateBytes);
    std::string certificate(kCertificateBytes, '\x5A');
    Put32(&certificate, 0, kCertificateBytes);
    return setup + certificate;
}

// A setup program some other packer made: one that runs from its medium.
std::string WithoutRunFromSwap(std::string setup) {
    const size_t characteristics = Get32(setup, kPeHeaderOffset) + kCharacteristicsOffset;
    setup[characteristics + 1] = static_cast<char>(setup[characteristics + 1] & ~0x0C);
    return setup;
}

std::set<std::string> Listing(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        names.insert(entry.path().string());
    return names;
}

// The demo-like folder every test packs: a.txt, docs/b.txt and, unless
// without, zlib1.dll.
void WritePayload(const TempFolder& folder, const std::string& dir, bool withLibrary = true) {
    folder.Write(dir + "/a.txt", "some text");
    folder.Write(dir + "/docs/b.txt", std::string(1000, 'b'));
    if (withLibrary) fs::copy_file(ZLIB_DLL_PATH, folder.path() + "/" + dir + "/zlib1.dll");
}

}  // namespace

TEST(Zpack, ListsAndVerifiesASetupProgramSignedOrNot) {
    TempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    WritePayload(folder, "payload");
    const std::string dir = folder.path();
    ASSERT_EQ(RunZpack(folder, "create-dir " + dir + "/payload.zpk " + dir + "/payload").code, 0);
    ASSERT_EQ(RunZpack(folder,
                       "create-setup " + dir + "/Setup.exe " + StubPath() + " " + dir + "/payload")
                  .code,
              0);
    folder.Write("Signed.exe", Signed(ReadText(dir + "/Setup.exe")));
    folder.Write("Other.exe", WithoutRunFromSwap(ReadText(dir + "/Setup.exe")));

    const ZpackRun list = RunZpack(folder, "list " + dir + "/payload.zpk");
    const ZpackRun verify = RunZpack(folder, "verify " + dir + "/payload.zpk");
    ASSERT_EQ(verify.out, "OK 3 entries\n");
    for (const char* program : {"/Setup.exe", "/Signed.exe"}) {
        const ZpackRun listed = RunZpack(folder, "list " + dir + program);
        EXPECT_EQ(listed.code, 0) << program << ": " << listed.err;
        EXPECT_EQ(listed.out, list.out) << program;
        const ZpackRun verified = RunZpack(folder, "verify " + dir + program);
        EXPECT_EQ(verified.code, 0) << program << ": " << verified.err;
        EXPECT_EQ(verified.out, verify.out +
                                    "runs from the page file off a share or a removable medium "
                                    "(IMAGE_FILE_NET_RUN_FROM_SWAP, "
                                    "IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP)\n")
            << program;
    }
    const ZpackRun other = RunZpack(folder, "verify " + dir + "/Other.exe");
    EXPECT_EQ(other.code, 0);
    EXPECT_EQ(other.out, verify.out);
    EXPECT_EQ(other.err, "zpack: warning: " + dir +
                             "/Other.exe: its header lacks IMAGE_FILE_NET_RUN_FROM_SWAP and "
                             "IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP: run from a share that drops or "
                             "a stick that is pulled, it dies mid-run without a word; make it "
                             "with create-setup\n");
    const ZpackRun stub = RunZpack(folder, "verify " + StubPath());
    EXPECT_EQ(stub.code, 1);
    EXPECT_EQ(stub.err, "zpack: " + StubPath() +
                            ": a program without resource 100, the payload: not a setup program\n");
}

TEST(Zpack, PrintsItsVersionAndUsage) {
    TempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    const ZpackRun version = RunZpack(folder, "--version");
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, std::string("zpack ") + ZENTROVA_VERSION_TEXT + "\n");
    const ZpackRun help = RunZpack(folder, "--help");
    EXPECT_EQ(help.code, 0);
    EXPECT_EQ(help.out.compare(0, 13, "usage: zpack "), 0) << help.out;
    EXPECT_EQ(help.err, "");
    const ZpackRun wrong = RunZpack(folder, "--bogus");
    EXPECT_EQ(wrong.code, 2);
    EXPECT_EQ(wrong.err, help.out);
}

// Each refusal is one line naming what is wrong, and nothing is written.
TEST(Zpack, RefusesInOneLineAndWritesNothing) {
    TempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    const std::string dir = folder.path();
    WritePayload(folder, "payload");
    WritePayload(folder, "accented");
    folder.Write("accented/caf\xC3\xA9.txt", "x");
    const std::string stub = folder.Write("stub.exe", ReadText(StubPath()));
    const std::string dll = ZLIB_DLL_PATH;
    const std::vector<std::pair<std::string, std::string>> refusals = {
        {"create-setup " + dir + "/Setup.exe " + stub + " " + dir + "/accented",
         dir + "/Setup.exe: entry \"caf\xC3\xA9.txt\" (from " + dir +
             "/accented/caf\xC3\xA9.txt): name holds byte 0xC3 at 3, outside printable ASCII; the "
             "program would widen each byte to one UTF-16 character and install the file under a "
             "garbled name"},
        {"create-setup " + stub + " " + stub + " " + dir + "/payload",
         stub + ": is the stub; create-setup would write the setup program over it"},
        {"create-setup " + dir + "/accented/../stub.exe " + stub + " " + dir + "/payload",
         dir + "/accented/../stub.exe: is the stub; create-setup would write the setup program "
               "over it"},
        {"create-setup " + dir + "/payload/docs/Setup.exe " + stub + " " + dir + "/payload/",
         dir + "/payload/docs/Setup.exe: lies in " + dir +
             "/payload/, the folder it packs; the next pack would carry it"},
        {"create-dir " + dir + "/./payload/p.zpk " + dir + "/payload",
         dir + "/./payload/p.zpk: lies in " + dir +
             "/payload, the folder it packs; the next pack would carry it"},
        {"create-setup " + dir + "/missing/Setup.exe " + stub + " " + dir + "/payload",
         dir + "/missing/Setup.exe: No such file or directory"},
        {"create-dir --zlib " + dll + " " + dir + "/p.zpk " + dir + "/payload",
         dir + "/payload: has its own zlib1.dll; --zlib is for a folder without one"},
    };
    const std::set<std::string> before = Listing(dir);
    for (const auto& refusal : refusals) {
        const ZpackRun run = RunZpack(folder, refusal.first);
        EXPECT_EQ(run.code, 1) << refusal.first;
        EXPECT_EQ(run.err, "zpack: " + refusal.second + "\n");
        EXPECT_EQ(Listing(dir), before) << refusal.first;
    }
    EXPECT_EQ(ReadText(stub), ReadText(StubPath()));
}

// The kit's zlib1.dll lies beside zpack; --zlib names another.
TEST(Zpack, PacksTheKitsLibraryForAFolderWithoutOne) {
    TempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    const std::string dir = folder.path();
    WritePayload(folder, "with");
    WritePayload(folder, "without", false);
    fs::create_directories(dir + "/kit");
    fs::copy_file(ZPACK_PATH, dir + "/kit/zpack");
    fs::copy_file(ZLIB_DLL_PATH, dir + "/kit/zlib1.dll");
    const std::string setup = " " + StubPath() + " ";
    ASSERT_EQ(RunZpack(folder, "create-setup " + dir + "/with.exe" + setup + dir + "/with").code,
              0);
    const std::string expected = ReadText(dir + "/with.exe");
    const std::vector<std::pair<std::string, std::string>> forms = {
        {dir + "/kit/zpack", "create-setup -q " + dir + "/beside.exe" + setup + dir + "/without"},
        {ZPACK_PATH, "create-setup --zlib " + std::string(ZLIB_DLL_PATH) + " " + dir +
                         "/given.exe" + setup + dir + "/without"},
    };
    for (const auto& form : forms) {
        const ZpackRun run = RunZpack(folder, form.second, form.first);
        EXPECT_EQ(run.code, 0) << run.err;
        EXPECT_EQ(run.err, "") << "no progress line off a terminal";
    }
    EXPECT_TRUE(ReadText(dir + "/beside.exe") == expected);
    EXPECT_TRUE(ReadText(dir + "/given.exe") == expected);
    const ZpackRun none = RunZpack(folder, "create-dir " + dir + "/n.zpk " + dir + "/without");
    EXPECT_EQ(none.code, 1);
    EXPECT_EQ(none.err, "zpack: " + dir +
                            "/without: has no zlib1.dll at its top; put the 32-bit zlib1.dll "
                            "there or beside zpack, or give --zlib PATH\n");
}

// Without STUB, create-setup takes the stub that comes with zpack, with its
// zlib1.dll: beside it in the kit, in ../share/zentrova/ once installed.
TEST(Zpack, FindsTheStubThatComesWithIt) {
    TempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    const std::string dir = folder.path();
    WritePayload(folder, "without", false);
    for (const std::string place : {"kit/", "usr/share/zentrova/"}) {
        folder.Write(place + "ZentrovaSetup-stub.exe", ReadText(StubPath()));
        folder.Write(place + "zlib1.dll", ReadText(ZLIB_DLL_PATH));
    }
    fs::create_directories(dir + "/usr/bin");
    fs::create_directories(dir + "/alone");
    for (const char* zpack : {"/kit/zpack", "/usr/bin/zpack", "/alone/zpack"})
        fs::copy_file(ZPACK_PATH, dir + zpack);
    const std::string named = "create-setup --zlib " + std::string(ZLIB_DLL_PATH) + " " + dir +
                              "/named.exe " + StubPath() + " " + dir + "/without";
    ASSERT_EQ(RunZpack(folder, named).code, 0);
    const std::string expected = ReadText(dir + "/named.exe");
    const std::string found = "create-setup " + dir + "/found.exe " + dir + "/without";
    for (const char* zpack : {"/kit/zpack", "/usr/bin/zpack"}) {
        EXPECT_EQ(RunZpack(folder, found, dir + zpack).Shown(), "0 ") << zpack;
        EXPECT_TRUE(ReadText(dir + "/found.exe") == expected) << zpack;
        fs::remove(dir + "/found.exe");
    }
    EXPECT_EQ(RunZpack(folder, found, dir + "/alone/zpack").Shown(),
              "1 zpack: no ZentrovaSetup-stub.exe beside zpack or in ../share/zentrova/ from its "
              "folder; name the stub: zpack create-setup OUT STUB DIR\n");
    EXPECT_FALSE(fs::exists(dir + "/found.exe"));
}

TEST(Progress, ShowsOneLineRedrawnInPlaceOnlyAfterASecond) {
    std::vector<PackInput> inputs(4);
    for (size_t i = 0; i < inputs.size(); ++i) inputs[i].data.assign((i + 1) << 20, 'x');
    struct Case {
        bool shown;
        std::string printed;
    };
    const std::string second = "packed 3/4 entries, 6.0/10.0 MiB, 4.0 MiB/s";
    const std::string last = "packed 4/4 entries, 10.0/10.0 MiB, 5.0 MiB/s";
    const std::vector<Case> cases = {
        {false, ""},
        {true, "\r" + second + std::string(72 - second.size(), ' ') + "\r" + last +
                   std::string(72 - last.size(), ' ') + "\n"},
    };
    for (const Case& c : cases) {
        std::FILE* out = std::tmpfile();
        ASSERT_NE(out, nullptr);
        double now = 0;
        ProgressLine line(out, c.shown, inputs, [&now] { return now; });
        now = 0.5;
        line.Packed(1);  // too soon
        now = 1.5;
        line.Packed(3);
        now = 1.6;
        line.Packed(4);  // too soon after the last; Finish shows it
        now = 2.0;
        line.Finish();
        std::string printed(static_cast<size_t>(std::ftell(out)), '\0');
        std::rewind(out);
        EXPECT_EQ(std::fread(&printed[0], 1, printed.size(), out), printed.size());
        std::fclose(out);
        EXPECT_EQ(printed, c.printed);
    }
}

// zpack shows the line only where standard error is a terminal.
TEST(Progress, TellsATerminalFromAFile) {
    int master = -1, terminal = -1;
    ASSERT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    const int saved = dup(STDERR_FILENO);
    const std::vector<std::pair<int, bool>> cases = {{terminal, true}, {fileno(file), false}};
    for (const auto& c : cases) {
        ASSERT_EQ(dup2(c.first, STDERR_FILENO), STDERR_FILENO);
        const bool isTerminal = ErrorIsTerminal();
        dup2(saved, STDERR_FILENO);
        EXPECT_EQ(isTerminal, c.second);
    }
    close(saved);
    std::fclose(file);
    close(terminal);
    close(master);
}

// An interruption while the temporary file is open leaves no trace of it.
TEST(Zpack, RemovesItsTemporaryFileWhenInterrupted) {
    TempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    for (int signal : {SIGINT, SIGTERM}) {
        const std::string temporary = folder.Write("out.tmp1", "half");
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            RemoveTemporaryFileOnInterrupt();
            HoldTemporaryFile(temporary);
            raise(signal);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_FALSE(fs::exists(temporary)) << signal;
    }
}
