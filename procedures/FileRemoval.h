#pragma once
// Deleting one file and a whole folder tree, and the removal of one item of the agent's files.

#include "setup/InstallationData.h"

// Removes folder\name, every file matching a wildcard name, or the folder tree itself when
// name is null, and logs the outcome. Returns 0, or 14 when the path cannot be built.
int RemoveFileItem(const InstallationData* data, const char* folder, const char* name);

// The expanded folder joined with a backslash and name (the folder alone for a null name)
// as a new heap text that the caller frees with FreeText; null when the folder is null, a
// macro cannot be expanded, the result is empty or does not fit in MAX_PATH (logged).
char* BuildItemPath(const InstallationData* data, const char* folder, const char* name);

// Deletes the folder path with everything in it, read-only entries included. A link (junction
// or symbolic link), as path itself or anywhere inside the tree, is removed as a link and never
// entered; each folder is checked right before it is entered, and held against a swap while its
// entries go. Drive roots, the Windows and system folders, the Program Files and common
// files folders, the profiles folder and every profile in it, the common application data and
// the public folder are refused (logged, kFolderRefused): the path may come from a damaged or
// hostile registry value, or from an id typed wrong. Returns 0 or the last failure inside the
// tree, or, when the folder itself stays: 145 not empty, 3 not found (or no folder),
// 5 access denied, 206 a path that does not fit in MAX_PATH, -1 any other reason.
int RemoveFolderTree(const InstallationData* data, const char* path);

enum { kFolderRefused = 5 };

// True for the folders that RemoveFolderTree refuses: drive and share roots, the Windows,
// system and SysWOW64 folders, the Program Files and common files folders, the profiles folder
// and each folder right inside it, the common application data and public folders (in any
// spelling), and paths that cannot be resolved.
bool IsProtectedFolder(const char* path);
