#include "support/security.h"

#include <aclapi.h>
#include <sddl.h>

#include "support/paths.h"
#include "support/text.h"

namespace {

// Owners that only administrators or the system act as.
const wchar_t* const kTrustedOwners[] = {
    L"S-1-5-32-544",                                                    // Administrators
    L"S-1-5-18",                                                        // SYSTEM
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",  // TrustedInstaller
};

// Made, its owner read and gone again within the check, before anything
// else is written to the folder.
constexpr wchar_t kOwnerProbeName[] = L"~owner-probe.tmp";

bool SidIs(PSID sid, const wchar_t* text) {
    PSID other = nullptr;
    if (!ConvertStringSidToSidW(text, &other)) return false;
    bool same = EqualSid(sid, other) != FALSE;
    LocalFree(other);
    return same;
}

// The owner of the object behind handle, in descriptor (LocalFree it).
DWORD OwnerOf(HANDLE handle, PSID* owner, PSECURITY_DESCRIPTOR* descriptor) {
    *owner = nullptr;
    *descriptor = nullptr;
    return GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner, nullptr,
                           nullptr, nullptr, descriptor);
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

bool IsAcceptedOwner(PSID owner, PSID newObjectOwner) {
    if (!owner || !IsValidSid(owner)) return false;
    for (const wchar_t* trusted : kTrustedOwners)
        if (SidIs(owner, trusted)) return true;
    return newObjectOwner && IsValidSid(newObjectOwner) && EqualSid(owner, newObjectOwner);
}

DWORD CheckFolderOwner(HANDLE folder, const wchar_t* path) {
    // FAT and the like record no owner: there is none to trust or refuse.
    DWORD flags = 0;
    if (GetVolumeInformationByHandleW(folder, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
        !(flags & FILE_PERSISTENT_ACLS))
        return 0;
    wchar_t probePath[kPathUnits];
    if (!FormatW(probePath, kPathUnits, L"%s\\%s", path, kOwnerProbeName))
        return ERROR_FILENAME_EXCED_RANGE;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = OwnerOf(folder, &owner, &descriptor);
    if (error) return error;
    HANDLE probe = CreateFileW(probePath, READ_CONTROL | DELETE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        LocalFree(descriptor);
        return error;
    }
    PSID newObjectOwner = nullptr;
    PSECURITY_DESCRIPTOR probeDescriptor = nullptr;
    error = OwnerOf(probe, &newObjectOwner, &probeDescriptor);
    CloseHandle(probe);
    if (!error && !IsAcceptedOwner(owner, newObjectOwner)) error = ERROR_INVALID_OWNER;
    LocalFree(probeDescriptor);
    LocalFree(descriptor);
    return error;
}
