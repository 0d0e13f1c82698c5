#pragma once
// The network drivers and the layered provider's library exist once per machine and belong to
// one agent instance at a time: the one named by DriverControl in the key shared by all
// instances ("Legacy" for an older-generation agent; no value: nobody). The operations on them
// are members of Installer (procedures/Installer.h); this header holds their names and the
// folder-redirection functions they need on 64-bit Windows.
//
// On 64-bit Windows the filter driver goes into the native System32\drivers folder, which a
// 32-bit program reaches only with file-system redirection turned off. The provider library is
// a 32-bit library: it lives in the system folder that 32-bit programs see (SysWOW64 on disk),
// the folder WinSock2LspDll names, and is installed and removed there with redirection on.

#include <windows.h>

extern const char kSharedAgentKey[];      // "SOFTWARE\Arvane\Agent", under HKEY_LOCAL_MACHINE
extern const char kDriverControlValue[];  // "DriverControl"
extern const char kLspLibraryValue[];     // "WinSock2LspDll", in the instance's own key
extern const char kLegacyDriverOwner[];   // "Legacy"

// What all instances share (the drivers' owner, and the titles of the instance keys, which
// name their services) is read and written under one machine-wide lock, so that setups of two
// instances at the same time never both take the drivers or the same title. The lock is a
// machine lock (support/MachineLock.h) waited for up to a minute; null when it cannot be had
// (the run then goes on without it).
// Held by the calling thread, which may take it again; release with UnlockSharedAgentValues.
HANDLE LockSharedAgentValues();
void UnlockSharedAgentValues(HANDLE* lock);

typedef BOOL(WINAPI* DisableRedirectionFunction)(PVOID* oldValue);
typedef BOOL(WINAPI* RevertRedirectionFunction)(PVOID oldValue);

// Wow64DisableWow64FsRedirection and Wow64RevertWow64FsRedirection; a null member is missing.
struct FolderRedirectionFunctions {
    DisableRedirectionFunction Disable;
    RevertRedirectionFunction Revert;
};

// Fills functions with the pair in use (a test's, else kernel32's); false unless both exist.
bool FindFolderRedirection(FolderRedirectionFunctions* functions);

// Makes functions the pair in use, for tests of refusals that Windows and Wine do not produce;
// null goes back to kernel32's. The record must outlive its use.
void SetFolderRedirectionFunctions(const FolderRedirectionFunctions* functions);
