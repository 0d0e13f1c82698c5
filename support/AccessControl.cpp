#include "support/AccessControl.h"

#include <stddef.h>
#include <string.h>

#include "support/Handles.h"
#include "support/SystemLibrary.h"
#include "support/WindowsVersion.h"

namespace {

// The well-known accounts, laid out as the system stores a SID.
struct WellKnownSid {
    BYTE Revision;
    BYTE SubAuthorityCount;
    BYTE Authority[6];
    DWORD SubAuthority[6];
};

const WellKnownSid kSystemSid = {1, 1, {0, 0, 0, 0, 0, 5}, {SECURITY_LOCAL_SYSTEM_RID}};
const WellKnownSid kAdministratorsSid = {
    1, 2, {0, 0, 0, 0, 0, 5}, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};
const WellKnownSid kUsersSid = {1, 2, {0, 0, 0, 0, 0, 5}, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS}};
const WellKnownSid kTrustedInstallerSid = {
    1, 6, {0, 0, 0, 0, 0, 5}, {80, 956008885, 3418522649u, 1831038044, 1853292631, 2271478464u}};
// Stands for whoever creates an entry (this program, for what it puts into a folder).
const WellKnownSid kCreatorOwnerSid = {1, 1, {0, 0, 0, 0, 0, 3}, {0}};
const BYTE kLabelAuthority[6] = {0, 0, 0, 0, 0, 16};

DWORD SidLength(const WellKnownSid& sid)
{
    return 8 + 4 * (DWORD)sid.SubAuthorityCount;
}

// True when the SID at sid (at most available bytes) is the well-known one.
bool IsSid(const BYTE* sid, DWORD available, const WellKnownSid& known)
{
    DWORD length = SidLength(known);
    return sid && available >= length && memcmp(sid, &known, length) == 0;
}

bool IsAdministratorsSid(const BYTE* sid, DWORD available)
{
    return IsSid(sid, available, kSystemSid) || IsSid(sid, available, kAdministratorsSid);
}

// A self-relative security descriptor's owner and lists, each found within its size.
struct Descriptor {
    const BYTE* Owner;  // null when none
    DWORD OwnerBytes;
    bool DaclPresent;
    const ACL* Dacl;  // null with DaclPresent: everyone may do anything
    const ACL* Sacl;
};

// The list at offset, when it lies within size bytes of base.
const ACL* ListAt(const BYTE* base, DWORD size, DWORD offset)
{
    if (!offset || offset >= size || size - offset < sizeof(ACL))
        return nullptr;
    const ACL* acl = reinterpret_cast<const ACL*>(base + offset);
    return acl->AclSize >= sizeof(ACL) && acl->AclSize <= size - offset ? acl : nullptr;
}

bool ReadDescriptor(const void* data, DWORD size, Descriptor* parts)
{
    const SECURITY_DESCRIPTOR_RELATIVE* header = static_cast<const SECURITY_DESCRIPTOR_RELATIVE*>(data);
    const BYTE* base = static_cast<const BYTE*>(data);
    if (size < sizeof(*header) || !(header->Control & SE_SELF_RELATIVE))
        return false;
    bool owned = header->Owner && header->Owner < size;
    parts->Owner = owned ? base + header->Owner : nullptr;
    parts->OwnerBytes = owned ? size - header->Owner : 0;
    parts->DaclPresent = (header->Control & SE_DACL_PRESENT) != 0;
    parts->Dacl = parts->DaclPresent ? ListAt(base, size, header->Dacl) : nullptr;
    parts->Sacl = (header->Control & SE_SACL_PRESENT) ? ListAt(base, size, header->Sacl) : nullptr;
    // A list that is said to be there but does not fit is a damaged descriptor, not an open one.
    return !parts->DaclPresent || !header->Dacl || parts->Dacl;
}

// Asks check (with context) about each entry of acl: its type, flags, mask and SID. False when an
// entry does not fit or check answers false.
typedef bool (*EntryCheck)(const void* context, BYTE type, BYTE flags, DWORD mask, const BYTE* sid, DWORD sidBytes);

bool AllEntries(const ACL* acl, EntryCheck check, const void* context)
{
    const BYTE* entry = reinterpret_cast<const BYTE*>(acl + 1);
    const BYTE* end = reinterpret_cast<const BYTE*>(acl) + acl->AclSize;
    for (WORD i = 0; i < acl->AceCount; ++i) {
        const ACE_HEADER* header = reinterpret_cast<const ACE_HEADER*>(entry);
        const DWORD sidOffset = offsetof(ACCESS_ALLOWED_ACE, SidStart);
        if (end - entry < (ptrdiff_t)sidOffset || header->AceSize < sidOffset || header->AceSize > end - entry)
            return false;
        const DWORD mask = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(entry)->Mask;
        if (!check(context, header->AceType, header->AceFlags, mask, entry + sidOffset, header->AceSize - sidOffset))
            return false;
        entry += header->AceSize;
    }
    return true;
}

