#pragma once
// File-system redirection of a 32-bit program on 64-bit Windows. The native System32 folder
// is reached only with redirection turned off, which is per thread.

#include <windows.h>

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
