// Error boxes, fatal reports, the extraction log and the path utilities,
// each test in a fresh process so that the once-per-run state is fresh.
#include <windows.h>

#include <sddl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

#include "support/errors.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/security.h"
#include "support/text.h"
#include "tests/harness.h"

namespace {

const std::wstring kLog = WorkPath(L"KSExtractorLog.txt");

std::wstring Line(const std::wstring& text) {
    return text + L"\r\n";
}

// The log, as read while a box is open, proves that the text was logged first.
void RecordLog(const Box&, void* context) {
    *static_cast<std::wstring*>(context) = ReadLog(kLog);
}

}  // namespace

TEST(Errors, BoxesAreLoggedFirstAndSetTheFlag) {
    CreateLog(WorkFolder().c_str());
    std::wstring logAtFirstBox;
    BoxWatcher watcher;
    watcher.onBox = RecordLog;
    watcher.context = &logAtFirstBox;
    EXPECT_FALSE(ErrorWasShown());
    ShowErrorW(L"Wide \x20AC text");
    watcher.onBox = nullptr;
    EXPECT_TRUE(ErrorWasShown());
    ShowErrorA("Narrow text");
    ShowSystemErrorA("%s %d", "No zip", 100);
    ShowSystemErrorW(L"Error creating log file %s %d", L"C:\\x\\KSExtractorLog.txt", 112);
    ShowSystemErrorW(L"Error copying application %s %d", L"C:\\Zentrova\\Zentrova.exe", 32);
    ShowSystemErrorW(L"Error copying application %s %d", L"C:\\Zentrova\\Zentrova.exe", 5);
    ShowErrorFmtW(L"Could not open file \"%s\"", L"C:\\a.txt");
    watcher.Stop();

    const wchar_t* texts[] = {
        L"Wide \x20AC text",
        L"Narrow text",
        L"No zip 100",
        L"Error creating log file C:\\x\\KSExtractorLog.txt 112, The selected disk is full",
        L"Error copying application C:\\Zentrova\\Zentrova.exe 32, Quit the application before "
        L"installing",
        L"Error copying application C:\\Zentrova\\Zentrova.exe 5",
        L"Could not open file \"C:\\a.txt\"",
    };
    std::vector<Expected> expected;
    std::wstring expectedLog = Line(kLog);
    for (const wchar_t* text : texts) {
        expected.push_back(ErrorBox(text));
        expectedLog += Line(text);
    }
    ExpectBoxes(watcher.Boxes(), expected);
    EXPECT_EQ(logAtFirstBox, Line(kLog) + Line(texts[0]));
    EXPECT_EQ(ReadLog(kLog), expectedLog);
    CloseAndDeleteLog();
    EXPECT_TRUE(PathExists(kLog)) << "an error box keeps the log";
}

TEST(Errors, FatalReportsThrowTheNewestException) {
    CreateLog(WorkFolder().c_str());
    BoxWatcher watcher;
    CException* first = nullptr;
    try {
        ThrowErrorText("Can't create tmp directory");
    } catch (CException* caught) {
        first = caught;
    }
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->code, -1);
    EXPECT_EQ(LastException(), first);
    CException* second = nullptr;
    try {
        ThrowErrorW(L"Error creating target file", WorkPath(L"tmp-1\\a.txt").c_str(), 5);
    } catch (CException* caught) {
        second = caught;
    }
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->code, 5);
    EXPECT_EQ(LastException(), second);
    EXPECT_THROW(ThrowErrorFmt("Damaged installer archive: %s", "name runs past the end"),
                 CException*);
    EXPECT_THROW(ThrowError("Read writing zip to dest", 112), CException*);
    int value = 1;
    CheckOrThrow(&value, "never shown");
    EXPECT_THROW(CheckOrThrow(nullptr, "Null value"), CException*);
    watcher.Stop();

    const std::wstring texts[] = {
        L"Can't create tmp directory Error=-1",
        L"Error creating target file " + WorkPath(L"tmp-1\\a.txt Error=5"),
        L"Damaged installer archive: name runs past the end",
        L"Read writing zip to dest Error=112",
        L"Null value Error=-1",
    };
    std::vector<Expected> expected;
    std::wstring expectedLog = Line(kLog);
    for (const std::wstring& text : texts) {
        expected.push_back(FatalBox(text));
        expectedLog += Line(text);
    }
    ExpectBoxes(watcher.Boxes(), expected);
    EXPECT_EQ(ReadLog(kLog), expectedLog);
    EXPECT_FALSE(ErrorWasShown()) << "fatal reports leave the flag alone";
}

