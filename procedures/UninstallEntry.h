#pragma once
// The instance's entry in the system's list of installed programs.

#include "procedures/InstallationData.h"

// Writes the entry; isUpdate keeps a display name that is already set. Best effort: what cannot
// be written is left out, unreported (an agent without its entry still works).
void WriteUninstallEntry(const InstallationData* data, int isUpdate);

// Deletes the entry; the result is the deletion's registry code.
int RemoveUninstallEntry(const InstallationData* data);

// Whether the entry is there.
bool UninstallEntryExists(const InstallationData* data);
