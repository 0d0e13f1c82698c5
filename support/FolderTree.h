#pragma once
// Deleting a folder tree without ever following a link out of it, the folders that are never
// deleted whatever path comes in, and holding a folder against being swapped for a link.

#include <windows.h>

enum { kFolderRefused = 5 };

// What DeleteFolderTree passes over, for its caller to log: a path that does not fit in MAX_PATH
// (code kPathTooLong; the path itself with a null name, or folder\name inside the tree), and a
// refused path (code kFolderRefused, null name). context is the caller's own.
typedef void (*FolderTreeReport)(const void* context, int code, const char* folder, const char* name);

// Deletes the folder path with everything in it, read-only entries included. A link (junction
// or symbolic link), as path itself or anywhere inside the tree, is removed as a link and never
// entered; each folder is checked right before it is entered, and held against a swap while its
// entries go. The folders IsProtectedFolder names are refused (kFolderRefused): the path may come
// from a damaged or hostile registry value, or from an id typed wrong. report (may be null) is
// told of the refusal and of each path that does not fit, as it happens. Returns 0 or the last
// failure inside the tree, or, when the folder itself stays: 87 for a null path, 3 not found (or
// no folder), the error of opening or listing it (an offline share, a drive without media,
// access denied), 145 not empty, 5 access denied, 206 a path that does not fit in MAX_PATH, -1
// any other reason.
int DeleteFolderTree(const char* path, FolderTreeReport report, const void* context);

// True for the folders that DeleteFolderTree refuses: drive and share roots, the Windows,
// system and SysWOW64 folders, the Program Files and common files folders, the profiles folder
// and each folder right inside it, the common application data and public folders (in any
// spelling), and paths that cannot be resolved.
bool IsProtectedFolder(const char* path);

// Opens the folder at path without delete sharing (Windows does not rename a folder while
// something in it is open this way). INVALID_HANDLE_VALUE with the error in *code when it cannot.
HANDLE HoldFolder(const char* path, int* code);

// True when the held folder was reached through a link: the path the system took to it is not
// the one given (Vista and later), or a part of the path is a link.
bool IsReachedThroughLink(HANDLE folder, const char* path);
