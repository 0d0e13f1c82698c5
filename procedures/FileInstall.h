#pragma once
// Copying one agent file with version and time comparison (the plain file-system helpers are in
// support/Files.h).

#include "procedures/InstallationData.h"

// The flag word given with each file (stored per row in the agent's file table).
enum : DWORD {
    FileInstall = 0x01,       // copy the file during installation and update
    FileRemove = 0x02,        // remove the file or folder during uninstallation
    FileKeepExisting = 0x04,  // never overwrite an existing destination file
    FileForceCopy = 0x08,     // copy without comparing versions or times (wins over keep-existing)
    FileIgnoreError = 0x10,   // a failure to install this file does not stop the installation
    FileKeepPrevious = 0x20,  // keep the file it replaces (procedures/PreviousFiles.h); set by the update
};

// What a copy is written to beside its destination before it takes the destination's place.
inline constexpr char kPartSuffix[] = ".partial";

// InstallFile's result when the source file is missing.
enum { kSourceFileMissing = ERROR_FILE_NOT_FOUND };

// Copies fileName from srcFolder to destFolder (under destName when given), deciding by the
// flags, then by versions, then by write times; a locked destination is replaced at the next
// restart (RebootRequired is then set). The copy is written beside the destination and renamed
// into its place, so that the destination is never left cut short. Both folders may hold target
// macros. Returns 0 when the destination holds the file afterwards, kSourceFileMissing, -1 for
// unusable arguments or folders, 206 for a path that does not fit in MAX_PATH, the error of a
// kept file that could not be copied (an existing one is never replaced), or the error of the
// deferred replacement.
int InstallFile(InstallationData* data, const char* srcFolder, const char* fileName, const char* destFolder,
                const char* destName, DWORD flags);
