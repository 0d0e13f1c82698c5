#pragma once
// Deleting a folder tree without ever following a link out of it, the folders that are never
// deleted whatever path comes in, and holding a folder against being swapped for a link.

#include <windows.h>

enum { kFolderRefused = 5 };

// What DeleteFolderTree tells its caller as it happens, so that the caller can log it and deal
// with what stays while the folder that holds it is still held.
enum FolderTreeEvent {
    kTreePathTooLong,  // folder\name (or folder itself, name null) does not fit in MAX_PATH: passed over
    kTreeRefused,      // folder is one that is never removed (code kFolderRefused)
    kTreeFileLeft,     // the file folder\name could not be deleted (code); its folder is held meanwhile
    kTreeLinkLeft,     // the link folder\name could not be removed (code); it was never entered
    kTreeFolderLeft,   // the folder itself stays (code), after what stays in it was told
    kTreeFolderUnlisted,  // the folder could not be opened or listed (code): what it holds is unknown
};
typedef void (*FolderTreeReport)(const void* context, FolderTreeEvent event, int code, const char* folder,
                                 const char* name);

// Deletes the folder path with everything in it, read-only entries included. A link (junction
// or symbolic link), as path itself or anywhere inside the tree, is removed as a link and never
// entered; each folder is checked by handle right before it is entered, and held against a swap
// while its entries go. The folders IsProtectedFolder names are refused (kFolderRefused): the path
// may come from a damaged or hostile registry value, or from an id typed wrong. report (may be
// null) is told of the refusal, each path that does not fit and each entry that stays (a file or
// link inside, a folder that cannot be listed or removed, path itself too), as it happens, so
// that no second walk by name is needed to find them. Returns 0 or the last
// failure inside the tree, or, when the folder itself stays: 87 for a null path, 3 not found (or
// no folder), the error of opening or listing it (an offline share, a drive without media,
// access denied), 145 not empty, 5 access denied, 206 a path that does not fit in MAX_PATH, -1
// any other reason.
int DeleteFolderTree(const char* path, FolderTreeReport report, const void* context);

// True for the folders that DeleteFolderTree refuses: drive and share roots, device paths
// (IsDevicePath), the Windows,
// system and SysWOW64 folders, the Program Files and common files folders, the profiles folder
// and each folder right inside it, the common application data and public folders (in any
// spelling), and paths that cannot be resolved.
bool IsProtectedFolder(const char* path);

// True for a path in the system's device namespace ("\\.\...", "\\?\Volume{...}\...",
// "\\?\GLOBALROOT\...", "\\?\UNC\..."), other than the plain "\\?\X:\..." form: the root of
// such a path cannot be told by its spelling, so no agent or working folder may be one.
bool IsDevicePath(const char* path);

// Opens what is at path itself (a link there as the link, never what it leads to) without delete
// sharing: Windows does not rename a folder, nor a folder above it, while it is open this way.
// INVALID_HANDLE_VALUE with the error in *code when it cannot (2 or 3: nothing is there).
HANDLE HoldFolder(const char* path, int* code);

// True when the held folder is no plain folder (a link, by its handle) or was reached through a
// link: a part of the path is a link, or the path the system took to it is not the one given
// (Vista and later).
bool IsReachedThroughLink(HANDLE folder, const char* path);
