#include "support/security.h"

#include <aclapi.h>
#include <sddl.h>

namespace {

const wchar_t kAdministratorsSid[] = L"S-1-5-32-544";
// Only administrators or the system act as these.
const wchar_t* const kTrustedSids[] = {
    kAdministratorsSid,
    L"S-1-5-18",                                                        // SYSTEM
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",  // TrustedInstaller
};
// These stand for the owner, which is judged on its own.
const wchar_t* const kOwnerSids[] = {
    L"S-1-3-0",  // CREATOR OWNER
    L"S-1-3-4",  // OWNER RIGHTS
};

// Whatever lets its holder put, replace or remove something in the folder,
// or change who may.
constexpr ACCESS_MASK kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                        FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE |
                                        WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// A TOKEN_USER with the longest SID there can be.
constexpr DWORD kTokenUserBytes = sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE;

bool SidIs(PSID sid, const wchar_t* text) {
    PSID other = nullptr;
    if (!ConvertStringSidToSidW(text, &other)) return false;
    bool same = EqualSid(sid, other) != FALSE;
    LocalFree(other);
    return same;
}

bool IsAnyOf(PSID sid, const wchar_t* const* texts, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (SidIs(sid, texts[i])) return true;
    return false;
}

// An entry that may let someone untrusted change the folder. Denying
// entries only take rights away; one of a kind not read here counts.
bool LetsOthersChange(const ACE_HEADER* header, PSID user) {
    switch (header->AceType) {
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE: return false;
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: break;
        default: return true;
    }
    // Both allowing kinds begin alike: header, mask, SID.
    const ACCESS_ALLOWED_ACE* entry = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
    PSID sid = const_cast<DWORD*>(&entry->SidStart);
    if (!(entry->Mask & kChangingRights)) return false;
    return !IsTrustedSid(sid, user) &&
           !IsAnyOf(sid, kOwnerSids, sizeof kOwnerSids / sizeof kOwnerSids[0]);
}

}  // namespace

bool RunsAsAdministrator() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                  0, 0, 0, 0, 0, &administrators))
        return false;
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
    FreeSid(administrators);
    return member != FALSE;
}

void UseAdministratorsAsOwner() {
    if (!RunsAsAdministrator()) return;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_DEFAULT, &token)) return;
    PSID administrators = nullptr;
    if (ConvertStringSidToSidW(kAdministratorsSid, &administrators)) {
        TOKEN_OWNER owner = {administrators};
        // Refused where the system has no such setting (Wine): folders this
        // run makes name their owner themselves.
        SetTokenInformation(token, TokenOwner, &owner, sizeof owner);
        LocalFree(administrators);
    }
    CloseHandle(token);
}

ProtectedSecurity::ProtectedSecurity(const wchar_t* sddl) {
    attributes_.nLength = sizeof(attributes_);
    attributes_.bInheritHandle = FALSE;
    attributes_.lpSecurityDescriptor = nullptr;
    if (!RunsAsAdministrator()) return;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            sddl, SDDL_REVISION_1, &attributes_.lpSecurityDescriptor, nullptr))
        error_ = GetLastError();
}

ProtectedSecurity::~ProtectedSecurity() {
    LocalFree(attributes_.lpSecurityDescriptor);
}

SECURITY_ATTRIBUTES* ProtectedSecurity::Attributes() {
    return attributes_.lpSecurityDescriptor ? &attributes_ : nullptr;
}

bool IsTrustedSid(PSID sid, PSID user) {
    if (!sid || !IsValidSid(sid)) return false;
    if (IsAnyOf(sid, kTrustedSids, sizeof kTrustedSids / sizeof kTrustedSids[0])) return true;
    return user && IsValidSid(user) && EqualSid(sid, user);
}

DWORD CheckProtection(PSECURITY_DESCRIPTOR descriptor, PSID user) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return GetLastError();
    // No list at all lets everyone do everything.
    if (!present || !dacl) return ERROR_ACCESS_DENIED;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry)) return GetLastError();
        // Inherit-only entries count too: they are what the copies get.
        if (LetsOthersChange(static_cast<ACE_HEADER*>(entry), user)) return ERROR_ACCESS_DENIED;
    }
    PSID owner = nullptr;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) return GetLastError();
    return IsTrustedSid(owner, user) ? 0 : ERROR_INVALID_OWNER;
}

DWORD CheckFolderProtection(HANDLE folder) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetSecurityInfo(folder, SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, nullptr, nullptr, &descriptor);
    if (error) return error;
    // Unelevated, the user is the one this run acts for; elevated, the
    // user's other processes are whom it guards against.
    alignas(TOKEN_USER) BYTE tokenUser[kTokenUserBytes];
    PSID user = nullptr;
    HANDLE token = nullptr;
    if (!RunsAsAdministrator() && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        DWORD size = 0;
        if (GetTokenInformation(token, TokenUser, tokenUser, sizeof tokenUser, &size))
            user = reinterpret_cast<TOKEN_USER*>(tokenUser)->User.Sid;
        CloseHandle(token);
    }
    error = CheckProtection(descriptor, user);
    LocalFree(descriptor);
    return error;
}
