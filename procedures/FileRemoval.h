#pragma once
// The removal of one item of the agent's files (a file, the files a pattern matches or a folder
// tree) with the log line of its outcome, and the folders the removal of those items holds.

#include "procedures/InstallationData.h"
#include "procedures/RemovalLeftovers.h"

// Removes folder\name, every file matching a wildcard name, or the folder tree itself when
// name is null, and logs the outcome. With leftovers, each item that stays is counted as the
// removal meets it and goes where place says (procedures/RemovalLeftovers.h). Returns 0, or 14
// when the path cannot be built.
int RemoveFileItem(const InstallationData* data, const char* folder, const char* name,
                   RemovalLeftovers* leftovers = nullptr, LeftoverPlace place = kLeftAsIs);

// The expanded folder joined with a backslash and name (the folder alone for a null name)
// as a new heap text that the caller frees with FreeText; null when the folder is null, a
// macro cannot be expanded, the result is empty or does not fit in MAX_PATH (logged).
char* BuildItemPath(const InstallationData* data, const char* folder, const char* name);

// DeleteFolderTree (support/FolderTree.h), logging the refusal ("Refusing to remove ...") and
// each path that does not fit ("Path is too long: ..."); its result. What stays is not counted.
int RemoveFolderTree(const InstallationData* data, const char* path);

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
// false; with leftovers, each item of a refused agent folder is counted as left (error 5). The
// agent folder's own row lets go of it first, since it is removed itself.
bool MayRemoveRow(const InstallationData* data, const char* folder, const char* name, RowFolderHolds* holds,
                  RemovalLeftovers* leftovers = nullptr);

// Lets go of the folders that MayRemoveRow holds.
void ReleaseRowFolders(RowFolderHolds* holds);
