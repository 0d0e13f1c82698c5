#pragma once
// Shell links in the Start menu, written through the shell's ShellLink object, and the program
// groups (sub-folders of a special folder such as CSIDL_COMMON_PROGRAMS) that hold them.
// Every operation returns an HRESULT and enters and leaves COM's multithreaded apartment itself.
// Paths are MAX_PATH buffers.

#include <windows.h>

// The path of the special folder folderId, with a backslash and subFolder appended when a
// sub-folder is given. E_INVALIDARG for a null path; a path that does not fit gives
// HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE).
HRESULT GetSpecialFolderPath(int folderId, const char* subFolder, char* path);

// GetSpecialFolderPath plus a backslash (unless already there) and linkName; E_INVALIDARG when
// linkName or path is missing.
HRESULT GetShortcutPath(int folderId, const char* subFolder, const char* linkName, char* path);

// Creates subFolder (and any missing parents) in the special folder; S_OK with nothing done
// for a missing or empty sub-folder.
HRESULT CreateShortcutFolder(int folderId, const char* subFolder);

// Writes the link linkName in the special folder's subFolder, pointing at target and starting in
// target's folder; description, arguments and iconLocation may be null. onlyIfMissing leaves an
// existing link file untouched. E_INVALIDARG when linkName or target is missing.
HRESULT CreateShortcut(int folderId, const char* subFolder, const char* linkName, const char* target,
                       const char* description, const char* arguments, const char* iconLocation, int onlyIfMissing);

// The target path that the link file at linkPath holds, as the link keeps it (the target need not
// exist any more); empty when the link has none.
HRESULT GetShortcutTarget(const char* linkPath, char (&target)[MAX_PATH]);

// Deletes the link file; the error of the deletion as an HRESULT.
HRESULT DeleteShortcut(int folderId, const char* subFolder, const char* linkName);

// Removes subFolder of the special folder when it holds nothing; S_OK with nothing done for a
// missing or empty sub-folder. The result is that of finding the folder, not of removing it.
HRESULT RemoveShortcutFolder(int folderId, const char* subFolder);