// True when no entry of the list allows anyone but SYSTEM and Administrators. Denying entries
// and entries meant only for children grant nothing here; any other kind than a plain allowing
// entry is not understood and so not trusted.
bool ListAdmitsOnlyAdministrators(const ACL* acl)
{
    return AllEntries(
        acl,
        [](const void*, BYTE type, BYTE flags, DWORD, const BYTE* sid, DWORD bytes) {
            return type == ACCESS_DENIED_ACE_TYPE || (flags & INHERIT_ONLY_ACE) ||
                   (type == ACCESS_ALLOWED_ACE_TYPE && IsAdministratorsSid(sid, bytes));
        },
        nullptr);
}

// True when the owner is SYSTEM or Administrators, or the object's integrity label (Windows Vista
// and later) is High or above: what a user who is no administrator cannot make.
bool HasAdministratorsOwner(const Descriptor& parts)
{
    // The walk stops at a label of High or above.
    bool high = parts.Sacl && !AllEntries(
                                  parts.Sacl,
                                  [](const void*, BYTE type, BYTE, DWORD, const BYTE* sid, DWORD bytes) {
                                      return type != SYSTEM_MANDATORY_LABEL_ACE_TYPE || bytes < 12 || sid[1] != 1 ||
                                             memcmp(sid + 2, kLabelAuthority, sizeof(kLabelAuthority)) != 0 ||
                                             *reinterpret_cast<const DWORD*>(sid + 8) < SECURITY_MANDATORY_HIGH_RID;
                                  },
                                  nullptr);
    return high || IsAdministratorsSid(parts.Owner, parts.OwnerBytes);
}

typedef BOOL(WINAPI* InitializeAclFunction)(PACL, DWORD, DWORD);
typedef BOOL(WINAPI* AddAccessAllowedAceFunction)(PACL, DWORD, DWORD, PSID);
typedef BOOL(WINAPI* GetAceFunction)(PACL, DWORD, LPVOID*);
typedef BOOL(WINAPI* InitializeSecurityDescriptorFunction)(PSECURITY_DESCRIPTOR, DWORD);
typedef BOOL(WINAPI* SetSecurityDescriptorDaclFunction)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL);
typedef BOOL(WINAPI* SetSecurityDescriptorControlFunction)(PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL,
                                                           SECURITY_DESCRIPTOR_CONTROL);
typedef BOOL(WINAPI* SetSecurityDescriptorOwnerFunction)(PSECURITY_DESCRIPTOR, PSID, BOOL);
typedef BOOL(WINAPI* GetKernelObjectSecurityFunction)(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, DWORD,
                                                      LPDWORD);
typedef BOOL(WINAPI* GetTokenInformationFunction)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);

// Reads what of object's security descriptor (self-relative) into buffer (size bytes). 0 or the
// error; 122 for a longer descriptor.
int ReadObjectSecurity(HANDLE object, SECURITY_INFORMATION what, DWORD* buffer, DWORD size)
{
    auto getSecurity =
        GetSystemFunction<GetKernelObjectSecurityFunction>(GetModuleHandleA("advapi32.dll"), "GetKernelObjectSecurity");
    DWORD needed = 0;
    memset(buffer, 0, size);
    if (!getSecurity)
        return -1;
    return getSecurity(object, what, buffer, size, &needed) ? 0 : (int)GetLastError();
}

// The owner and the lists, with the integrity label where the system has labels (Vista and later).
SECURITY_INFORMATION OwnerAndLists()
{
    OSVERSIONINFOEXA version;
    bool labels = QueryWindowsVersion(&version) && version.dwMajorVersion >= 6;
    return OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | (labels ? LABEL_SECURITY_INFORMATION : 0);
}

// Whether the SID at sid is the token user of process (a handle with query access).
bool IsTokenUser(HANDLE process, const BYTE* sid, DWORD available)
{
    auto getInformation =
        GetSystemFunction<GetTokenInformationFunction>(GetModuleHandleA("advapi32.dll"), "GetTokenInformation");
    DWORD user[32];
    DWORD needed = 0;
    HANDLE token = nullptr;
    bool same = false;
    if (getInformation && OpenProcessToken(process, TOKEN_QUERY, &token) &&
        getInformation(token, TokenUser, user, sizeof(user), &needed)) {
        const BYTE* own = static_cast<const BYTE*>(reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
        DWORD length = 8 + 4 * (DWORD)own[1];
        same = available >= length && memcmp(sid, own, length) == 0;
    }
    CloseHandleIfOpen(token);
    return same;
}

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

// Rights over a folder that let their holder replace what the elevated program puts in it: for
// the folder itself (and whatever it passes on to new entries) writing, adding, deleting and
// taking over; for a folder above it deleting it or its entries and taking it over.
const DWORD kFolderChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                  WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
const DWORD kParentChangeRights = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

// SYSTEM, Administrators, TrustedInstaller, whoever creates an entry, and the account this
// program runs as (an administrator: the program runs elevated).
bool IsTrustedFolderSid(const BYTE* sid, DWORD available)
{
    return IsAdministratorsSid(sid, available) || IsSid(sid, available, kTrustedInstallerSid) ||
           IsSid(sid, available, kCreatorOwnerSid) || IsTokenUser(GetCurrentProcess(), sid, available);
}

}  // namespace

