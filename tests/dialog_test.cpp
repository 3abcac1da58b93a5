// The progress dialog, driven for real. This test program carries the
// dialog template but no payload, so a started work sequence ends at the
// "Error finding installer application" box.
#include <objbase.h>
#include <xmllite.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/dialog.h"
#include "support/session.h"
#include "support/version.h"
#include "tests/harness.h"

namespace {

const std::wstring kLog = WorkPath(L"KSExtractorLog.txt");
const Expected kNoInstaller = ErrorBox(L"Error finding installer application");

HWND FindStatusDialog() {
    return FindStatusWindow(GetCurrentProcessId());
}

struct SessionAnswer {
    LRESULT answer = -1;
    std::wstring reason;
};

// While the first box is open, more ticks arrive; none may start the work
// again. No work runs while the box waits: the session may end.
void TickDuringBox(const Box&, void* context) {
    HWND dialog = FindStatusDialog();
    for (int i = 0; i < 5; ++i) {
        PostMessageW(dialog, WM_TIMER, 0, 0);
        Sleep(50);
    }
    if (!context) return;
    SessionAnswer* during = static_cast<SessionAnswer*>(context);
    during->answer = SendMessageW(dialog, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
    const wchar_t* reason = SessionBlockReason();
    during->reason = reason ? reason : L"(none)";
}

DWORD WINAPI CloseAtOnce(void*) {
    for (int i = 0; i < 2000; ++i) {
        HWND dialog = FindStatusDialog();
        if (dialog) {
            PostMessageW(dialog, WM_CLOSE, 0, 0);
            return 0;
        }
        Sleep(1);
    }
    return 1;
}

}  // namespace

TEST(Dialog, TicksWaitUntilVisibleThenStartOnce) {
    HWND dialog = CreateDialogParamA(GetModuleHandleW(nullptr), MAKEINTRESOURCEA(1000), nullptr,
                                     ProgressDialogProc, 0);
    ASSERT_NE(dialog, nullptr);
    char text[64] = "";
    GetDlgItemTextA(dialog, kProgressTextId, text, sizeof text);
    EXPECT_STREQ(text, "Unpacking files...");
    EXPECT_EQ(timerBusy, 0);
    ASSERT_FALSE(IsWindowVisible(dialog));
    SendMessageW(dialog, WM_TIMER, 0, 0);
    EXPECT_EQ(timerBusy, 0);
    EXPECT_FALSE(PathExists(kLog)) << "no work before the dialog is on screen";
    EXPECT_EQ(SendMessageW(dialog, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);

    ShowWindow(dialog, SW_SHOW);
    BoxWatcher watcher;
    SessionAnswer during;
    watcher.onBox = TickDuringBox;
    watcher.context = &during;
    SendMessageW(dialog, WM_TIMER, 7, 0);  // any timer id starts it
    EXPECT_EQ(timerBusy, 1);
    SendMessageW(dialog, WM_TIMER, 0, 0);
    ExpectBoxes(watcher.Stop(), {kNoInstaller});
    EXPECT_TRUE(PathExists(kLog));
    EXPECT_TRUE(PathExists(WorkPath(L"tmp-1"))) << "the archive folder stays after a failed run";
    EXPECT_FALSE(PathExists(WorkPath(L"tmp-2")));
    EXPECT_EQ(during.answer, TRUE);
    EXPECT_EQ(during.reason, L"(none)");
    EXPECT_EQ(SendMessageW(dialog, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE)
        << "the work is over";
    EXPECT_EQ(SessionBlockReason(), nullptr);
    DestroyWindow(dialog);
}

TEST(Dialog, ModalRunEndsWithZeroAfterFailedExtraction) {
    BoxWatcher watcher;
    INT_PTR result = DialogBoxParamA(GetModuleHandleW(nullptr), MAKEINTRESOURCEA(1000), nullptr,
                                     ProgressDialogProc, 0);
    watcher.Stop();
    EXPECT_EQ(result, 0);
    ExpectBoxes(watcher.Boxes(), {kNoInstaller});
    std::wstring log = ReadLog(kLog);
    EXPECT_EQ(log.substr(0, log.find(L"\r\n")), kLog);
}

TEST(Dialog, CloseBeforeTheFirstTickStartsNothing) {
    HANDLE closer = CreateThread(nullptr, 0, CloseAtOnce, nullptr, 0, nullptr);
    BoxWatcher watcher;
    INT_PTR result = DialogBoxParamA(GetModuleHandleW(nullptr), MAKEINTRESOURCEA(1000), nullptr,
                                     ProgressDialogProc, 0);
    watcher.Stop();
    WaitForSingleObject(closer, INFINITE);
    DWORD closed = 1;
    GetExitCodeThread(closer, &closed);
    CloseHandle(closer);
    EXPECT_EQ(closed, 0u);
    EXPECT_EQ(result, 2);
    EXPECT_EQ(timerBusy, 0);
    ExpectBoxes(watcher.Boxes(), {});
    EXPECT_FALSE(PathExists(kLog));
    EXPECT_FALSE(PathExists(WorkPath(L"tmp-1")));
}

namespace {

const WORD kUk = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK);
const WORD kUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

std::string Resource(HMODULE module, const wchar_t* type, int id, WORD language) {
    HRSRC found = FindResourceExW(module, type, MAKEINTRESOURCEW(id), language);
    if (!found) return {};
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(module, found)));
    return bytes ? std::string(bytes, SizeofResource(module, found)) : std::string();
}

template <typename T>
T At(const std::string& bytes, size_t offset) {
    T value{};
    if (offset + sizeof value <= bytes.size()) memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

std::wstring VersionString(const std::string& record, const wchar_t* key) {
    std::string copy = record;  // VerQueryValueW wants writable memory
    wchar_t query[64];
    _snwprintf(query, 64, L"\\StringFileInfo\\140904e4\\%ls", key);
    query[63] = 0;
    void* value = nullptr;
    UINT units = 0;
    if (!VerQueryValueW(&copy[0], query, &value, &units) || !value) return L"(none)";
    return static_cast<const wchar_t*>(value);
}

#pragma pack(push, 2)
struct IconDirEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

std::wstring Uri(IXmlReader* reader) {
    const wchar_t* text = nullptr;
    return reader->GetNamespaceUri(&text, nullptr) == S_OK && text ? text : L"";
}

std::wstring LocalName(IXmlReader* reader) {
    const wchar_t* text = nullptr;
    return reader->GetLocalName(&text, nullptr) == S_OK && text ? text : L"";
}

std::wstring Value(IXmlReader* reader) {
    const wchar_t* text = nullptr;
    return reader->GetValue(&text, nullptr) == S_OK && text ? text : L"";
}

// One line per attribute and text of an XML document, as a namespace-aware
// parser reads it: the element path in {namespace}name steps, then
// "@name=value" or "#text=value". Windows' own xmllite.dll does the parsing.
std::vector<std::wstring> XmlLines(const std::string& xml) {
    typedef HRESULT(WINAPI * CreateReader)(REFIID, void**, IMalloc*);
    std::vector<std::wstring> lines;
    HMODULE xmllite = LoadLibraryW(L"xmllite.dll");
    auto create = reinterpret_cast<CreateReader>(
        reinterpret_cast<void*>(GetProcAddress(xmllite, "CreateXmlReader")));
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, xml.size());
    IStream* stream = nullptr;
    IXmlReader* reader = nullptr;
    if (!create || !memory) {
        ADD_FAILURE() << "no XML reader";
        return lines;
    }
    memcpy(GlobalLock(memory), xml.data(), xml.size());
    GlobalUnlock(memory);
    if (FAILED(CreateStreamOnHGlobal(memory, TRUE, &stream)) ||
        FAILED(create(__uuidof(IXmlReader), reinterpret_cast<void**>(&reader), nullptr)) ||
        FAILED(reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit)) ||
        FAILED(reader->SetInput(stream))) {
        ADD_FAILURE() << "cannot start the XML reader";
        if (stream) stream->Release();
        if (reader) reader->Release();
        return lines;
    }
    std::vector<std::wstring> path;
    auto here = [&path] {
        std::wstring joined;
        for (const std::wstring& step : path) joined += L"/" + step;
        return joined;
    };
    XmlNodeType type;
    HRESULT read;
    while ((read = reader->Read(&type)) == S_OK) {
        if (type == XmlNodeType_Element) {
            path.push_back(L"{" + Uri(reader) + L"}" + LocalName(reader));
            for (HRESULT at = reader->MoveToFirstAttribute(); at == S_OK;
                 at = reader->MoveToNextAttribute()) {
                if (Uri(reader) == L"http://www.w3.org/2000/xmlns/")
                    continue;  // a namespace declaration, already in the path
                lines.push_back(here() + L"@" + LocalName(reader) + L"=" + Value(reader));
            }
            reader->MoveToElement();
            if (reader->IsEmptyElement()) path.pop_back();
        } else if (type == XmlNodeType_EndElement && !path.empty()) {
            path.pop_back();
        } else if (type == XmlNodeType_Text) {
            lines.push_back(here() + L"#text=" + Value(reader));
        }
    }
    if (FAILED(read)) ADD_FAILURE() << "not well-formed XML, error 0x" << std::hex << read;
    reader->Release();
    stream->Release();
    return lines;
}