TEST(Errors, LongMessagesAreCutNotOverrun) {
    CreateLog(WorkFolder().c_str());
    BoxWatcher watcher;
    std::wstring longPath(2000, L'p');
    ShowErrorFmtW(L"Could not open file \"%s\"", longPath.c_str());
    ShowSystemErrorW(L"Error copying application %s %d", longPath.c_str(), 32);
    std::string longText(1500, 'n');
    EXPECT_THROW(ThrowError(longText.c_str(), 7), CException*);
    watcher.Stop();
    // The message fills the buffer, so no note follows it.
    ExpectBoxes(
        watcher.Boxes(),
        {ErrorBox((L"Could not open file \"" + longPath).substr(0, kErrorFmtUnits - 1)),
         ErrorBox((L"Error copying application " + longPath).substr(0, kSystemErrorUnits - 1)),
         FatalBox(std::wstring(kFatalMessageUnits - 1, L'n'))});
    wchar_t small[8];
    EXPECT_FALSE(FormatW(small, 8, L"%s-%d", L"abcdef", 12));
    EXPECT_EQ(std::wstring(small), L"abcdef-");
    EXPECT_TRUE(FormatW(small, 8, L"%s-%d", L"ab", 12));
    EXPECT_EQ(std::wstring(small), L"ab-12");
}

TEST(Log, BytesOfEachKindOfLine) {
    WriteBytes(kLog, std::string(5000, 'x'));  // an old log is truncated
    CreateLog(WorkFolder().c_str());
    std::string start = ReadBytes(kLog);
    EXPECT_EQ(start, std::string("\xFF\xFE", 2) + ToBytes(Line(kLog)));
    LogLineW(L"Hello");
    EXPECT_EQ(ReadBytes(kLog).size(), start.size() + 14);
    LogLineW(L"ends in LF\n");
    LogLineW(L"");
    LogLineA("Do basic install");
    LogLineA("\xE9");
    LogFormatW(L"Path=\"%s\" archiveDir=\"%s\"", L"C:\\a\\setup.exe", L"C:\\a\\tmp-1");
    LogFormatW(L"Unarchiving file \"%s\", zippedSize=%d", L"Zentrova.exe", 1055413);
    LogLineW(std::wstring(3000, L'w').c_str());  // longer than one write's buffer
    CreateLog(L"C:\\elsewhere");                 // a second call does nothing
    EXPECT_EQ(ReadLog(kLog), Line(kLog) + Line(L"Hello") + L"ends in LF\n" + Line(L"") +
                                 Line(L"Do basic install") + Line(L"\xFFE9") +
                                 Line(L"Path=\"C:\\a\\setup.exe\" archiveDir=\"C:\\a\\tmp-1\"") +
                                 Line(L"Unarchiving file \"Zentrova.exe\", zippedSize=1055413") +
                                 Line(std::wstring(3000, L'w')));
    EXPECT_FALSE(PathExists(L"C:\\elsewhere\\KSExtractorLog.txt"));
    CloseAndDeleteLog();
    EXPECT_FALSE(PathExists(kLog)) << "no error box: the log goes";
}

TEST(Log, LineBeforeTheLogShowsNoLogFileOnce) {
    BoxWatcher watcher;
    LogLineW(L"first");
    LogLineA("second");
    ShowErrorA("After");
    CreateLog(WorkFolder().c_str());
    ExpectBoxes(watcher.Stop(), {ErrorBox(L"No log file"), ErrorBox(L"After")});
    EXPECT_FALSE(PathExists(kLog));
}

