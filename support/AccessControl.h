#pragma once
// Access lists for what the elevated setup program creates and nobody else may change: the
// kernel objects that setup processes share, and folders whose programs run elevated or as
// LocalSystem. Windows 9x has no access lists; there nothing is made and nothing is checked.
// The security functions are looked up at run time (the first advapi32 of Windows 95 lacks
// them, and NT 4 lacks the protection of an access list against inheritance).

#include <windows.h>

enum : DWORD {
    kFolderFullAccess = FILE_ALL_ACCESS,
    kFolderReadExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE,
};

// A security descriptor in the caller's storage: nothing to free, but it points into itself,
// so it must stay where it was made while it is used.
struct ProtectedSecurity {
    SECURITY_ATTRIBUTES Attributes;
    SECURITY_DESCRIPTOR Descriptor;
    DWORD Acl[32];  // header and up to three entries
};

// Fills security with a protected access list (nothing is added from a parent's inheritable
// entries) that gives SYSTEM and Administrators fullAccess and, when usersAccess is not 0, Users
// usersAccess. With inherit, sub-folders and files inherit every entry; with administratorsOwn,
// Administrators are the owner. Returns the attributes (handles not inheritable), or null on
// Windows 9x and when a function is missing or fails.
SECURITY_ATTRIBUTES* MakeProtectedSecurity(ProtectedSecurity* security, DWORD fullAccess, DWORD usersAccess,
                                           bool inherit, bool administratorsOwn = false);

// 1 when object (a handle with READ_CONTROL access) is owned by SYSTEM or Administrators (or, on
// Windows Vista and later, has an integrity label of High or above) and its access list allows
// nobody else; 0 when another owner or anyone else may change or use it (a null access list
// allows everyone) or the list is not understood; -1 when it cannot be read.
int AdmitsOnlyAdministrators(HANDLE object);

// True when object's owner is SYSTEM or Administrators (or its label is High or above, as above).
bool IsOwnedByAdministrators(HANDLE object);

// True when the process runs as LocalSystem (Windows Vista and later: it is opened with the
// limited query access that those systems have).
bool IsLocalSystemProcess(DWORD processId);

// The part a folder plays for the agent's folder: the folder itself, a folder above it, or the
// drive root above it (whose owner does not matter: a root may belong to anyone).
enum FolderRole { kAgentFolderItself, kAgentParentFolder, kDriveRootFolder };

// True when, by descriptor (self-relative, at most size bytes, holding the owner and the access
// list), only SYSTEM, Administrators, TrustedInstaller and the account this program runs as own
// the folder and may change it in its role: the agent folder itself may not be written, added
// to, deleted, emptied, given other permissions or taken over by anyone else, and neither may
// any entry it passes on to new files and folders; a folder above it may not be deleted, emptied,
// given other permissions or taken over. Adding to a folder above is harmless: drive roots allow
// it to everyone, and what setup creates it protects. A list that is missing or not understood
// is not safe.
bool IsFolderSafeFromUsers(const void* descriptor, DWORD size, FolderRole role);

// The owner and access list of the folder (or link) at path, self-relative, into buffer. 0, or the
// error of opening or reading it (122 for a descriptor that does not fit).
int ReadFolderSecurity(const char* path, DWORD (&buffer)[1024]);

// The named mutex (not owned): created with an access list for SYSTEM and Administrators only,
// owned by Administrators, or opened when it exists with such an owner and list. When a mutex of
// the name exists that someone else made (another owner, its list admits others, it cannot be
// opened, or the name is another kind of object), returns null with *foreign set; null with
// *foreign clear when it cannot be created at all. On Windows 9x a plain named mutex.
HANDLE CreateProtectedMutex(const char* name, bool* foreign);
