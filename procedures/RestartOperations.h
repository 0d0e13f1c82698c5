#pragma once
// Operations that wait for the next restart: WinInit.ini on Windows 9x, the system's pending
// rename list otherwise.

#include "procedures/InstallationData.h"

// Copies source to a new "~" temporary file beside target and schedules it to replace target
// at the next restart. Returns 0 or a Windows error code (87 for a null argument).
int ReplaceFileAtRestart(const InstallationData* data, const char* source, const char* target);

// Schedules path for deletion at the next restart. Returns 0 or a Windows error code (87 for a
// null path).
int DeleteFileAtRestart(const InstallationData* data, const char* path);

// Adds to WinInit.ini in the Windows folder the replacement of target by newFile at the next
// restart, or the deletion of target when newFile is null (both by their short names). Returns 0
// or a Windows error code (87 for a null target; the error of GetShortPathNameA when either file
// has no short name, in which case nothing is written).
int AddWinInitRename(const char* newFile, const char* target);

// Takes back every replacement of target that waits for the next restart, and deletes its new
// file when that lies beside target (as ReplaceFileAtRestart puts it). Paths are compared as one
// spelling each (support/Files.h NormalizePath). Returns 0 (also when there is none) or a Windows
// error code.
int CancelReplacementAtRestart(const InstallationData* data, const char* target);

// Takes back a deletion of path that waits for the next restart (one that an earlier removal
// left for a file in use), so that a file copied into its place afterwards stays. Returns 0 (also
// when there is none) or a Windows error code.
int CancelDeletionAtRestart(const InstallationData* data, const char* path);

// On Windows NT every change to the pending list by a setup run is made under the machine-wide
// lock of procedures/SharedAgentValues.h, and an edit reads the list once more right before it
// writes it, starting again when another program changed it meanwhile. The registry functions
// through which it reads and writes the list, for a test that plays that other program; null
// restores the system's.
typedef LONG(WINAPI* RegQueryValueExWFunction)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
typedef LONG(WINAPI* RegSetValueExWFunction)(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD);
struct PendingListCalls {
    RegQueryValueExWFunction Query;
    RegSetValueExWFunction Set;
};
void SetPendingListCalls(const PendingListCalls* calls);
