// The stub and the setup program that the packer makes from it, read back
// through Windows' own resource functions: the setup program carries what
// the resource compiler and the linker put into the program linked the old
// way, and the stub all of that but the payload.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "tests/harness.h"

namespace {

constexpr WORD kPayloadLanguage = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK);

// "#id" for a number, the name itself for a string.
std::wstring KeyText(const wchar_t* key) {
    if (IS_INTRESOURCE(key)) return L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(key));
    return key;
}

const wchar_t* KeyOf(const std::wstring& text) {
    if (text[0] != L'#') return text.c_str();
    return MAKEINTRESOURCEW(std::stoi(text.substr(1)));
}

// type, name, language
using ResourceId = std::tuple<std::wstring, std::wstring, WORD>;
using Resources = std::map<ResourceId, std::string>;

struct Walk {
    HMODULE module;
    std::vector<std::wstring> types;
    std::vector<std::wstring> names;
    std::vector<WORD> languages;
};

BOOL CALLBACK OnType(HMODULE, LPWSTR type, LONG_PTR walk) {
    reinterpret_cast<Walk*>(walk)->types.push_back(KeyText(type));
    return TRUE;
}

BOOL CALLBACK OnName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR walk) {
    reinterpret_cast<Walk*>(walk)->names.push_back(KeyText(name));
    return TRUE;
}

BOOL CALLBACK OnLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR walk) {
    reinterpret_cast<Walk*>(walk)->languages.push_back(language);
    return TRUE;
}

Resources ReadResources(const std::wstring& path) {
    Resources found;
    Walk walk{LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE), {}, {}, {}};
    if (!walk.module) {
        ADD_FAILURE() << "cannot load " << ToBytes(path) << ": " << GetLastError();
        return found;
    }
    LONG_PTR context = reinterpret_cast<LONG_PTR>(&walk);
    EnumResourceTypesW(walk.module, OnType, context);
    for (const std::wstring& type : walk.types) {
        walk.names.clear();
        EnumResourceNamesW(walk.module, KeyOf(type), OnName, context);
        for (const std::wstring& name : walk.names) {
            walk.languages.clear();
            EnumResourceLanguagesW(walk.module, KeyOf(type), KeyOf(name), OnLanguage, context);
            for (WORD language : walk.languages) {
                HRSRC resource = FindResourceExW(walk.module, KeyOf(type), KeyOf(name), language);
                HGLOBAL loaded = resource ? LoadResource(walk.module, resource) : nullptr;
                const char* bytes = static_cast<const char*>(LockResource(loaded));
                EXPECT_NE(bytes, nullptr) << ToBytes(type + L"/" + name);
                if (bytes)
                    found[ResourceId(type, name, language)] =
                        std::string(bytes, SizeofResource(walk.module, resource));
            }
        }
    }
    FreeLibrary(walk.module);
    return found;
}

std::string Listed(const Resources& resources) {
    std::wstring text;
    for (const auto& resource : resources)
        text += std::get<0>(resource.first) + L"/" + std::get<1>(resource.first) + L"/" +
                std::to_wstring(std::get<2>(resource.first)) + L": " +
                std::to_wstring(resource.second.size()) + L" bytes\n";
    return std::string(text.begin(), text.end());
}

}  // namespace

TEST(Stub, SetupCarriesWhatTheLinkerWouldHavePut) {
    Resources setup = ReadResources(BuildPath(L"ZentrovaSetup.exe"));
    Resources linked = ReadResources(BuildPath(L"tests\\ZentrovaSetup-linked.exe"));
    Resources stub = ReadResources(BuildPath(L"ZentrovaSetup-stub.exe"));
    // Dialog, four icons and their group, version, manifest and payload.
    ASSERT_EQ(linked.size(), 9u) << Listed(linked);
    EXPECT_TRUE(setup == linked) << "made by the packer:\n"
                                 << Listed(setup) << "linked:\n"
                                 << Listed(linked);

    const ResourceId payload(L"#10", L"#100", kPayloadLanguage);
    ASSERT_EQ(setup.count(payload), 1u) << Listed(setup);
    EXPECT_EQ(setup[payload], ReadBytes(BuildPath(L"payload.bin")));
    setup.erase(payload);
    EXPECT_TRUE(stub == setup) << "stub:\n" << Listed(stub);
}

TEST(Stub, StartedAsItIsFindsNoInstaller) {
    SetEnv(L"ZENTROVA_SETUP_EXE", BuildPath(L"ZentrovaSetup-stub.exe").c_str());
    SetupRun run = RunSetup(WorkPath(L"stub\\"));
    EXPECT_EQ(run.exitCode, 0u);
    ExpectBoxes(run, {ErrorBox(L"Error finding installer application")});
}