bool IsFolderSafeFromUsers(const void* descriptor, DWORD size, FolderRole role)
{
    Descriptor parts;
    if (!ReadDescriptor(descriptor, size, &parts) || !parts.Dacl)
        return false;  // no list lets everyone in
    if (role != kDriveRootFolder && !IsTrustedFolderSid(parts.Owner, parts.OwnerBytes))
        return false;
    DWORD rights = role == kAgentFolderItself ? kFolderChangeRights : kParentChangeRights;
    return AllEntries(
        parts.Dacl,
        [](const void* context, BYTE type, BYTE flags, DWORD mask, const BYTE* sid, DWORD bytes) {
            DWORD rights = *static_cast<const DWORD*>(context);
            // What a folder above passes on reaches only what setup creates, which it protects.
            if (type == ACCESS_DENIED_ACE_TYPE || (rights == kParentChangeRights && (flags & INHERIT_ONLY_ACE)))
                return true;
            return type == ACCESS_ALLOWED_ACE_TYPE && (!(mask & rights) || IsTrustedFolderSid(sid, bytes));
        },
        &rights);
}

int ReadFolderSecurity(const char* path, DWORD (&buffer)[1024])
{
    // The folder or link itself, never what a link leads to.
    HANDLE folder = CreateFileA(path, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return (int)GetLastError();
    int result =
        ReadObjectSecurity(folder, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, buffer, sizeof(buffer));
    CloseHandle(folder);
    return result;
}

SECURITY_ATTRIBUTES* MakeProtectedSecurity(ProtectedSecurity* security, DWORD fullAccess, DWORD usersAccess,
                                           bool inherit, bool administratorsOwn)
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
    auto setOwner = GetSystemFunction<SetSecurityDescriptorOwnerFunction>(advapi, "SetSecurityDescriptorOwner");

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
                (!setControl || setControl(&security->Descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) &&
                (!administratorsOwn || (setOwner && setOwner(&security->Descriptor, (PSID)&kAdministratorsSid, FALSE)));
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
    DWORD buffer[256];
    Descriptor parts;
    int read = ReadObjectSecurity(object, OwnerAndLists(), buffer, sizeof(buffer));
    if (read != 0)
        return read == ERROR_INSUFFICIENT_BUFFER ? 0 : -1;  // a longer list is someone else's
    // No list lets everyone in; the owner may always change the list.
    return ReadDescriptor(buffer, sizeof(buffer), &parts) && HasAdministratorsOwner(parts) && parts.Dacl &&
                   ListAdmitsOnlyAdministrators(parts.Dacl)
               ? 1
               : 0;
}

bool IsOwnedByAdministrators(HANDLE object)
{
    DWORD buffer[256];
    Descriptor parts;
    return ReadObjectSecurity(object, OwnerAndLists(), buffer, sizeof(buffer)) == 0 &&
           ReadDescriptor(buffer, sizeof(buffer), &parts) && HasAdministratorsOwner(parts);
}

bool IsLocalSystemProcess(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    bool system = process && IsTokenUser(process, reinterpret_cast<const BYTE*>(&kSystemSid), SidLength(kSystemSid));
    CloseHandleIfOpen(process);
    return system;
}

HANDLE CreateProtectedMutex(const char* name, bool* foreign)
{
    *foreign = false;
    if (!IsWindowsNTPlatform())
        return CreateMutexA(nullptr, FALSE, name);
    // Without the functions (never on NT) the system's default security is the fallback. The
    // owner is given: an existing lock is trusted by its owner, and an administrator's default
    // owner may be the account itself. A token that cannot give it (not elevated) keeps its own.
    ProtectedSecurity security;
    HANDLE mutex = CreateMutexA(MakeProtectedSecurity(&security, MUTEX_ALL_ACCESS, 0, false, true), FALSE, name);
    if (!mutex && GetLastError() == ERROR_INVALID_OWNER)
        mutex = CreateMutexA(MakeProtectedSecurity(&security, MUTEX_ALL_ACCESS, 0, false), FALSE, name);
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