// The values of one path ("/{ns}a/{ns}b@attribute" or "...#text"), in order.
std::vector<std::wstring> Values(const std::vector<std::wstring>& lines, const std::wstring& key) {
    std::vector<std::wstring> values;
    for (const std::wstring& line : lines)
        if (line.compare(0, key.size() + 1, key + L"=") == 0)
            values.push_back(line.substr(key.size() + 1));
    return values;
}

const std::wstring kAssembly = L"/{urn:schemas-microsoft-com:asm.v1}assembly";
const std::wstring kV3 = L"/{urn:schemas-microsoft-com:asm.v3}";
const std::wstring kCompatibility = L"/{urn:schemas-microsoft-com:compatibility.v1}";
const std::wstring kWindowsSettings = L"/{http://schemas.microsoft.com/SMI/2005/WindowsSettings}";

}  // namespace

// The built program read back as a file: the shell and the loader see these.
TEST(Resources, BuiltProgramCarriesItsRecords) {
    HMODULE program =
        LoadLibraryExW(BuildPath(L"ZentrovaSetup.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(program, nullptr);

    std::string dialog = Resource(program, RT_DIALOG, 1000, kUk);
    ASSERT_FALSE(dialog.empty());
    EXPECT_EQ(At<DWORD>(dialog, 0), 0x80C80AC0u);
    EXPECT_EQ(At<DWORD>(dialog, 4), 0u) << "no extended style";
    EXPECT_EQ(At<WORD>(dialog, 8), 1) << "one control";
    EXPECT_EQ(At<short>(dialog, 14), 268);
    EXPECT_EQ(At<short>(dialog, 16), 66);

    EXPECT_EQ(Resource(program, RT_RCDATA, 100, kUk), ReadBytes(BuildPath(L"payload.bin")));

    std::string group = Resource(program, RT_GROUP_ICON, 1, kUk);
    ASSERT_EQ(At<WORD>(group, 4), 4) << "four images";
    const int sides[] = {48, 32, 16, 0};  // 0 stands for 256
    for (int i = 0; i < 4; ++i) {
        IconDirEntry entry = At<IconDirEntry>(group, 6 + i * sizeof(IconDirEntry));
        EXPECT_EQ(entry.width, sides[i]) << i;
        EXPECT_EQ(entry.bitCount, 32) << i;
        std::string image = Resource(program, RT_ICON, entry.id, kUk);
        if (sides[i] == 0) {
            // Vista's shell and later read the large frame as PNG.
            EXPECT_EQ(image.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
            EXPECT_EQ(image.substr(16, 8), std::string("\0\0\1\0\0\0\1\0", 8)) << "256 x 256";
            continue;
        }
        EXPECT_EQ(At<DWORD>(image, 0), sizeof(BITMAPINFOHEADER)) << "an uncompressed bitmap";
        EXPECT_EQ(At<WORD>(image, 14), 32) << i;
        EXPECT_EQ(At<DWORD>(image, 16), static_cast<DWORD>(BI_RGB)) << i;
    }

    std::string version = Resource(program, RT_VERSION, 1, kUk);
    ASSERT_FALSE(version.empty());
    const std::string built = ZENTROVA_BUILD_DATE;
    EXPECT_EQ(VersionString(version, L"Built"), std::wstring(built.begin(), built.end()));
    EXPECT_EQ(VersionString(version, L"FileVersion"), L"1.2.7");
    std::string copy = version;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueW(&copy[0], L"\\", reinterpret_cast<void**>(&fixed), &size));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010002u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00070000u);
    EXPECT_EQ(fixed->dwFileOS, 0x40004u);
    DWORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(&copy[0], L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &size));
    EXPECT_EQ(*translation, 0x04E41409u);

    std::vector<std::wstring> manifest = XmlLines(Resource(program, RT_MANIFEST, 1, kUs));
    const std::wstring level = kAssembly + kV3 + L"trustInfo" + kV3 + L"security" + kV3 +
                               L"requestedPrivileges" + kV3 + L"requestedExecutionLevel";
    EXPECT_EQ(Values(manifest, level + L"@level"),
              std::vector<std::wstring>{L"requireAdministrator"});
    EXPECT_EQ(Values(manifest, level + L"@uiAccess"), std::vector<std::wstring>{L"false"});
    const std::wstring v1 = L"/{urn:schemas-microsoft-com:asm.v1}";
    EXPECT_EQ(Values(manifest, kAssembly + v1 + L"description#text"),
              std::vector<std::wstring>{L"Zentrova Installer"});
    std::wstring identity;
    for (const wchar_t* key : {L"version", L"processorArchitecture", L"name", L"type"})
        for (const std::wstring& value :
             Values(manifest, kAssembly + v1 + L"assemblyIdentity@" + key))
            identity += std::wstring(key) + L"=" + value + L" ";
#ifdef _WIN64
    const wchar_t kArchitecture[] = L"amd64";
#else
    const wchar_t kArchitecture[] = L"X86";
#endif
    EXPECT_EQ(identity, std::wstring(L"version=1.0.0.0 processorArchitecture=") + kArchitecture +
                            L" name=Zentrova type=win32 ");
    // Vista, 7, 8, 8.1 and 10/11: without them the shell takes the program for
    // a legacy one.
    const std::vector<std::wstring> kSupportedOs = {
        L"{e2011457-1546-43c5-a5fe-008deee3d3f0}", L"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
        L"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", L"{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
        L"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"};
    EXPECT_EQ(Values(manifest, kAssembly + kCompatibility + L"compatibility" + kCompatibility +
                                   L"application" + kCompatibility + L"supportedOS@Id"),
              kSupportedOs);
    EXPECT_EQ(Values(manifest, kAssembly + kV3 + L"application" + kV3 + L"windowsSettings" +
                                   kWindowsSettings + L"dpiAware#text"),
              std::vector<std::wstring>{L"true"})
        << "system DPI aware";
    EXPECT_TRUE(Resource(program, RT_MANIFEST, 1, kUk).empty());
    FreeLibrary(program);
}
