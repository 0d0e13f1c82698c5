#pragma once
// What a removal could not delete (a file in use, a folder that still holds one): left for the
// next restart of Windows to delete, and counted, so that the run can say what it left and end
// with 3010, or with the error of an item that can go neither now nor then.

#include "procedures/InstallationData.h"
#include "support/PointerList.h"

struct RemovalLeftovers {
    int Count;          // items that stayed
    int Scheduled;      // of them, those that the next restart deletes
    int FirstError;     // why the first item that stays for good could not be deleted; 0: none
    PointerList Paths;  // every item counted (heap texts), so that none counts twice
};

void InitRemovalLeftovers(RemovalLeftovers* leftovers);
void FreeRemovalLeftovers(RemovalLeftovers* leftovers);

// After a removal step: whatever is still at path (a file, the files that a wildcard name
// matches, or a folder with what it holds) is tried once more and, when it stays, scheduled for
// deletion at the next restart, a folder after what it holds (on Windows 9x, whose restart
// deletes only files, a folder stays). A linked folder is never entered (nor scheduled: only the
// link could go), nor a folder that removal refuses. Null leftovers does nothing.
void LeaveForRestart(const InstallationData* data, const char* path, RemovalLeftovers* leftovers);

// Logs what the removal left, and sets RebootRequired when the restart takes any of it. Returns
// the removal's result: 0, or FirstError.
int ReportRemovalLeftovers(InstallationData* data, const RemovalLeftovers* leftovers);