TEST(Log, CreateFailuresAreShownWithTheirCode) {
    HANDLE holder = CreateFileW(kLog.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    BoxWatcher watcher;
    CreateLog(WorkFolder().c_str());
    LogLineW(L"dropped");
    watcher.Stop();
    CloseHandle(holder);
    ExpectBoxes(watcher.Boxes(), {ErrorBox(L"Error creating log file " + kLog +
                                           L" 32, Quit the application before installing")});
    EXPECT_EQ(ReadBytes(kLog), "");
    CloseAndDeleteLog();
    EXPECT_TRUE(PathExists(kLog));
}

TEST(Log, FolderTooLongForThePathIsRefused) {
    std::wstring folder = L"C:\\" + std::wstring(250, L'f');
    BoxWatcher watcher;
    CreateLog(folder.c_str());
    watcher.Stop();
    std::wstring cut = (folder + L"\\KSExtractorLog.txt").substr(0, kLogPathUnits - 1);
    ExpectBoxes(watcher.Boxes(), {ErrorBox(L"Error creating log file " + cut + L" 206")});
    EXPECT_FALSE(PathExists(cut));
}

TEST(Paths, BackslashAndFolderEdges) {
    wchar_t path[kPathUnits] = L"";
    AddBackslash(path, kPathUnits);
    EXPECT_STREQ(path, L"") << "an empty path gets no backslash";
    CopyText(path, kPathUnits, L"C:\\a");
    AddBackslash(path, kPathUnits);
    EXPECT_STREQ(path, L"C:\\a\\");
    AddBackslash(path, kPathUnits);
    EXPECT_STREQ(path, L"C:\\a\\");
    std::wstring full(kPathUnits - 1, L'x');
    CopyText(path, kPathUnits, full.c_str());
    AddBackslash(path, kPathUnits);
    EXPECT_EQ(std::wstring(path), full) << "a full buffer stays as it is";

    CopyText(path, kPathUnits, L"C:\\setup.exe");
    StripToFolder(path);
    EXPECT_STREQ(path, L"C:");
    AddBackslash(path, kPathUnits);
    EXPECT_STREQ(path, L"C:\\");
    CopyText(path, kPathUnits, L"\\only");
    StripToFolder(path);
    EXPECT_STREQ(path, L"\\only");
    CopyText(path, kPathUnits, L"C:\\a\\b\\c.exe");
    StripToFolder(path);
    EXPECT_STREQ(path, L"C:\\a\\b");

    for (const wchar_t* absolute :
         {L"C:\\", L"z:\\a\\b", L"\\\\server\\share", L"\\\\server\\share\\dir"})
        EXPECT_TRUE(IsAbsolutePath(absolute)) << ToBytes(absolute);
    for (const wchar_t* relative :
         {L"", L"a", L"C:", L"C:a", L"C:/a", L"1:\\a", L"\\a", L"\\\\", L"\\\\server",
          L"\\\\server\\", L"\\\\\\share", L"\\\\.\\C:\\a", L"\\\\?\\C:\\a"})
        EXPECT_FALSE(IsAbsolutePath(relative)) << ToBytes(relative);

    WidenName(path, kPathUnits, "");
    EXPECT_STREQ(path, L"");
    WidenName(path, 4, "a\x80\xFFz");
    EXPECT_STREQ(path, L"a\xFF80\xFFFF");
}

TEST(Paths, FileExistsMeansExclusiveOpen) {
    const std::wstring folder = WorkPath(L"folder"), file = WorkPath(L"file.txt");
    CreateDirectoryW(folder.c_str(), nullptr);
    WriteBytes(file, "x");
    EXPECT_TRUE(FileExists(file.c_str()));
    EXPECT_FALSE(FileExists(folder.c_str()));
    EXPECT_FALSE(FileExists(WorkPath(L"missing.txt").c_str()));
    HANDLE reader = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    EXPECT_FALSE(FileExists(file.c_str())) << "held open by someone else";
    BoxWatcher watcher;
    wchar_t* contents = ReadFileContents(file.c_str());
    watcher.Stop();
    CloseHandle(reader);
    ASSERT_NE(contents, nullptr) << "a shared reader does not stop the read";
    EXPECT_EQ(reinterpret_cast<char*>(contents)[0], 'x');
    FreeFileContents(contents);
    ExpectBoxes(watcher.Boxes(), {});
}

TEST(Paths, ReadFileContentsResultsAndFailures) {
    CreateLog(WorkFolder().c_str());
    const std::wstring missing = WorkPath(L"missing.txt");
    WriteBytes(WorkPath(L"six.bin"), std::string("a\0b\0c\0", 6));
    WriteBytes(WorkPath(L"odd.bin"), std::string("a\0b\0c", 5));
    WriteBytes(WorkPath(L"empty.bin"), "");
    BoxWatcher watcher;
    wchar_t* six = ReadFileContents(WorkPath(L"six.bin").c_str());
    ASSERT_NE(six, nullptr);
    EXPECT_STREQ(six, L"abc");
    FreeFileContents(six);
    wchar_t* odd = ReadFileContents(WorkPath(L"odd.bin").c_str());
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(std::wstring(odd), std::wstring(L"ab") + wchar_t(L'c')) << "ends in a full NUL";
    FreeFileContents(odd);
    EXPECT_EQ(ReadFileContents(missing.c_str()), nullptr);
    EXPECT_EQ(ReadFileContents(WorkPath(L"empty.bin").c_str()), nullptr);
    ExpectBoxes(watcher.Stop(), {ErrorBox(L"Could not open file \"" + missing + L"\""),
                                 ErrorBox(L"ReadFileContents empty")});
}

TEST(Paths, SpecialFoldersAndOwnPath) {
    struct {
        bool (*lookup)(wchar_t*);
        int csidl;
    } cases[] = {{GetDesktopFolder, CSIDL_DESKTOPDIRECTORY},
                 {GetProgramFilesFolder, CSIDL_PROGRAM_FILES},
                 {GetDocumentsFolder, CSIDL_PERSONAL}};
    for (const auto& c : cases) {
        wchar_t expected[MAX_PATH];
        ASSERT_EQ(SHGetFolderPathW(nullptr, c.csidl, nullptr, 0, expected), S_OK);
        wchar_t path[kPathUnits];
        ASSERT_TRUE(c.lookup(path));
        EXPECT_EQ(std::wstring(path), std::wstring(expected) + L"\\");
    }
    wchar_t programs[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROGRAMS, nullptr, 0, programs), S_OK);
    wchar_t path[kPathUnits];
    ASSERT_TRUE(GetProgramsMenuFolder(path, L"Zentrova"));
    EXPECT_EQ(std::wstring(path), std::wstring(programs) + L"\\Zentrova");

    wchar_t own[kExtractPathUnits];
    const std::wstring self = WorkPath(L"zentrova_tests.exe");
    EXPECT_EQ(GetOwnModulePath(own), static_cast<int>(self.size()));
    EXPECT_EQ(std::wstring(own), self);
}

