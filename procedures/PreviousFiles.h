#pragma once
// The agent's files as they were before an update. Before the update replaces a file of the
// agent folder it renames the old one beside it ("<name>.setaside"); before it creates one it
// leaves a mark ("<name>.created"); before it leaves a replacement for the next restart it marks
// that too ("<name>.deferred"). These stay until the update ends: a successful update deletes
// them, a failed one puts the agent's files back from them. They are on the disk, not in memory,
// so that the next run finds what a killed run left; a removal takes them with the agent folder.

#include "procedures/InstallationData.h"

// Before destination is replaced (replace set) or created: renames the existing file aside, or
// marks that there was none. A file that is already set aside stays the previous one. Without
// replace an existing destination is refused (ERROR_FILE_EXISTS). *made tells whether a file was
// set aside now. 0 or the error.
int SetAsidePrevious(const char* destination, bool replace, bool* made);

// Undoes SetAsidePrevious (made as it said) after the new file could not take its place.
void TakeBackSetAside(const char* destination, bool made);

// Marks (mark set) or unmarks that a replacement of destination waits for the next restart.
// 0 or the error.
int MarkDeferred(const char* destination, bool mark);

// Puts every file of the agent folder back as it was before the update: the set-aside file in
// place of the new one, a created file deleted, a replacement left for the restart taken back;
// the marks and any part file go. Logs "Restoring the agent's files after the failed update..."
// and then the number put back, or the error of the first that could not be. With always unset
// (the start of an update) it logs and acts only where a killed run left something, and a run
// killed after it succeeded is finished instead. 0 or that first error.
int RestorePreviousFiles(InstallationData* data, bool always);

// The update went through: deletes the set-aside files and the marks. A set-aside file still in
// use is renamed out of the way and deleted at the next restart: clean-up, which leaves
// RebootRequired as it is.
// A run killed meanwhile is finished by the next one's RestorePreviousFiles.
void DropPreviousFiles(InstallationData* data);

// Whether an update keeps the previous files until the updated agent has started (the run's
// ending, procedures/RunProcedure.h), so that an agent that does not start is put back: an update
// in place that starts the agent (no /k). A conversion's previous agent is the legacy one, whose
// service is gone by then: it lets them go when its files are in place.
bool KeepsPreviousUntilStarted(const InstallationData* data);

// True for the name of a file that an update keeps beside an agent file until it ends (the old
// file, a mark, a part file).
bool IsKeptByUpdate(const char* name);
