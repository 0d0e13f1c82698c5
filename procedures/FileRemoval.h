#pragma once
// Deleting one file and a whole folder tree, and the removal of one item of the agent's files.

#include "procedures/InstallationData.h"

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
// tree, or, when the folder itself stays: 3 not found (or no folder), the error of opening or
// listing it (an offline share, a drive without media, access denied), 145 not empty, 5 access
// denied, 206 a path that does not fit in MAX_PATH, -1 any other reason.
int RemoveFolderTree(const InstallationData* data, const char* path);

enum { kFolderRefused = 5 };

// True for the folders that RemoveFolderTree refuses: drive and share roots, the Windows,
// system and SysWOW64 folders, the Program Files and common files folders, the profiles folder
// and each folder right inside it, the common application data and public folders (in any
// spelling), and paths that cannot be resolved.
bool IsProtectedFolder(const char* path);

// The two folders whose rows the removal of the agent's files takes: each is held open while its
// rows go, so that neither it nor a folder above it can be renamed and a link put in its place.
struct RowFolderHolds {
    HANDLE Folder[2];  // the agent folder, the working folder
    int State[2];      // 0 not looked at yet, 1 held (or nothing to hold), 2 absent, -1 left alone
    RowFolderHolds() : Folder{INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE}, State{0, 0} {}
};

// Whether the row (folder with its macro, name) may be removed now. On the first row of a folder
// that folder is held (Windows NT) and checked: the agent folder must pass IsAgentFolderSafe, and
// no link may lead to the working folder (it is then "not usable", logged). The rows of a folder
// that is absent are logged as not found, and those of one left alone are passed over; both give
// false. The agent folder's own row lets go of it first, since it is removed itself.
bool MayRemoveRow(const InstallationData* data, const char* folder, const char* name, RowFolderHolds* holds);

// Lets go of the folders that MayRemoveRow holds.
void ReleaseRowFolders(RowFolderHolds* holds);