namespace {

std::wstring OwnerAndAccess(const wchar_t* sddl) {
    ProtectedSecurity security(sddl);
    EXPECT_EQ(security.Error(), 0u);
    wchar_t* text = nullptr;
    if (!security.Attributes() ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(
            security.Attributes()->lpSecurityDescriptor, SDDL_REVISION_1,
            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr))
        return L"";
    std::wstring result = text;
    LocalFree(text);
    return result;
}

// CheckProtection's verdict on a descriptor, for user (null: elevated).
DWORD Verdict(const std::wstring& sddl, const wchar_t* user) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID userSid = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    if (user) ConvertStringSidToSidW(user, &userSid);
    DWORD verdict = descriptor ? CheckProtection(descriptor, userSid) : ERROR_INVALID_DATA;
    LocalFree(userSid);
    LocalFree(descriptor);
    return verdict;
}

}  // namespace

// Wine keeps no descriptors: what Windows would be given is checked here.
TEST(Security, ProtectedFoldersAndTheirOwners) {
    // Owned by Administrators; SYSTEM and Administrators full control, the
    // others read and execute, inherited by everything inside.
    EXPECT_EQ(OwnerAndAccess(kArchiveFolderSddl),
              L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)");
    EXPECT_EQ(OwnerAndAccess(kBasicInstallSddl),
              L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)");

    // A folder the run did not make is trusted only when nobody but the
    // system and administrators (and an unelevated run's own user) may
    // change it or what it passes on, owner rights included.
    const std::wstring kUser = L"S-1-5-21-1-2-3-1001";
    const std::wstring kSystemOnly = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    const std::wstring kInstaller =
        L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    const DWORD kOthers = ERROR_ACCESS_DENIED, kOwner = ERROR_INVALID_OWNER;
    const struct {
        std::wstring sddl;
        const wchar_t* user;
        DWORD verdict;
    } folders[] = {
        {kBasicInstallSddl, nullptr, 0},
        {L"O:SY" + kSystemOnly, nullptr, 0},
        {L"O:" + kInstaller + L"D:P(A;;FA;;;" + kInstaller + L")(A;;FRFX;;;BU)", nullptr, 0},
        {L"O:BA" + kSystemOnly + L"(D;;FA;;;BU)(A;OICIIO;GA;;;CO)(A;;FA;;;OW)", nullptr, 0},
        {L"O:BA" + kSystemOnly + L"(A;OICI;0x1301bf;;;AU)", nullptr, kOthers},  // made at a root
        {L"O:BA" + kSystemOnly + L"(A;OICI;FA;;;WD)", nullptr, kOthers},
        {L"O:BA" + kSystemOnly + L"(A;OICIIO;GA;;;BU)", nullptr, kOthers},
        {L"O:" + kUser + kSystemOnly, nullptr, kOwner},
        {L"O:BU" + kSystemOnly, nullptr, kOwner},
        {L"O:BA" + kSystemOnly + L"(A;OICI;FA;;;" + kUser + L")", nullptr, kOthers},
        {L"O:" + kUser + kSystemOnly + L"(A;OICI;FA;;;" + kUser + L")", kUser.c_str(), 0},
        {L"O:" + kUser + kSystemOnly + L"(A;OICI;FA;;;S-1-5-21-1-2-3-1002)", kUser.c_str(),
         kOthers},
    };
    for (const auto& folder : folders)
        EXPECT_EQ(Verdict(folder.sddl, folder.user), folder.verdict) << ToBytes(folder.sddl);
    // No list at all lets everyone in.
    SECURITY_DESCRIPTOR open;
    InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
    EXPECT_EQ(CheckProtection(&open, nullptr), kOthers);
    // Each right that changes the folder, alone.
    for (const wchar_t* right : {L"0x2", L"0x4", L"WD", L"WO", L"SD", L"DC", L"GW", L"GA", L"FW"})
        EXPECT_EQ(Verdict(L"O:BA" + kSystemOnly + L"(A;;" + right + L";;;BU)", nullptr), kOthers)
            << ToBytes(right);
}
