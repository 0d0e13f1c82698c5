#pragma once
// What a removal could not delete (a file in use, a folder that still holds one), counted as the
// removal meets it, so that the run can say what it left and end with 3010, or with the error of
// an item that can go neither now nor then. Only where no user can change the folder (the agent
// folder, which passed the folder check, and the drivers' system folders) is an item left for the
// next restart: a path that the restart deletes as SYSTEM must not be steerable by a link put on
// the way after the run.

#include "procedures/InstallationData.h"
#include "support/PointerList.h"

struct RemovalLeftovers {
    int Count;          // items that stayed
    int Scheduled;      // of them, those that the next restart deletes
    int FirstError;     // why the first item that stays for good could not be deleted; 0: none
    int ForFirstProcess;  // what waits for the first process of a hand-over (below); not counted
    PointerList Paths;  // every item counted, and the "~" name it went to (heap texts): none counts twice
    PointerList Kept;   // of them, those that stay for good (heap texts): their folders stay too
};

// A removal handed over from the agent folder runs while the first process, which waits for its
// result, still runs its program there (FirstProcessProgram): that program, and the agent folder
// when nothing else stays in it, go once the first process has ended, and are no leftovers.
enum {
    kFirstProcessProgram = 1,
    kFirstProcessFolder = 2,
};

void InitRemovalLeftovers(RemovalLeftovers* leftovers);
void FreeRemovalLeftovers(RemovalLeftovers* leftovers);

// Where the items of a folder go when they cannot be deleted now.
enum LeftoverPlace {
    kLeftForRestart,  // the next restart deletes them
    kLeftAsIs,        // they stay, logged and counted; nothing is scheduled
};

// What an item that stayed is: a file, a folder (after what stays in it), or a link (only the link
// could ever go, and a restart might follow it: never scheduled).
enum LeftoverKind { kLeftFile, kLeftFolder, kLeftLink };

// One item that could not be deleted now (code says why; the caller has logged that, and has
// passed over one that IsLeftItem knows already). Left for the restart (place): a file is first
// renamed to a new "~" name beside it where it can be, so that the restart never names a path a
// later run may write; a folder goes under its own name after what it holds, and only when all that
// goes too (the restart deletes only an empty one, and never one on Windows 9x). An item that can go neither now nor then is
// logged and its code becomes the removal's result unless an earlier one has. The first process's
// program and folder wait for it instead (kFirstProcessProgram). Null leftovers does nothing.
void LeaveItem(const InstallationData* data, RemovalLeftovers* leftovers, LeftoverPlace place, const char* path,
               int code, LeftoverKind kind);

// True when path (or the "~" name it was given) is counted already.
bool IsLeftItem(const RemovalLeftovers* leftovers, const char* path);

// Logs what the removal left, and sets RebootRequired when the restart takes any of it, and
// LeftForFirstProcess. Returns the removal's result: 0, or FirstError.
int ReportRemovalLeftovers(InstallationData* data, const RemovalLeftovers* leftovers);

// Once the first process of a hand-over has ended: deletes what the removal left for it
// (LeftForFirstProcess), its program and the agent folder. What still cannot go is left for the
// next restart like any leftover (the folder after the program), and logged; the removal's result
// stays as it was given.
void RemoveFirstProcessItems(const InstallationData* data);
