#pragma once
// Copying one agent file with version and time comparison, and the small file-system operations
// the procedures share.

#include "setup/InstallationData.h"

// The flag word given with each file (stored per row in the agent's file table).
enum : DWORD {
    FileInstall = 0x01,       // copy the file during installation and update
    FileRemove = 0x02,        // remove the file or folder during uninstallation
    FileKeepExisting = 0x04,  // never overwrite an existing destination file
    FileForceCopy = 0x08,     // copy without comparing versions or times (wins over keep-existing)
    FileIgnoreError = 0x10,   // a failure to install this file does not stop the installation
};

// InstallFile's result when the source file is missing.
enum { kSourceFileMissing = ERROR_FILE_NOT_FOUND };

// Copies fileName from srcFolder to destFolder (under destName when given), deciding by the
// flags, then by versions, then by write times; a locked destination is replaced at the next
// restart (RebootRequired is then set). Both folders may hold target macros. Returns 0 when the
// destination holds the file afterwards, kSourceFileMissing, -1 for unusable arguments or
// folders, 206 for a path that does not fit in MAX_PATH, or the error of the deferred
// replacement.
int InstallFile(InstallationData* data, const char* srcFolder, const char* fileName, const char* destFolder,
                const char* destName, DWORD flags);

// Copies source over destination; when that fails, clears the destination's read-only and
// hidden attributes and tries again; when that fails too, replaces it at the next restart.
// Returns 0 or the error of the deferred replacement.
int CopyOrDefer(InstallationData* data, const char* source, const char* destination);

// The file version of path (the MS and LS words of its fixed version information); either out
// pointer may be null. Returns 0, 87 for a null path, the error of the version functions, or -1
// (no memory, or a fixed information block of the wrong size or signature).
int GetFileVersion(const char* path, DWORD* versionMS, DWORD* versionLS);

// The last-write time of path. Returns 0, 87 for a null argument, or the error of opening the
// file or of reading its time.
int GetFileWriteTime(const char* path, FILETIME* writeTime);

// True when path names an existing entry that is not a folder.
bool FileExists(const char* path);

// 0 when nothing exists at path, 1 for a folder, -1 for a file.
int GetPathKind(const char* path);

// Creates every missing folder along path (a drive root is taken as given), each with security
// when given; folders that exist are left as they are. 1 when the whole path is a folder
// afterwards; 0 for a null or over-long path, a file in the way, or a folder that cannot be
// created.
int CreateFolderPath(const char* path, SECURITY_ATTRIBUTES* security = nullptr);

// folder and name joined with a backslash into path; false (path then empty) when the result
// would not fit in MAX_PATH. Paths are refused rather than cut, so that an operation never acts
// on a different file than the one named.
bool JoinPath(char (&path)[MAX_PATH], const char* folder, const char* name);

// A Windows path that does not fit in MAX_PATH.
enum { kPathTooLong = ERROR_FILENAME_EXCED_RANGE };
