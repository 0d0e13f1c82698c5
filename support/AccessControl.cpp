#include "support/AccessControl.h"

#include <stddef.h>
#include <string.h>

#include "support/Handles.h"
#include "support/SystemLibrary.h"
#include "support/WindowsVersion.h"

namespace {

// The well-known accounts, laid out as the system stores a SID (at most two sub-authorities).
struct WellKnownSid {
    BYTE Revision;
    BYTE SubAuthorityCount;
    BYTE Authority[6];
    DWORD SubAuthority[2];
};

const WellKnownSid kSystemSid = {1, 1, {0, 0, 0, 0, 0, 5}, {SECURITY_LOCAL_SYSTEM_RID, 0}};
const WellKnownSid kAdministratorsSid = {
    1, 2, {0, 0, 0, 0, 0, 5}, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};
const WellKnownSid kUsersSid = {1, 2, {0, 0, 0, 0, 0, 5}, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS}};

DWORD SidLength(const WellKnownSid& sid)
{
    return 8 + 4 * (DWORD)sid.SubAuthorityCount;
}

// True when the SID at sid (at most available bytes) is the well-known one.
bool IsSid(const BYTE* sid, DWORD available, const WellKnownSid& known)
{
    DWORD length = SidLength(known);
    return available >= length && memcmp(sid, &known, length) == 0;
}

// True when no entry of the list allows anyone but SYSTEM and Administrators. Denying entries
// and entries meant only for children grant nothing here; any other kind than a plain allowing
// entry is not understood and so not trusted.
bool ListAdmitsOnlyAdministrators(const ACL* acl)
{
    const BYTE* entry = reinterpret_cast<const BYTE*>(acl + 1);
    const BYTE* end = reinterpret_cast<const BYTE*>(acl) + acl->AclSize;
    for (WORD i = 0; i < acl->AceCount; ++i) {
        const ACE_HEADER* header = reinterpret_cast<const ACE_HEADER*>(entry);
        if (entry + sizeof(ACE_HEADER) > end || header->AceSize < sizeof(ACE_HEADER) || entry + header->AceSize > end)
            return false;
        if (header->AceType != ACCESS_DENIED_ACE_TYPE && !(header->AceFlags & INHERIT_ONLY_ACE)) {
            if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || header->AceSize < sizeof(ACCESS_ALLOWED_ACE))
                return false;
            const BYTE* sid = entry + offsetof(ACCESS_ALLOWED_ACE, SidStart);
            DWORD available = header->AceSize - offsetof(ACCESS_ALLOWED_ACE, SidStart);
            if (!IsSid(sid, available, kSystemSid) && !IsSid(sid, available, kAdministratorsSid))
                return false;
        }
        entry += header->AceSize;
    }
    return true;
}

typedef BOOL(WINAPI* InitializeAclFunction)(PACL, DWORD, DWORD);
typedef BOOL(WINAPI* AddAccessAllowedAceFunction)(PACL, DWORD, DWORD, PSID);
typedef BOOL(WINAPI* GetAceFunction)(PACL, DWORD, LPVOID*);
typedef BOOL(WINAPI* InitializeSecurityDescriptorFunction)(PSECURITY_DESCRIPTOR, DWORD);
typedef BOOL(WINAPI* SetSecurityDescriptorDaclFunction)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL);
typedef BOOL(WINAPI* SetSecurityDescriptorControlFunction)(PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL,
                                                           SECURITY_DESCRIPTOR_CONTROL);
typedef BOOL(WINAPI* GetKernelObjectSecurityFunction)(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, DWORD,
                                                      LPDWORD);
typedef BOOL(WINAPI* GetSecurityDescriptorDaclFunction)(PSECURITY_DESCRIPTOR, LPBOOL, PACL*, LPBOOL);

// Adds an allowing entry for sid and gives it the inheritance flags.
bool AddEntry(PACL acl, const WellKnownSid& sid, DWORD access, BYTE flags, AddAccessAllowedAceFunction add,
              GetAceFunction getAce)
{
    if (!add(acl, ACL_REVISION, access, (PSID)&sid))
        return false;
    void* entry = nullptr;
    if (!getAce(acl, acl->AceCount - 1, &entry))
        return false;
    static_cast<ACE_HEADER*>(entry)->AceFlags = flags;
    return true;
}

}  // namespace

