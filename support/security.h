// Who may change the folders the elevated program works in. They sit where
// an unelevated process of the user may create things first, so a folder
// that this run did not make is trusted only when nobody but the system
// and administrators may change it.
#pragma once
#include <windows.h>

// Protected; SYSTEM and Administrators full control, the others read and
// execute; inherited by everything inside. Owned by Administrators, so that
// owner rights give an unelevated user nothing.
constexpr wchar_t kArchiveFolderSddl[] =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;WD)";
constexpr wchar_t kBasicInstallSddl[] =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";

bool RunsAsAdministrator();
// Elevated, everything this process creates is owned by Administrators
// rather than, under some policies, by the user, who as its owner could
// change its permissions. Nothing happens unelevated or where the system
// refuses.
void UseAdministratorsAsOwner();

// The attributes that create a folder with sddl; none (default security)
// without administrator rights, which the descriptor would shut out.
class ProtectedSecurity {
   public:
    explicit ProtectedSecurity(const wchar_t* sddl);
    ~ProtectedSecurity();
    ProtectedSecurity(const ProtectedSecurity&) = delete;
    ProtectedSecurity& operator=(const ProtectedSecurity&) = delete;
    // 0, or the system error code when the descriptor could not be built.
    DWORD Error() const { return error_; }
    SECURITY_ATTRIBUTES* Attributes();

   private:
    SECURITY_ATTRIBUTES attributes_;
    DWORD error_ = 0;
};

// Administrators, SYSTEM, TrustedInstaller, or user (the one running an
// unelevated run; null when elevated, since an elevated run's user is also
// the unelevated processes' one).
bool IsTrustedSid(PSID sid, PSID user);
// 0 when only trusted SIDs own descriptor and may write, delete, change
// the permissions of or take over what it guards, inside included;
// ERROR_ACCESS_DENIED when others may, ERROR_INVALID_OWNER for another
// owner.
DWORD CheckProtection(PSECURITY_DESCRIPTOR descriptor, PSID user);
// CheckProtection of the folder behind handle, for this run: 0, or the
// system error code that refuses it.
DWORD CheckFolderProtection(HANDLE folder);
