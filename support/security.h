// Who may change the folders the elevated program works in. They sit where
// an unelevated process of the user may create things first, so a folder
// is trusted only when its owner gives that process nothing.
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

// Administrators, SYSTEM, TrustedInstaller, or the owner that this process
// gives new objects.
bool IsAcceptedOwner(PSID owner, PSID newObjectOwner);
// 0 when the folder held by handle, at path, has an accepted owner, or is
// on a file system that records none; else the system error code that
// refuses it. The owner of new objects is read
// off a file made in it for the purpose, since file systems differ in
// what they record.
DWORD CheckFolderOwner(HANDLE folder, const wchar_t* path);