SECURITY_ATTRIBUTES* MakeProtectedSecurity(ProtectedSecurity* security, DWORD fullAccess, DWORD usersAccess,
                                           bool inherit)
{
    if (!IsWindowsNTPlatform())
        return nullptr;
    HMODULE advapi = LoadSystemLibrary("advapi32.dll");
    auto initializeAcl = GetSystemFunction<InitializeAclFunction>(advapi, "InitializeAcl");
    auto add = GetSystemFunction<AddAccessAllowedAceFunction>(advapi, "AddAccessAllowedAce");
    auto getAce = GetSystemFunction<GetAceFunction>(advapi, "GetAce");
    auto initializeDescriptor =
        GetSystemFunction<InitializeSecurityDescriptorFunction>(advapi, "InitializeSecurityDescriptor");
    auto setDacl = GetSystemFunction<SetSecurityDescriptorDaclFunction>(advapi, "SetSecurityDescriptorDacl");
    // Windows 2000 and later; NT 4 never merges a parent's entries into a given list.
    auto setControl =
        GetSystemFunction<SetSecurityDescriptorControlFunction>(advapi, "SetSecurityDescriptorControl");

    PACL acl = reinterpret_cast<PACL>(security->Acl);
    DWORD entryBase = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);
    DWORD size = sizeof(ACL) + 2 * entryBase + SidLength(kSystemSid) + SidLength(kAdministratorsSid);
    if (usersAccess)
        size += entryBase + SidLength(kUsersSid);
    BYTE flags = inherit ? (BYTE)(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) : (BYTE)0;
    bool made = initializeAcl && add && getAce && initializeDescriptor && setDacl &&
                size <= sizeof(security->Acl) && initializeAcl(acl, size, ACL_REVISION) &&
                AddEntry(acl, kSystemSid, fullAccess, flags, add, getAce) &&
                AddEntry(acl, kAdministratorsSid, fullAccess, flags, add, getAce) &&
                (!usersAccess || AddEntry(acl, kUsersSid, usersAccess, flags, add, getAce)) &&
                initializeDescriptor(&security->Descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                setDacl(&security->Descriptor, TRUE, acl, FALSE) &&
                (!setControl || setControl(&security->Descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED));
    FreeLibraryIfLoaded(advapi);
    if (!made)
        return nullptr;
    security->Attributes.nLength = sizeof(security->Attributes);
    security->Attributes.lpSecurityDescriptor = &security->Descriptor;
    security->Attributes.bInheritHandle = FALSE;
    return &security->Attributes;
}

int AdmitsOnlyAdministrators(HANDLE object)
{
    HMODULE advapi = LoadSystemLibrary("advapi32.dll");
    auto getSecurity = GetSystemFunction<GetKernelObjectSecurityFunction>(advapi, "GetKernelObjectSecurity");
    auto getDacl = GetSystemFunction<GetSecurityDescriptorDaclFunction>(advapi, "GetSecurityDescriptorDacl");
    // The lists that setup makes take about a hundred bytes; a longer one is someone else's.
    DWORD descriptor[128];
    DWORD needed = 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    int result = -1;
    if (getSecurity && getDacl) {
        if (!getSecurity(object, DACL_SECURITY_INFORMATION, descriptor, sizeof(descriptor), &needed))
            result = GetLastError() == ERROR_INSUFFICIENT_BUFFER ? 0 : -1;
        else if (getDacl(descriptor, &present, &acl, &defaulted))
            result = present && acl && ListAdmitsOnlyAdministrators(acl) ? 1 : 0;  // no list lets everyone in
    }
    FreeLibraryIfLoaded(advapi);
    return result;
}

HANDLE CreateProtectedMutex(const char* name, bool* foreign)
{
    *foreign = false;
    if (!IsWindowsNTPlatform())
        return CreateMutexA(nullptr, FALSE, name);
    // Without the functions (never on NT) the system's default security is the fallback.
    ProtectedSecurity security;
    HANDLE mutex = CreateMutexA(MakeProtectedSecurity(&security, MUTEX_ALL_ACCESS, 0, false), FALSE, name);
    DWORD code = GetLastError();
    if (!mutex) {
        // Access denied: its list shuts us out. Invalid handle: the name is another object's.
        *foreign = code == ERROR_ACCESS_DENIED || code == ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (code == ERROR_ALREADY_EXISTS && AdmitsOnlyAdministrators(mutex) != 1) {
        CloseHandle(mutex);
        *foreign = true;
        return nullptr;
    }
    return mutex;
}
