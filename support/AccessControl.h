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
// usersAccess. With inherit, sub-folders and files inherit every entry. Returns the attributes
// (handles not inheritable), or null on Windows 9x and when a function is missing or fails.
SECURITY_ATTRIBUTES* MakeProtectedSecurity(ProtectedSecurity* security, DWORD fullAccess, DWORD usersAccess,
                                           bool inherit);

// 1 when the access list of object (a handle with READ_CONTROL access) allows nobody but SYSTEM
// and Administrators; 0 when it allows anyone else (a null access list allows everyone) or is
// not understood; -1 when it cannot be read.
int AdmitsOnlyAdministrators(HANDLE object);

// The named mutex (not owned): created with an access list for SYSTEM and Administrators only,
// or opened when it exists with such a list. When a mutex of the name exists that someone else
// made (its list admits others, it cannot be opened, or the name is another kind of object),
// returns null with *foreign set; null with *foreign clear when it cannot be created at all.
// On Windows 9x a plain named mutex.
HANDLE CreateProtectedMutex(const char* name, bool* foreign);
