// Taking ownership of a file and replacing its access list, so that a file
// even its owner may not delete can be deleted.
#include <windows.h>
#include <aclapi.h>

#include "console.h"
#include "security_streams.h"
#include "system_facts.h"
#include "text_format.h"

int TakeOwnership(const wchar_t* path) {
    PSID everyone = nullptr, admins = nullptr;
    PACL acl = nullptr;
    HANDLE token = nullptr;
    int result = 0;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    wchar_t* name = const_cast<wchar_t*>(path);
    do {
        if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) {
            Print("AllocateAndInitializeSid (Everyone) error %s\n", LastErrorName());
            break;
        }
        if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                      &admins)) {
            Print("AllocateAndInitializeSid (Admin) error %s\n", LastErrorName());
            break;
        }
        EXPLICIT_ACCESSW access[2] = {};
        access[0].grfAccessPermissions = GENERIC_READ;
        access[0].grfAccessMode = SET_ACCESS;
        access[0].grfInheritance = NO_INHERITANCE;
        access[0].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        access[0].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        access[0].Trustee.ptstrName = static_cast<LPWSTR>(everyone);
        access[1].grfAccessPermissions = GENERIC_ALL;
        access[1].grfAccessMode = SET_ACCESS;
        access[1].grfInheritance = NO_INHERITANCE;
        access[1].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        access[1].Trustee.TrusteeType = TRUSTEE_IS_GROUP;
        access[1].Trustee.ptstrName = static_cast<LPWSTR>(admins);
        if (SetEntriesInAclW(2, access, nullptr, &acl) != ERROR_SUCCESS) {
            Print("Failed SetEntriesInAcl\n");
            break;
        }
        DWORD error = SetNamedSecurityInfoW(name, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, acl,
                                            nullptr);
        if (error == ERROR_SUCCESS) {
            result = 1;
            break;
        }
        if (error != ERROR_ACCESS_DENIED) {
            Print("First SetNamedSecurityInfo call failed: %s\n", ErrorName(error));
            break;
        }
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
            Print("OpenProcessToken failed: %s\n", LastErrorName());
            token = nullptr;
            break;
        }
        if (!SetPrivilege(token, L"SeTakeOwnershipPrivilege", 1)) {
            Print("You must be logged on as Administrator.\n");
            break;
        }
        error = SetNamedSecurityInfoW(name, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, admins, nullptr, nullptr,
                                      nullptr);
        if (error != ERROR_SUCCESS) {
            Print("Could not set owner. Error: %s\n", ErrorName(error));
            SetPrivilege(token, L"SeTakeOwnershipPrivilege", 0);
            break;
        }
        if (!SetPrivilege(token, L"SeTakeOwnershipPrivilege", 0)) {
            Print("Failed SetPrivilege call unexpectedly.\n");
            break;
        }
        error = SetNamedSecurityInfoW(name, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, acl,
                                      nullptr);
        if (error == ERROR_SUCCESS) {
            Print("Successfully changed DACL\n");
            result = 1;
        } else {
            Print("Second SetNamedSecurityInfo call failed: %s\n", ErrorName(error));
        }
    } while (false);
    if (everyone) FreeSid(everyone);
    if (admins) FreeSid(admins);
    if (acl) LocalFree(acl);
    if (token) CloseHandle(token);
    return result;
}
