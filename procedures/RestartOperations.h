#pragma once
// Operations that wait for the next restart: WinInit.ini on Windows 9x, the system's pending
// rename list otherwise.

#include "procedures/InstallationData.h"

// Copies source to a new "~" temporary file beside target and schedules it to replace target
// at the next restart. Returns 0 or a Windows error code (87 for a null argument).
int ReplaceFileAtRestart(const InstallationData* data, const char* source, const char* target);

// Schedules path for deletion at the next restart. Returns 0 or a Windows error code (87 for a
// null path).
int DeleteFileAtRestart(const InstallationData* data, const char* path);

// Adds to WinInit.ini in the Windows folder the replacement of target by newFile at the next
// restart, or the deletion of target when newFile is null (both by their short names). Returns 0
// or a Windows error code (87 for a null target; the error of GetShortPathNameA when either file
// has no short name, in which case nothing is written).
int AddWinInitRename(const char* newFile, const char* target);

// Takes back every replacement of target that waits for the next restart, and deletes its new
// file when that lies beside target (as ReplaceFileAtRestart puts it). Returns 0 (also when
// there is none) or a Windows error code.
int CancelReplacementAtRestart(const InstallationData* data, const char* target);
