#pragma once
// Small file-system helpers: versions and times of files, what is at a path, creating a folder
// path, joining and shortening paths, deleting one file. None of them logs.

#include <windows.h>

// A Windows path that does not fit in MAX_PATH.
enum { kPathTooLong = ERROR_FILENAME_EXCED_RANGE };

// The file version of path (the MS and LS words of its fixed version information); either out
// pointer may be null. Returns 0, 87 for a null path, the error of the version functions, or -1
// (no memory, or a fixed information block of the wrong size or signature).
int GetFileVersion(const char* path, DWORD* versionMS, DWORD* versionLS);

// The last-write time of path. Returns 0, 87 for a null argument, or the error of opening the
// file or of reading its time.
int GetFileWriteTime(const char* path, FILETIME* writeTime);

// True when path, or a folder on the way to it, is a link (a junction or symbolic link), or the
// path cannot be looked at. Parts that do not exist are no links.
bool PathHoldsLink(const char* path);

// The path by which the system reaches the open file or folder, as "X:\..." or
// "\\server\share\..." (Windows Vista and later: false elsewhere, or when it does not fit).
bool GetFinalPath(HANDLE handle, char (&path)[MAX_PATH]);

// True when path names an existing entry that is not a folder.
bool FileExists(const char* path);

// 0 when nothing exists at path, 1 for a folder, -1 for a file.
int GetPathKind(const char* path);

// Creates every missing folder along path (a drive root is taken as given), each with security
// when given; folders that exist are left as they are. True when the whole path is a folder
// afterwards; false for a null or over-long path, a file in the way, or a folder that cannot be
// created.
bool CreateFolderPath(const char* path, SECURITY_ATTRIBUTES* security = nullptr);

// folder and name joined with a backslash into path; false (path then empty) when the result
// would not fit in MAX_PATH. Paths are refused rather than cut, so that an operation never acts
// on a different file than the one named.
bool JoinPath(char (&path)[MAX_PATH], const char* folder, const char* name);

// The identity (volume serial number and file index) of the file or, with directory set, the
// folder at path. 0, or the error of opening or querying it.
int GetFileIdentity(const char* path, BY_HANDLE_FILE_INFORMATION* info, bool directory);

// True when the two paths name the same file (or folder, with directory set). Paths equal but
// for letter case are the same without looking at the disk; otherwise both must exist.
bool IsSameFile(const char* a, const char* b, bool directory);

// The short (8.3) form of path. Returns 0, the error of GetShortPathNameA (2 or 3 when the path
// does not exist), or kPathTooLong; shortPath holds nothing usable unless the result is 0.
int GetShortPath(const char* path, char (&shortPath)[MAX_PATH]);

// Deletes one file, clearing its read-only attribute first where that attribute is the file's
// own: never through a link, nor of a file with more names than this one (a hard link to a system
// file would hand the change on to it). Returns 0 or the error of the deletion (87 for a null
// path).
int ForceDeleteFile(const char* path);

// True when another program holds the file at path open so that it can be neither written nor
// deleted (opening it so gives a sharing violation).
bool IsFileHeldOpen(const char* path);

// Makes a new empty file with a "~" name in the folder of path (GetTempFileNameA), its path into
// name. 0, kPathTooLong (also for a folder too long for the system's temporary names), or the
// error.
int MakeTemporaryBeside(const char* path, char (&name)[MAX_PATH]);

// Renames the file at path to a new "~" name in its folder (GetTempFileNameA), into renamed. 0,
// or the error; the file then keeps its name.
int RenameToTemporaryName(const char* path, char (&renamed)[MAX_PATH]);

// path as one spelling: the full path (relative parts and "." and ".." resolved), without doubled
// separators or a trailing one (a drive root keeps its "X:\"). False when it cannot be resolved
// or does not fit.
bool NormalizePath(const char* path, char (&normal)[MAX_PATH]);

// The folder part of path, up to and with its last backslash (so that a file in a drive root
// gets "C:\"), into folder; empty when path has none. False when it does not fit.
bool GetFolderPart(const char* path, char (&folder)[MAX_PATH]);

// Opens the file at path for writing (a read-only one with its bit cleared for the moment) and
// flushes what the system still holds of it to the disk, so that its content is there before a
// rename gives it its place. 0, also where the system cannot flush the file (some file systems of
// Windows 9x and network drives), or the error of opening or flushing it (112 for a full disk).
int FlushFile(const char* path);

// Renames part to destination, the new name written through to the disk. An existing destination
// is replaced only with replace set, and never when it is read-only or a folder (5, as a copy over
// it is refused); the replacement is one rename where the system has MoveFileExA, else (Windows
// 9x) the old file is deleted first. 0 or the error; part stays where it is on failure.
int MoveIntoPlace(const char* part, const char* destination, bool replace);
